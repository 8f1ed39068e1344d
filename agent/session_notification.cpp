#include "agent/session_notification.h"

#include <wtsapi32.h>

#include "common/handles.h"
#include "common/seam.h"

namespace {

// MinGW's i686 declaration of the registration call lacks its calling convention: it is
// bound at run time.
using RegisterNotificationEx = BOOL(WINAPI*)(HANDLE, HWND, DWORD);

RegisterNotificationEx RegisterFunction() {
    const HMODULE module = ::GetModuleHandleW(L"wtsapi32.dll");
    if (!module) return nullptr;
    return reinterpret_cast<RegisterNotificationEx>(
        reinterpret_cast<void*>(::GetProcAddress(module, "WTSRegisterSessionNotificationEx")));
}

constexpr DWORD kPollMilliseconds = 1000;
constexpr DWORD kProductPolls = 600;

}  // namespace

bool RegisterSessionNotifications(HWND window) {
    const RegisterNotificationEx reg = RegisterFunction();
    return reg && reg(WTS_CURRENT_SERVER_HANDLE, window, NOTIFY_FOR_THIS_SESSION);
}

void UnregisterSessionNotifications(HWND window) {
    ::WTSUnRegisterSessionNotificationEx(WTS_CURRENT_SERVER_HANDLE, window);
}

void WaitForSessionServices(HWND window, const wchar_t* eventName, DWORD polls) {
    for (DWORD poll = 0; poll < polls; ++poll) {
        // Also a first pause: a registration that failed with the event already set is
        // not repeated at once.
        seam::Sleep(kPollMilliseconds);
        unique_handle ready(::OpenEventW(SYNCHRONIZE, FALSE, eventName));
        if (ready && seam::WaitFor(ready.get(), 0) == WAIT_OBJECT_0) break;
    }
    ::PostMessageW(window, WM_REGISTER_SESSION, 0, 0);
}

DWORD WINAPI SessionServicesThread(void* window) {
    WaitForSessionServices(static_cast<HWND>(window), kSessionServicesReadyEvent, kProductPolls);
    return 0;
}
