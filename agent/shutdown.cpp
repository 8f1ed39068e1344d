#include "agent/shutdown.h"

#include <string>

#include "agent/status_monitor.h"
#include "common/log_writer.h"
#include "common/seam.h"

DWORD WINAPI ShutdownThread(void* window) {
    const HWND hwnd = static_cast<HWND>(window);
    Log(L"start: shutdown thread");
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::wstring errorText;
        std::wstring body;
        if (ReportStatus(2, errorText, body, kShutdownRequestTimeouts)) {
            Log(L"send success");
            break;
        }
        Log(L"send error: %s%s", errorText.c_str(), body.c_str());
        seam::Sleep(50);
    }
    Log(L"end: shutdown thread");
    ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return 0;
}
