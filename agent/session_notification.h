// Session lock and unlock notifications for the main window. At logon the registration may
// fail until Remote Desktop Services is ready; a worker then waits for its ready event and
// asks the window thread to register again.
#pragma once
#include <windows.h>

// Posted to the window by the worker: register now.
constexpr UINT WM_REGISTER_SESSION = WM_APP + 1;

// The event Remote Desktop Services sets once registrations can succeed.
constexpr const wchar_t* kSessionServicesReadyEvent = L"Global\\TermSrvReadyEvent";

// Registers the window for the notifications of its session; false when that failed.
bool RegisterSessionNotifications(HWND window);
void UnregisterSessionNotifications(HWND window);

// Polls once a second, at most `polls` times, until the named event exists and is set, then
// posts WM_REGISTER_SESSION to the window; when the polls run out it posts all the same, so
// the window tries once more. The event may not exist yet at logon.
void WaitForSessionServices(HWND window, const wchar_t* eventName, DWORD polls);

// Worker thread of the product: WaitForSessionServices with the ready event for up to ten
// minutes. Parameter: the window handle.
DWORD WINAPI SessionServicesThread(void* window);
