#include <windows.h>

#include "agent/agent_app.h"

namespace {
// Exists for the life of the process; its single-instance mutex is created before
// anything else runs.
CAgentApp theApp;
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandTail, int) {
    if (!theApp.InitInstance(instance, commandTail ? commandTail : L"")) return 0;
    return theApp.Run();
}
