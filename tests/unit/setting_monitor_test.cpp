// One pass of the setting monitor with the agent's real settings and configuration document,
// against a loopback server; the window is played by the test.
#include "agent/setting_monitor.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include "agent/agent_settings.h"
#include "agent/conf_document.h"
#include "common/log_writer.h"
#include "common/text.h"
#include "fake_monitor_window.h"
#include "loopback_server.h"
#include "test_support.h"

namespace {
std::string Conf(const std::string& threshold, const std::string& cycle,
                 const std::string& statuses = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config>\r\n"
           "  <grpattendconf threshold=\"" +
           threshold + "\" cycle=\"" + cycle +
           "\"/>\r\n"
           "  <status>\r\n" +
           statuses + "  </status>\r\n</config>\r\n";
}

const std::string kStored =
    Conf("600", "600", "    <workstatus id=\"5\" name=\"A\" autoreset=\"0\"/>\r\n");
}  // namespace

class SettingMonitor : public testing::Test {
protected:
    void SetUp() override {
        ::CoInitialize(nullptr);
        ASSERT_TRUE(WriteBytes(data / L"conf.xml", kStored));
        AgentSettings& settings = Settings();
        settings.dataFolder = data.path();
        settings.server = L"127.0.0.1";
        settings.port = server.port();
        settings.ssl = false;
        settings.hostId = 12;
        settings.checkPath = L"/pw/check";
        settings.confPath = L"/pw/conf";
        settings.startDay = L"00:00:00";
        settings.threshold = 600;
        settings.cycle = 600;
        ApplyConfDocument();
        record.idleThreshold = 600;
        LogSetMirror(true);
        logStart_ = LogMirrorText().size();
    }
    void TearDown() override {
        LogSetMirror(false);
        ::CoUninitialize();
    }

    // What this test logged so far.
    std::wstring Logged() const { return LogMirrorText().substr(logStart_); }

    void Pass() { SettingMonitorPass(record, state, window); }

    TempDir data;
    LoopbackServer server;
    FakeClock clock;
    FakeMonitorWindow window;
    IdleDetectorRecord record;
    _settingMonitorState state;

private:
    size_t logStart_ = 0;
};

TEST_F(SettingMonitor, NewSettingsAreAppliedAndReachTheIdleDetectorAndTheMenu) {
    const std::string fresh =
        Conf("45", "30", "    <workstatus id=\"9\" name=\"B\" autoreset=\"0\"/>\r\n");
    server.Answer("/pw/check/12", LoopbackReply::Ok("1"));
    server.Answer("/pw/conf/12", LoopbackReply::Ok(fresh));
    Pass();

    EXPECT_EQ(ReadBytes(data / L"conf.xml"), fresh);
    EXPECT_EQ(record.idleThreshold.load(), 45u);
    EXPECT_EQ(window.menuMarks, 1);
    EXPECT_FALSE(IsAutoReset(9));
    // The new period already sets the pause that ends this pass.
    EXPECT_EQ(clock.sleptMilliseconds.load(), 30000u);
    const std::wstring log = Logged();
    EXPECT_NE(log.find(L"|new setting\n"), std::wstring::npos) << log;
    EXPECT_EQ(log.find(L"recv error"), std::wstring::npos) << log;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/pw/check/12");
    EXPECT_EQ(requests[1].target, "/pw/conf/12");
}

TEST_F(SettingMonitor, NegativeThresholdIsCopiedAsAHugeUnsignedOne) {
    server.Answer("/pw/check/12", LoopbackReply::Ok("1"));
    server.Answer("/pw/conf/12", LoopbackReply::Ok(Conf("-1", "600")));
    Pass();
    EXPECT_EQ(record.idleThreshold.load(), 0xFFFFFFFFu);
}

TEST_F(SettingMonitor, DownloadFailureIsLoggedAndChangesNothing) {
    server.Answer("/pw/check/12", LoopbackReply::Ok("1"));
    server.Answer("/pw/conf/12", LoopbackReply::Status(404, "gone"));
    Pass();

    const std::wstring log = Logged();
    EXPECT_NE(log.find(L"|new setting\n"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"|recv error: 404[0]\n"), std::wstring::npos) << log;
    EXPECT_EQ(ReadBytes(data / L"conf.xml"), kStored);
    EXPECT_EQ(record.idleThreshold.load(), 600u);
    EXPECT_EQ(window.menuMarks, 0);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 600000u);
}

TEST_F(SettingMonitor, NoNewSettingsMeansNoDownload) {
    server.Answer("/pw/check/12", LoopbackReply::Ok("0"));
    Pass();
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(Logged().find(L"new setting"), std::wstring::npos);
    EXPECT_EQ(window.menuMarks, 0);
}

TEST_F(SettingMonitor, DaybreakPutsAutomaticStatusesBackToOne) {
    server.Answer("/pw/check/12", LoopbackReply::Ok("0"));
    const int64_t before = clock.now.load();
    // The day starts between two passes ten minutes apart.
    Settings().startDay = FormatLocalTime(before + 300, L"%H:%M:%S");
    struct Case {
        int status;
        std::vector<int> requested;
    };
    // 3 has no entry (automatic events may replace it); 5 was listed without autoreset.
    const Case cases[] = {{3, {1}}, {5, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        state = _settingMonitorState{};
        window = FakeMonitorWindow{};
        window.status = c.status;
        clock.now = before;
        Pass();
        EXPECT_TRUE(window.requested.empty()) << "the first pass never is a daybreak";
        const size_t mark = Logged().size();
        clock.now = before + 600;
        Pass();
        EXPECT_EQ(window.requested, c.requested);
        EXPECT_NE(Logged().find(L"|daybreak\n", mark), std::wstring::npos);
        Pass();
        EXPECT_EQ(window.requested, c.requested) << "one daybreak per day";
    }
}
