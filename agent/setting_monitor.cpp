#include "agent/setting_monitor.h"

#include <cstdint>

#include "agent/agent_settings.h"
#include "agent/conf_document.h"
#include "agent/daybreak.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/text.h"

void SettingMonitorPass(IdleDetectorRecord& record, _settingMonitorState& state,
                        MonitorWindow& window) {
    AgentSettings& settings = Settings();
    if (CheckForNewSettings()) {
        Log(L"new setting");
        std::wstring errorText;
        if (DownloadConfDocument(errorText)) {
            ApplyConfDocument();
            // Stored as unsigned: a negative threshold means the user never goes idle.
            record.idleThreshold = static_cast<uint32_t>(settings.threshold.load());
            window.MarkStatusMenuForRebuild();
        } else {
            Log(L"recv error: %s", errorText.c_str());
        }
    }

    const std::wstring now = FormatLocalTime(seam::Now(), L"%H:%M:%S");
    if (IsDaybreak(state.previousTime, settings.startDay, now)) {
        Log(L"daybreak");
        if (IsAutoReset(window.CurrentStatus())) window.SetStatus(1);
    }
    state.previousTime = now;

    // The period as it stands now, in 32-bit arithmetic; it never reaches INFINITE. This
    // thread's COM apartment owns a hidden window: its messages are dispatched meanwhile,
    // or programs that broadcast to every window would wait for it.
    seam::SleepDispatching(static_cast<uint32_t>(settings.cycle.load()) * 1000u);
}
