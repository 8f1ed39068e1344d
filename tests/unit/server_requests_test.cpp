#include <gtest/gtest.h>

#include "agent/agent_settings.h"
#include "agent/conf_document.h"
#include "agent_test_support.h"
#include "loopback_server.h"

namespace {

class SettingsRequests : public ::testing::Test {
protected:
    SettingsRequests() : folders(LoopbackConfig(server.port(), 12)) {}
    std::wstring Stored() const { return folders.dataFile(L"conf.xml"); }

    LoopbackServer server;
    AgentFolders folders;
};

TEST_F(SettingsRequests, VersionReportWantsExactlyOk) {
    Settings().productVersion = L"1.0.2.0";
    const struct {
        LoopbackReply reply;
        bool expected;
    } cases[] = {
        {LoopbackReply::Ok("ok"), true},
        {LoopbackReply::Ok("OK"), false},
        {LoopbackReply::Ok("ok\n"), false},
        {LoopbackReply::Status(500, "ok"), false},
    };
    for (const auto& c : cases) {
        server.Answer("/pw/version/12/1.0.2.0", c.reply);
        EXPECT_EQ(ReportVersion(), c.expected);
    }
    EXPECT_EQ(server.RequestCount(), 4u);

    Settings().productVersion.clear();
    EXPECT_FALSE(ReportVersion());
    EXPECT_EQ(server.RequestCount(), 4u);
}

TEST_F(SettingsRequests, CheckAsksOnlyWhenADocumentIsStored) {
    EXPECT_TRUE(CheckForNewSettings());
    EXPECT_EQ(server.RequestCount(), 0u);

    WriteBytes(Stored(), "<config/>");
    const struct {
        LoopbackReply reply;
        bool expected;
    } cases[] = {
        {LoopbackReply::Ok("1"), true},
        {LoopbackReply::Ok("0"), false},
        {LoopbackReply::Ok("1 "), false},
        {LoopbackReply::Status(503, "1"), false},
    };
    for (const auto& c : cases) {
        server.Answer("/pw/check/12", c.reply);
        EXPECT_EQ(CheckForNewSettings(), c.expected);
    }
    EXPECT_EQ(server.RequestCount(), 4u);
}

TEST_F(SettingsRequests, DownloadReplacesTheStoredDocumentOnlyWhenComplete) {
    WriteBytes(Stored(), "<config>old</config>");
    std::wstring errorText;

    const struct {
        LoopbackReply reply;
        const wchar_t* errorText;  // "" where only the transport knows the error number
    } failures[] = {
        {LoopbackReply::Status(404, "<config>404</config>"), L"404[0]"},
        {LoopbackReply::Short(500, "<config>cut"), L""},
        {LoopbackReply::Drop(), L""},
    };
    for (const auto& f : failures) {
        server.Answer("/pw/conf/12", f.reply);
        errorText.clear();
        EXPECT_FALSE(DownloadConfDocument(errorText));
        if (*f.errorText) {
            EXPECT_EQ(errorText, f.errorText);
        } else {
            EXPECT_EQ(errorText.back(), L']') << errorText;
        }
        EXPECT_EQ(ReadBytes(Stored()), "<config>old</config>");
    }

    server.Answer("/pw/conf/12", LoopbackReply::Ok("<config>new</config>"));
    EXPECT_TRUE(DownloadConfDocument(errorText));
    EXPECT_EQ(ReadBytes(Stored()), "<config>new</config>");
    EXPECT_FALSE(FileExists(Stored() + L".download"));
}

}  // namespace
