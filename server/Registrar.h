// Registration scripts: the keys a class writes under HKEY_CLASSES_ROOT and removes again,
// kept in the executable as text.
//
// A script is one root block, "HKCR { ... }", holding keys. A key is written
//     [NoRemove | ForceRemove] name [= s 'default'] [{ ... }]
// and its block holds subkeys and named values, "val name = s 'data'". Names are bare
// words or quoted; inside quotes '' stands for one quote. Only string values (s) exist.
// Before a script is parsed, every %NAME% of the replacement list is replaced by its text;
// a replacement that is to stand inside quotes must have its quotes doubled (see
// DoubleQuotes).
//
// Register: a ForceRemove key is deleted with its subtree first; each key is created (or
// opened), its default value and named values are set, then its subkeys follow in order.
// Unregister: a NoRemove key is only descended into; every other key is deleted with its
// whole subtree (a missing one is no error).
#pragma once

#include "platform/base/types.h"
#include "platform/com/hresult.h"

#include <string>
#include <utility>
#include <vector>

using RegistrarReplacements = std::vector<std::pair<std::string, std::string>>;

// Runs szScript in register (bRegister TRUE) or unregister mode. S_OK; E_INVALIDARG for a
// script that does not parse or names another root than HKCR (nothing is written then);
// a registry error as HRESULT_FROM_WIN32 (the keys written before it stay).
HRESULT UpdateRegistryFromScript(const char* szScript, const RegistrarReplacements& replacements,
                                 BOOL bRegister);

// Text with every single quote doubled, for a replacement inside a quoted string.
std::string DoubleQuotes(const std::string& text);
