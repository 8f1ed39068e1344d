#include "agent/main_window.h"

#include <objbase.h>
#include <wtsapi32.h>

#include "agent/agent_settings.h"
#include "agent/agent_window.h"
#include "agent/conf_document.h"
#include "agent/session_notification.h"
#include "agent/shutdown.h"
#include "agent/status_menu.h"
#include "agent/status_monitor.h"
#include "agent/worker_thread.h"
#include "common/log_writer.h"
#include "resource.h"

namespace {

const wchar_t kClassName[] = L"PellwickStatusWindow";

std::atomic<HWND> g_mainWindow{nullptr};

// Registrations tried after the first failed one, each once Remote Desktop Services looks
// ready.
constexpr int kSessionRegistrationRetries = 5;

// An agent with higher integrity than the shell (started elevated) would not receive the
// shell's broadcast after a restart of the shell; let that one message through. The call
// exists from Windows 7 on and is bound at run time.
void AllowShellBroadcast(HWND window, UINT message) {
    using ChangeFilterEx = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    if (!user32) return;
    const auto change = reinterpret_cast<ChangeFilterEx>(
        reinterpret_cast<void*>(::GetProcAddress(user32, "ChangeWindowMessageFilterEx")));
    if (change) change(window, message, 1 /* MSGFLT_ALLOW */, nullptr);
}

}  // namespace

HWND MainWindowHandle() { return g_mainWindow.load(); }

CMainWindow::CMainWindow() {
    ::CoInitialize(nullptr);
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    m_tray.icon = LoadTrayIcon(instance, IDR_MAINFRAME);
    MarkStatusMenuForRebuild();
    m_menu.reset(::LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MENU_TRAY)));

    LoadAgentSettings();

    LogSetMirror(false);
    LogSetFolder(Settings().logsFolder);
    LogStart();
    Log(L"boot");

    m_inputEvents[0] = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_inputEvents[1] = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_record.running = true;
    m_record.idleMilliseconds = 0;
    m_record.idleEvent = &m_inputEvents[0];
    m_record.activeEvent = &m_inputEvents[1];
    m_record.idleThreshold = static_cast<uint32_t>(Settings().threshold.load());

    StartWorkerThread(IdleDetectorThread, &m_record);
    StartWorkerThread(InputMonitorThread, m_inputEvents);
    StartWorkerThread(SettingMonitorThread, &m_record);

    m_statusEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    StartWorkerThread(StatusMonitorThread, m_statusEvent.get());
}

CMainWindow::~CMainWindow() {
    for (HANDLE event : m_inputEvents)
        if (event) ::CloseHandle(event);
}

bool CMainWindow::Create(HINSTANCE instance) {
    WNDCLASSW windowClass = {};
    windowClass.style = CS_VREDRAW | CS_HREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    ::RegisterClassW(&windowClass);
    const HWND hwnd =
        ::CreateWindowExW(WS_EX_CLIENTEDGE, kClassName, L"ステータス", WS_CAPTION | WS_SYSMENU, 0,
                          0, 4, 4, nullptr, nullptr, instance, this);
    if (!hwnd) return false;
    m_tray.window = hwnd;
    return true;
}

LRESULT CALLBACK CMainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CMainWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        self = static_cast<CMainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->m_hwnd = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        // Workers may ask for a status change as soon as the window can take it.
        g_mainWindow.store(hwnd);
    } else {
        self = reinterpret_cast<CMainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CMainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_taskbarCreated != 0 && message == m_taskbarCreated) {
        Log(L"TaskbarCreated");
        AddTrayIcon(m_tray);
        return ::DefWindowProcW(m_hwnd, message, wParam, lParam);
    }
    switch (message) {
        case WM_CREATE:
            return OnCreate(wParam, lParam);
        case kTrayCallbackMessage:
            if (lParam == WM_RBUTTONDOWN) ShowTrayMenu();
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return 0;
        case WM_SET_STATUS:
            SetStatusRequest(m_menu.get(), static_cast<int>(wParam), m_statusEvent.get());
            return 0;
        case WM_QUERYENDSESSION:
            return OnQueryEndSession(wParam, lParam);
        case WM_POWERBROADCAST:
            if (wParam == PBT_APMSUSPEND && IsAutoReset(CurrentStatus())) SendSetStatus(2);
            break;
        case WM_WTSSESSION_CHANGE:
            if (wParam == WTS_SESSION_LOCK && IsAutoReset(CurrentStatus())) {
                SendSetStatus(4);
            } else if (wParam == WTS_SESSION_UNLOCK &&
                       (CurrentStatus() == 4 || CurrentStatus() == 2)) {
                SendSetStatus(1);
            }
            break;
        case WM_REGISTER_SESSION:
            if (!RegisterSessionNotifications(m_hwnd) &&
                m_sessionRetries++ < kSessionRegistrationRetries)
                StartWorkerThread(SessionServicesThread, m_hwnd);
            return 0;
        case WM_CLOSE:
            // Only the thread that created the window may remove its block reason.
            ::ShutdownBlockReasonDestroy(m_hwnd);
            break;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(m_hwnd, message, wParam, lParam);
}

LRESULT CMainWindow::OnCreate(WPARAM wParam, LPARAM lParam) {
    m_taskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    if (::DefWindowProcW(m_hwnd, WM_CREATE, wParam, lParam) == -1) return -1;
    AllowShellBroadcast(m_hwnd, m_taskbarCreated);
    // Before Remote Desktop Services is ready the registration fails; a worker waits for it
    // without holding up this thread.
    if (!RegisterSessionNotifications(m_hwnd)) StartWorkerThread(SessionServicesThread, m_hwnd);
    return 0;
}

void CMainWindow::OnDestroy() {
    DeleteTrayIcon(m_tray);
    UnregisterSessionNotifications(m_hwnd);
    LogSetMirror(false);
    LogStop();
    g_mainWindow.store(nullptr);
    ::PostQuitMessage(0);
}

void CMainWindow::SendSetStatus(int statusId) {
    ::SendMessageW(m_hwnd, WM_SET_STATUS, static_cast<WPARAM>(statusId), 0);
}

void CMainWindow::OnCommand(UINT commandId) {
    if (commandId == kReleaseCommand) {
        SendSetStatus(1);
    } else if (commandId == kExitCommand) {
        ::PostMessageW(m_hwnd, WM_CLOSE, 0, 0);
    } else if (commandId >= kFirstStatusCommand) {
        ChooseStatusItem(m_menu.get(), commandId, *CurrentStatusList(), m_statusEvent.get());
    }
}

void CMainWindow::ShowTrayMenu() {
    ::SetForegroundWindow(m_hwnd);
    POINT cursor = {};
    ::GetCursorPos(&cursor);
    const HMENU popup = ::GetSubMenu(m_menu.get(), 0);
    if (!popup) return;
    if (!StatusMenuBuilt())
        BuildStatusMenu(m_menu.get(), popup, *CurrentStatusList(), CurrentStatus());
    TrackTrayMenu(m_hwnd, popup, cursor);
}

LRESULT CMainWindow::OnQueryEndSession(WPARAM wParam, LPARAM lParam) {
    if (!::DefWindowProcW(m_hwnd, WM_QUERYENDSESSION, wParam, lParam)) return FALSE;
    if (!IsAutoReset(CurrentStatus())) return TRUE;
    StartWorkerThread(ShutdownThread, m_hwnd);
    return FALSE;
}
