// The registration entry of the Tethra class in the class table.
#pragma once

#include "platform/base/types.h"
#include "platform/com/hresult.h"

// Runs the Tethra class's registration script in register (TRUE) or unregister mode.
HRESULT UpdateTethraRegistry(BOOL bRegister);
