// The debug window of a server not yet wired to the diagnostics library: none.
#include "server/DebugWindow.h"

IServerDebugWindow* CreateDebugWindowObject(HANDLE)
{
    return nullptr;
}
