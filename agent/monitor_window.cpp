#include "agent/monitor_window.h"

#include "agent/agent_window.h"

namespace {
class AgentWindow : public MonitorWindow {
public:
    int CurrentStatus() override { return ::CurrentStatus(); }
    void SetStatus(int statusId) override {
        ::SendMessageW(MainWindowHandle(), WM_SET_STATUS, static_cast<WPARAM>(statusId), 0);
    }
    void MarkStatusMenuForRebuild() override { ::MarkStatusMenuForRebuild(); }
};
}  // namespace

MonitorWindow& AgentMonitorWindow() {
    static AgentWindow window;
    return window;
}
