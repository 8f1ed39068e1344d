// Test helper: finds the agent's hidden window "ステータス" and sends it what Windows or a
// user would: the set-status message, session lock and unlock, suspend, the end-of-session
// query, menu commands, the taskbar re-creation broadcast, a right click on the tray icon.
// Usage: agentctl [-desktop NAME] find|wait|gone|set N|lock|unlock|suspend|queryend|command N|
//        taskbar|menu
// -desktop looks for the agent on another desktop of the window station (a virtual desktop of
// Wine's explorer). Prints the message's result; exit code 0 on success, 2 when the window
// isn't found.
#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "agent/agent_window.h"
#include "agent/tray_icon.h"

namespace {

HWND FindAgent() { return ::FindWindowW(nullptr, L"ステータス"); }

HWND WaitForAgent(DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (const HWND hwnd = FindAgent()) return hwnd;
        if (::GetTickCount() - start > milliseconds) return nullptr;
        ::Sleep(50);
    }
}

int Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_NORMAL, 20000, &result)) {
        std::fwprintf(stderr, L"agentctl: no answer (%lu)\n", ::GetLastError());
        return 1;
    }
    std::wprintf(L"%ld\n", static_cast<long>(result));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2 && std::wstring(argv[1]) == L"-desktop") {
        // FindWindowW looks only at the calling thread's desktop; this thread owns no window
        // yet, so it may still move to another one. The handle stays open: it is the thread's
        // desktop until the process ends.
        const HDESK desktop = ::OpenDesktopW(
            argv[2], 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_WRITEOBJECTS | DESKTOP_ENUMERATE);
        if (!desktop || !::SetThreadDesktop(desktop)) {
            std::fwprintf(stderr, L"agentctl: desktop %ls not available (%lu)\n", argv[2],
                          ::GetLastError());
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) {
        std::fwprintf(
            stderr,
            L"usage: agentctl [-desktop NAME] find|wait|gone|set N|lock|unlock|suspend|queryend|"
            L"command N|taskbar|menu\n");
        return 64;
    }
    const std::wstring verb = argv[1];
    const long number = argc > 2 ? std::wcstol(argv[2], nullptr, 10) : 0;
    if (verb == L"find") return FindAgent() ? 0 : 1;
    if (verb == L"gone") {
        const DWORD start = ::GetTickCount();
        while (FindAgent()) {
            if (::GetTickCount() - start > 20000) return 1;
            ::Sleep(50);
        }
        return 0;
    }
    const HWND hwnd = WaitForAgent(20000);
    if (!hwnd) {
        std::fwprintf(stderr, L"agentctl: window not found\n");
        return 2;
    }
    if (verb == L"wait") return 0;
    if (verb == L"set") return Send(hwnd, WM_SET_STATUS, static_cast<WPARAM>(number), 0);
    if (verb == L"lock") return Send(hwnd, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK, 1);
    if (verb == L"unlock") return Send(hwnd, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK, 1);
    if (verb == L"suspend") return Send(hwnd, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    if (verb == L"queryend") return Send(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    if (verb == L"command") return Send(hwnd, WM_COMMAND, static_cast<WPARAM>(number), 0);
    if (verb == L"taskbar") return Send(hwnd, ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    if (verb == L"menu") {
        // The menu's modal loop holds the agent's thread; a cancel closes it again.
        ::PostMessageW(hwnd, kTrayCallbackMessage, 0, WM_RBUTTONDOWN);
        ::Sleep(number > 0 ? static_cast<DWORD>(number) : 500);
        ::PostMessageW(hwnd, WM_CANCELMODE, 0, 0);
        return 0;
    }
    std::fwprintf(stderr, L"agentctl: unknown verb\n");
    return 64;
}
