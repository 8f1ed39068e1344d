// What the worker threads need of the main window.
#pragma once
#include <windows.h>

// Sent synchronously with the wanted status id in wParam and 0 in lParam.
constexpr UINT WM_SET_STATUS = WM_USER + 1;

// The hidden main window, or nullptr before it exists.
HWND MainWindowHandle();

// The current status id; written only on the window thread.
int CurrentStatus();

// Makes the tray menu rebuild its status items from the status list at its next opening.
void MarkStatusMenuForRebuild();
