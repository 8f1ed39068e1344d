// The end of the Windows session: status 2 is reported before the agent lets it happen.
#pragma once
#include <windows.h>

// Reports status 2 (at most five attempts), removes the window's shutdown block reason and
// closes the window. Parameter: the main window's handle.
DWORD WINAPI ShutdownThread(void* window);
