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

// Icon resource `id` at the shell's small-icon size, so that the shell need not shrink the
// large one.
HICON LoadTrayIcon(HINSTANCE instance, int id);

using TrackPopupFunction = BOOL(WINAPI*)(HMENU, UINT, int, int, int, HWND, const RECT*);
// Shows the popup at `at`, owned by `owner`, and returns once it has closed. A WM_NULL posted
// to the owner afterwards lets the next opening of a notification-icon menu stay open.
void TrackTrayMenu(HWND owner, HMENU popup, POINT at, TrackPopupFunction track = ::TrackPopupMenu);

// Parameter: the TrayIcon. Repeats an attempt every 30 s until one succeeds.
DWORD WINAPI IconRegisterThread(void* tray);
