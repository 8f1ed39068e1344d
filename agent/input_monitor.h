// The input monitor: turns the idle detector's events into status changes.
#pragma once
#include <windows.h>

#include "agent/monitor_window.h"

enum class InputWake { Idle, Active, Failed };

constexpr DWORD kInputMonitorPauseMilliseconds = 5000;

// The status to ask for after a wake, or 0 for none: only 1 -> 3 on idle and 3 -> 1 on
// activity; every other status is the user's or another monitor's and is left alone.
int InputMonitorTarget(InputWake wake, int currentStatus);

// One wake: waits for either event of the pair (idle first), asks for the status change
// and pauses.
void InputMonitorPass(const HANDLE* eventPair, MonitorWindow& window);
