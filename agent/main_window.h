// The agent's hidden main window: owner of the tray icon and the one place where the
// current status changes.
#pragma once
#include <windows.h>

#include "agent/idle_detector.h"
#include "agent/tray_icon.h"
#include "common/handles.h"

class CMainWindow {
public:
    // Loads the settings, starts the log writer and the monitor threads.
    CMainWindow();
    // The window and everything the monitor threads use stay until the process ends.
    ~CMainWindow();
    CMainWindow(const CMainWindow&) = delete;
    CMainWindow& operator=(const CMainWindow&) = delete;

    // Creates the hidden window "ステータス"; false when that fails.
    bool Create(HINSTANCE instance);
    HWND Handle() const { return m_hwnd; }
    TrayIcon& Tray() { return m_tray; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCreate(WPARAM wParam, LPARAM lParam);
    void OnDestroy();
    void OnCommand(UINT commandId);
    void ShowTrayMenu();
    LRESULT OnQueryEndSession(WPARAM wParam, LPARAM lParam);
    void SendSetStatus(int statusId);

    HWND m_hwnd = nullptr;
    TrayIcon m_tray;
    unique_hmenu m_menu;
    IdleDetectorRecord m_record;
    // The idle event and the active event side by side: the input monitor gets the pair.
    HANDLE m_inputEvents[2] = {nullptr, nullptr};
    unique_handle m_statusEvent;
    UINT m_taskbarCreated = 0;
    int m_sessionRetries = 0;  // window thread only
};
