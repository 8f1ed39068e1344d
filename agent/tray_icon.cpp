#include "agent/tray_icon.h"

#include <shellapi.h>

#include "common/log_writer.h"
#include "common/seam.h"

#if !defined(_WIN64)
// The Windows Vista layout, which the shell of every supported system understands.
static_assert(sizeof(NOTIFYICONDATAW) == 956, "notify-icon record of the Vista layout");
#endif

bool AddTrayIcon(TrayIcon& tray) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = tray.window;
    tray.owner.store(tray.window);
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = tray.icon;
    lstrcpynW(data.szTip, L"ステータス", ARRAYSIZE(data.szTip));
    DWORD error = 0;
    for (int attempt = 0; attempt < 15; ++attempt) {
        bool added = ::Shell_NotifyIconW(NIM_ADD, &data);
        if (!added) {
            error = ::GetLastError();
            added = ::Shell_NotifyIconW(NIM_MODIFY, &data);
        }
        if (added) {
            Log(L"Added NotifyIcon");
            return true;
        }
        seam::Sleep(1000);
    }
    Log(L"error NotifyIcon[%d]", static_cast<int>(error));
    return false;
}

HICON LoadTrayIcon(HINSTANCE instance, int id) {
    return static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                           ::GetSystemMetrics(SM_CXSMICON),
                                           ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

void TrackTrayMenu(HWND owner, HMENU popup, POINT at, TrackPopupFunction track) {
    track(popup, 0, at.x, at.y, 0, owner, nullptr);
    ::PostMessageW(owner, WM_NULL, 0, 0);
}

void DeleteTrayIcon(TrayIcon& tray) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = tray.owner.load();
    data.uID = 0;
    ::Shell_NotifyIconW(NIM_DELETE, &data);
}

DWORD WINAPI IconRegisterThread(void* parameter) {
    TrayIcon& tray = *static_cast<TrayIcon*>(parameter);
    Log(L"start: icon Register");
    for (;;) {
        const bool added = AddTrayIcon(tray);
        seam::Sleep(30000);
        if (added) return 0;
    }
}
