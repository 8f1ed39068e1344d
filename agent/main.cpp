#include <windows.h>

#include "agent/agent_app.h"

namespace {
// Exists for the life of the process; its single-instance mutex is created before
// anything else runs.
CAgentApp theApp;
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandTail, int) {
    int code = 0;
    if (theApp.InitInstance(instance, commandTail ? commandTail : L"")) code = theApp.Run();
    theApp.ExitInstance();
    // The monitor threads run until the process ends, also when the start failed after
    // they were started: they must be gone before static objects they read are destroyed,
    // which ExitProcess ensures and a return doesn't.
    ::ExitProcess(static_cast<UINT>(code));
}
