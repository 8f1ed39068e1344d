// Entry points of the monitor threads, wired to the real window and input devices.
#include <windows.h>
#include <objbase.h>

#include "agent/agent_settings.h"
#include "agent/idle_detection.h"
#include "agent/input_monitor.h"
#include "agent/setting_monitor.h"
#include "common/log_writer.h"

DWORD WINAPI IdleDetectorThread(void* record) {
    CSystemInputSources sources;
    return RunIdleDetector(*static_cast<IdleDetectorRecord*>(record), sources);
}

DWORD WINAPI InputMonitorThread(void* eventPair) {
    Log(L"start: input monitor");
    const auto* pair = static_cast<const HANDLE*>(eventPair);
    MonitorWindow& window = AgentMonitorWindow();
    for (;;) InputMonitorPass(pair, window);
}

DWORD WINAPI SettingMonitorThread(void* record) {
    Log(L"start: setting monitor");
    // The configuration document is read through COM on this thread; a failure shows up
    // as a document that can't be applied.
    ::CoInitialize(nullptr);
    ReportVersion();
    MonitorWindow& window = AgentMonitorWindow();
    _settingMonitorState state;
    auto& idleRecord = *static_cast<IdleDetectorRecord*>(record);
    for (;;) SettingMonitorPass(idleRecord, state, window);
}
