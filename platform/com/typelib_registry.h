// Registration of a type library in the registry store.
//
// A type library here is the constant tables that idl/ generates (typeinfo.h); it is
// compiled into the executable, so there is no library file to load and LoadTypeLib
// takes the tables themselves. What RegisterTypeLib writes, under HKEY_CLASSES_ROOT:
//   TypeLib\{LIBID}\<major>.<minor>                 default: the library's help string
//   TypeLib\{LIBID}\<major>.<minor>\FLAGS           default: "0"
//   TypeLib\{LIBID}\<major>.<minor>\HELPDIR         default: the help directory
//   TypeLib\{LIBID}\<major>.<minor>\<lcid>\<kind>   default: the path the library was
//                                                   loaded from (lcid in hex: "409")
//   Interface\{IID}                                 default: the interface's name
//   Interface\{IID}\TypeLib                         default: {LIBID}, "Version": "1.0"
// for every interface of the library, so that tools (the interface-query trace) find the
// names. <kind> is "win32" or "win64" by the SYSKIND, the pointer size of the process.
#pragma once

#include "platform/com/typeinfo.h"

#define TYPE_E_REGISTRYACCESS PLATFORM_HR(0x8002801CU)
#define TYPE_E_LIBNOTREGISTERED PLATFORM_HR(0x8002801DU)

enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

// The system kind of libraries of this process.
inline constexpr SYSKIND SYS_THIS_PROCESS = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

// Makes the tables known to this process by their LIBID (UnRegisterTypeLib finds the
// library's interfaces through them). S_OK; E_INVALIDARG for null tables.
HRESULT LoadTypeLib(const platform::typelib_info* ptlib);
// Writes the keys above. szFullPath is the path the library was loaded from, szHelpDir
// may be null (no HELPDIR). S_OK; E_INVALIDARG for a null library or path;
// TYPE_E_REGISTRYACCESS when the store cannot be written.
HRESULT RegisterTypeLib(const platform::typelib_info* ptlib, LPCSTR szFullPath,
                        LPCSTR szHelpDir);
// Removes TypeLib\{LIBID}\<major>.<minor> with its subtree, and TypeLib\{LIBID} itself,
// and the Interface\{IID} key of every interface of the library, which must have been
// loaded (LoadTypeLib) in this process. S_OK; TYPE_E_REGISTRYACCESS when the store cannot
// be written; TYPE_E_LIBNOTREGISTERED when the version key is missing or the library is
// not loaded. lcid and syskind name the entry to remove; they are checked against the
// loaded library.
HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                          SYSKIND syskind);
