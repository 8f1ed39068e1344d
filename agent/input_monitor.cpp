#include "agent/input_monitor.h"

#include "common/seam.h"

int InputMonitorTarget(InputWake wake, int currentStatus) {
    if (wake == InputWake::Idle && currentStatus == 1) return 3;
    if (wake == InputWake::Active && currentStatus == 3) return 1;
    return 0;
}

void InputMonitorPass(const HANDLE* eventPair, MonitorWindow& window) {
    // With both events signalled the idle event, listed first, is taken and only it reset.
    const DWORD result = ::WaitForMultipleObjects(2, eventPair, FALSE, INFINITE);
    const InputWake wake = result == WAIT_OBJECT_0       ? InputWake::Idle
                           : result == WAIT_OBJECT_0 + 1 ? InputWake::Active
                                                         : InputWake::Failed;
    const int target = InputMonitorTarget(wake, window.CurrentStatus());
    if (target != 0) {
        window.SetStatus(target);
        if (target == 3 && ::IsDebuggerPresent()) ::OutputDebugStringW(L"*");
    }
    // The detector keeps signalling while a condition lasts: one status change per pause.
    seam::Sleep(kInputMonitorPauseMilliseconds);
}
