#include <windows.h>

#include "agent/agent_app.h"

namespace {
// Exists for the life of the process; its single-instance mutex is created before
// anything else runs.
CAgentApp theApp;
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandTail, int) {
    if (!theApp.InitInstance(instance, commandTail ? commandTail : L"")) return 0;
    const int code = theApp.Run();
    theApp.ExitInstance();
    // The monitor threads run until the process ends: they must be gone before static
    // objects they read are destroyed, which ExitProcess ensures and a return doesn't.
    ::ExitProcess(static_cast<UINT>(code));
}
