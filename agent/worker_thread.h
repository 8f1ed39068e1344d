// Worker threads: created suspended, then resumed; nobody waits for them, so the handle
// is closed at once and the thread's resources go when it ends.
#pragma once
#include <windows.h>

bool StartWorkerThread(LPTHREAD_START_ROUTINE procedure, void* parameter);
