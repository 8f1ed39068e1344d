// The end of the Windows session: status 2 is reported before the agent lets it happen.
#pragma once
#include <windows.h>

// Reports status 2 (at most five attempts, with time-outs short enough for the end of a
// session) and closes the window, whose own thread then removes the shutdown block reason
// (only the thread that created the window may). Parameter: the main window's handle.
DWORD WINAPI ShutdownThread(void* window);
