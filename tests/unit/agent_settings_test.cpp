#include <gtest/gtest.h>

#include "agent/agent_settings.h"
#include "agent_test_support.h"
#include "common/http_client.h"

namespace {

TEST(AgentSettings, DefaultsWithoutConfig) {
    AgentFolders folders;
    const AgentSettings& s = Settings();
    EXPECT_EQ(s.installFolder, folders.install());
    EXPECT_EQ(s.dataFolder, folders.data());
    EXPECT_EQ(s.logsFolder, folders.data() + L"\\logs");
    EXPECT_TRUE(FileExists(s.logsFolder));
    EXPECT_FALSE(s.computerName.empty());
    EXPECT_EQ(s.hostId, 0);
    EXPECT_EQ(s.server, L"");
    EXPECT_EQ(s.port, 80);
    EXPECT_FALSE(s.ssl);
    EXPECT_FALSE(s.verifyCertificate);
    EXPECT_FALSE(VerifyCertificate());
    EXPECT_EQ(s.threshold, 600);
    EXPECT_EQ(s.cycle, 600);
    EXPECT_EQ(s.statusPath, L"");
    EXPECT_EQ(s.versionPath, L"/wz/attendance_conf/version");
    EXPECT_EQ(s.startDay, L"00:00:00");
    EXPECT_EQ(s.startupStatus, 1);
}

TEST(AgentSettings, ReadsEveryKey) {
    AgentFolders folders(
        "[Config]\r\nServer=srv.example\r\nPort=8443\r\nSSL=2\r\nHostID=12\r\n"
        "VerifyCertificate=3\r\n"
        "[Server]\r\nConf=/c\r\nCheck=/k\r\nStatus=/s\r\nVersion=/v\r\n");
    const AgentSettings& s = Settings();
    EXPECT_EQ(s.server, L"srv.example");
    EXPECT_EQ(s.port, 8443);
    EXPECT_TRUE(s.ssl);
    EXPECT_EQ(s.hostId, 12);
    EXPECT_EQ(s.confPath, L"/c");
    EXPECT_EQ(s.checkPath, L"/k");
    EXPECT_EQ(s.statusPath, L"/s");
    EXPECT_EQ(s.versionPath, L"/v");
    // Published to the HTTP client, which every request of the agent reads.
    EXPECT_TRUE(s.verifyCertificate);
    EXPECT_TRUE(VerifyCertificate());
    SetVerifyCertificate(false);
}

TEST(AgentSettings, StartupStatusFromStatusIni) {
    AgentFolders folders;
    const struct {
        const char* ini;
        int expected;
    } cases[] = {
        {"[Status]\r\nCurrent=5\r\n", 5},
        {"[Status]\r\nCurrent=abc\r\n", 0},
        {"[Status]\r\nCurrent=-3\r\n", -3},
        {"[Other]\r\nCurrent=5\r\n", 1},
    };
    for (const auto& c : cases) {
        WriteBytes(folders.dataFile(L"status.ini"), c.ini);
        folders.Reload();
        EXPECT_EQ(Settings().startupStatus, c.expected) << c.ini;
    }
}

TEST(AgentSettings, UnreadableSettingsKeepWorkingTimings) {
    // Without an executable path nothing can be read, but the idle threshold and the check
    // period must not drop to zero (a zero period would spin the setting monitor).
    LoadAgentSettingsFrom(L"", L"C:\\anything");
    EXPECT_EQ(Settings().dataFolder, L"");
    EXPECT_EQ(Settings().threshold, 600);
    EXPECT_EQ(Settings().cycle, 600);
    LoadAgentSettingsFrom(L"C:\\x\\Pellwick.exe", L"");
    EXPECT_EQ(Settings().threshold, 600);
    EXPECT_EQ(Settings().cycle, 600);
}

}  // namespace
