// The notification-area icon and the thread that keeps trying to add it.
#pragma once
#include <windows.h>

#include <atomic>

struct TrayIcon {
    HICON icon = nullptr;
    HWND window = nullptr;
    // The window the icon was last added for; read when the icon is deleted.
    std::atomic<HWND> owner{nullptr};
};

constexpr UINT kTrayCallbackMessage = WM_APP;

// One attempt: up to 15 tries a second apart. Logs "Added NotifyIcon" or
// "error NotifyIcon[%d]".
bool AddTrayIcon(TrayIcon& tray);
void DeleteTrayIcon(TrayIcon& tray);

// Parameter: the TrayIcon. Repeats an attempt every 30 s until one succeeds.
DWORD WINAPI IconRegisterThread(void* tray);
