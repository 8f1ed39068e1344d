// The agent's application object: command-line modes and the run-mode start-up.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"

class CMainWindow;

// Splits the command-line tail (without the program name): blank-separated tokens, a token
// that starts where the previous one ended may be enclosed in double quotes.
std::vector<std::wstring> TokenizeCommandLine(const std::wstring& tail);

class CAgentApp {
public:
    CAgentApp();
    ~CAgentApp();
    CAgentApp(const CAgentApp&) = delete;
    CAgentApp& operator=(const CAgentApp&) = delete;

    // FALSE ends the process (launcher mode, install report, a second instance); TRUE
    // enters the message loop.
    BOOL InitInstance(HINSTANCE instance, const std::wstring& commandTail);
    int Run();
    // Releases the single-instance mutex once the message loop has ended.
    void ExitInstance();

private:
    void LaunchCopy();
    void ReportInstall();
    BOOL StartAgent(HINSTANCE instance);

    std::unique_ptr<CMainWindow> m_mainWindow;
    unique_handle m_instanceMutex;
    bool m_instanceLocked = false;
};
