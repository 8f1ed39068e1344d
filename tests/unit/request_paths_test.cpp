#include <gtest/gtest.h>

#include "agent/agent_settings.h"
#include "agent/request_paths.h"
#include "agent_test_support.h"

namespace {

TEST(EscapePathSegment, EscapesEverythingButUnreservedBytes) {
    const struct {
        const wchar_t* text;
        const wchar_t* expected;
    } cases[] = {
        {L"", L""},
        {L"PC-01", L"PC-01"},
        {L"Az09-_.~", L"Az09-_.~"},
        {L"yamada taro", L"yamada%20taro"},
        {L"\u00e9", L"%c3%a9"},
        {L"\u5c71\u7530", L"%e5%b1%b1%e7%94%b0"},
        {L"a/b%c?d#e", L"a%2fb%25c%3fd%23e"},
        {L"\U0001F600", L"%f0%9f%98%80"},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapePathSegment(c.text), c.expected) << c.expected;
}

TEST(RequestPaths, HostIdFormsAndComputerNameForms) {
    AgentFolders folders(
        "[Config]\r\nHostID=12\r\n[Server]\r\nConf=/pw/conf\r\nCheck=/pw/check\r\n"
        "Status=/pw/status\r\nVersion=/pw/version\r\n");
    AgentSettings& s = Settings();
    s.productVersion = L"1.0.2.0";
    s.computerName = L"PC 01";
    EXPECT_EQ(StatusReportPath(3, L"\u5c71\u7530"), L"/pw/status/12/3");
    EXPECT_EQ(StatusReportPath(-7, L""), L"/pw/status/12/-7");
    EXPECT_EQ(VersionReportPath(), L"/pw/version/12/1.0.2.0");
    EXPECT_EQ(SettingsCheckPath(), L"/pw/check/12");
    EXPECT_EQ(ConfDocumentPath(), L"/pw/conf/12");

    s.hostId = 0;
    EXPECT_EQ(StatusReportPath(3, L"\u5c71\u7530"), L"/pw/status/0/3/PC%2001/%e5%b1%b1%e7%94%b0");
    EXPECT_EQ(StatusReportPath(3, L""), L"/pw/status/0/3/PC%2001/");
    EXPECT_EQ(VersionReportPath(), L"/pw/version/0/1.0.2.0/PC%2001");
    EXPECT_EQ(SettingsCheckPath(), L"/pw/check/0/PC%2001");
    EXPECT_EQ(ConfDocumentPath(), L"/pw/conf/0/PC%2001");
    EXPECT_EQ(InstallReportPath(L"/pw/install", L"PC-01", L"yamada taro"),
              L"/pw/install/PC-01/yamada%20taro");
}

TEST(RequestPaths, LongPathsAreNeverCut) {
    AgentFolders folders;
    AgentSettings& s = Settings();
    s.statusPath = L"/" + std::wstring(150, L's');
    s.hostId = 0;
    s.computerName = L"PC-01";
    const std::wstring user(40, L'\u5c71');  // 360 characters once escaped
    const std::wstring path = StatusReportPath(1, user);
    EXPECT_EQ(path.size(), 151u + 11u + 360u);
    EXPECT_EQ(path.substr(path.size() - 9), L"%e5%b1%b1");
}

}  // namespace
