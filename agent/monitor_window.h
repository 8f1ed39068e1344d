// What the input and setting monitors need of the main window, behind one interface so
// that a monitor pass can be driven by tests. AgentMonitorWindow() is the real window.
#pragma once

class MonitorWindow {
public:
    virtual ~MonitorWindow() = default;
    virtual int CurrentStatus() = 0;
    // The set-status message, sent synchronously: returns once the window has handled it.
    virtual void SetStatus(int statusId) = 0;
    virtual void MarkStatusMenuForRebuild() = 0;
};

MonitorWindow& AgentMonitorWindow();
