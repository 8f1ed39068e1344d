// CHttpClient of the agent build: its own session name and the download into a file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/http_client.h"
#include "loopback_server.h"
#include "test_support.h"

namespace {

class AgentHttpTest : public ::testing::Test {
protected:
    LoopbackServer server;
    CHttpClient client{L"127.0.0.1", server.port(), false};
    TempDir dir;
};

TEST_F(AgentHttpTest, SendsTheAgentSessionNameAsUserAgent) {
    server.Answer("/wz/status/0/3/PC/user", LoopbackReply::Ok("1"));
    std::vector<char> body;
    const int result = client.Get(L"/wz/status/0/3/PC/user", body);
    EXPECT_TRUE(client.Answered(result));
    ASSERT_EQ(1u, server.RequestCount());
    const LoopbackRequest r = server.Requests()[0];
    EXPECT_EQ("GET /wz/status/0/3/PC/user HTTP/1.1", r.head.substr(0, r.head.find("\r\n")));
    EXPECT_EQ("kqbvtnzr", r.Header("User-Agent"));
    EXPECT_FALSE(r.HasHeader("Pragma"));
    EXPECT_FALSE(r.HasHeader("Cache-Control"));
}

TEST_F(AgentHttpTest, GetToFileStoresTheWholeBodyAndNothingElse) {
    const std::string document = std::string("<?xml version=\"1.0\"?>\r\n<grpattendconf/>\0x", 42);
    server.Answer("/conf", LoopbackReply::Ok(document));
    const std::wstring file = dir / L"conf.xml";
    ASSERT_TRUE(WriteBytes(file, std::string(5000, 'o')));  // an older, longer document
    EXPECT_TRUE(client.GetToFile(L"/conf", file));
    EXPECT_EQ(document, ReadBytes(file));
}

// A failed download never touches the file already there.
TEST_F(AgentHttpTest, GetToFileLeavesTheFileAloneWhenTheAnswerDoesNotCount) {
    struct Case {
        const char* name;
        LoopbackReply reply;
    };
    const std::vector<Case> cases = {
        {"404", LoopbackReply::Status(404, "missing")},
        {"200 empty", LoopbackReply::Ok("")},
        {"chunked", LoopbackReply::Chunked("<grpattendconf/>")},
        {"short body", LoopbackReply::Short(100, "<grpattendconf>")},
        {"dropped", LoopbackReply::Drop()},
    };
    const std::wstring file = dir / L"conf.xml";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteBytes(file, "kept"));
        server.Answer("/conf", c.reply);
        EXPECT_FALSE(client.GetToFile(L"/conf", file));
        EXPECT_EQ("kept", ReadBytes(file));
    }
    const std::wstring absent = dir / L"absent.xml";
    server.Answer("/conf", LoopbackReply::Status(404));
    EXPECT_FALSE(client.GetToFile(L"/conf", absent));
    EXPECT_FALSE(FileExists(absent));
}

TEST_F(AgentHttpTest, GetToFileFailsWhenTheFileCannotBeCreated) {
    server.Answer("/conf", LoopbackReply::Ok("<grpattendconf/>"));
    EXPECT_FALSE(client.GetToFile(L"/conf", dir / L"no such folder\\conf.xml"));
    EXPECT_TRUE(client.Answered(1));  // the download itself was fine
}

}  // namespace
