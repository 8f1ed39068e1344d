// The setting monitor: new configuration documents every check period, and the daybreak
// that puts automatic statuses back to 1.
#pragma once
#include <string>

#include "agent/idle_detector.h"
#include "agent/monitor_window.h"

struct _settingMonitorState {
    std::wstring previousTime;  // local time of the previous pass, empty before the first
};

// One pass: the settings check (download, apply, threshold into the record, menu marked
// for rebuilding), the daybreak test, then the sleep of one check period.
void SettingMonitorPass(IdleDetectorRecord& record, _settingMonitorState& state,
                        MonitorWindow& window);
