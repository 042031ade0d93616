// The debug window of a server built without the diagnostics library: none.
#include "server/DebugWindow.h"

IServerDebugWindow* CreateDebugWindowObject(HANDLE)
{
    return nullptr;
}
