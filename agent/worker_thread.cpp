#include "agent/worker_thread.h"

#include "common/handles.h"

bool StartWorkerThread(LPTHREAD_START_ROUTINE procedure, void* parameter) {
    unique_handle thread(
        ::CreateThread(nullptr, 0, procedure, parameter, CREATE_SUSPENDED, nullptr));
    if (!thread) return false;
    ::SetThreadPriority(thread.get(), THREAD_PRIORITY_NORMAL);
    ::ResumeThread(thread.get());
    return true;
}
