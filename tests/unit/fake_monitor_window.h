// A main window played by a test: the current status, and what the monitors asked of it.
#pragma once
#include <vector>

#include "agent/monitor_window.h"

class FakeMonitorWindow : public MonitorWindow {
public:
    int CurrentStatus() override { return status; }
    void SetStatus(int statusId) override { requested.push_back(statusId); }
    void MarkStatusMenuForRebuild() override { ++menuMarks; }

    int status = 1;
    std::vector<int> requested;
    int menuMarks = 0;
};
