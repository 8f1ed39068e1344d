// CHttpClient and CFilePostClient of the updater build against the in-process loopback
// server: what goes on the wire, and how answers become results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/http_client.h"
#include "loopback_server.h"
#include "test_support.h"

namespace {

std::string BodyText(const std::vector<char>& body) {
    return std::string(body.begin(), body.end());
}

// A port on which nothing listens: the server's port after it has gone.
int ClosedPort() {
    LoopbackServer server;
    return server.port();
}

class HttpGetTest : public ::testing::Test {
protected:
    void SetUp() override { PublishProxySettings(L"", 0, L"", L""); }
    LoopbackServer server;
    CHttpClient client{L"127.0.0.1", server.port(), false};
};

TEST_F(HttpGetTest, SendsOneBareGetWithTheExecutableNameAsUserAgent) {
    server.Answer("/wz/list/7?a=b", LoopbackReply::Ok("x"));
    std::vector<char> body;
    EXPECT_EQ(1, client.Get(L"/wz/list/7?a=b", body));

    const auto requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    const LoopbackRequest& r = requests[0];
    EXPECT_EQ("GET", r.method);
    EXPECT_EQ("/wz/list/7?a=b", r.target);
    EXPECT_EQ("HTTP/1.1", r.version);
    EXPECT_EQ("http_client_test", r.Header("User-Agent"));
    EXPECT_EQ(Narrow(HttpSessionName()), r.Header("User-Agent"));
    EXPECT_EQ("127.0.0.1:" + std::to_string(server.port()), r.Header("Host"));
    // Neither a cache nor proxy credentials are involved in a plain request.
    EXPECT_FALSE(r.HasHeader("Pragma"));
    EXPECT_FALSE(r.HasHeader("Cache-Control"));
    EXPECT_FALSE(r.HasHeader("Proxy-Authorization"));
    EXPECT_FALSE(r.HasHeader("Content-Length"));
    EXPECT_TRUE(r.body.empty());
}

// Every answer ends in one of these rows of result, error number, status and buffer.
TEST_F(HttpGetTest, AnswersBecomeResultErrorAndStatus) {
    struct Case {
        const char* name;
        LoopbackReply reply;
        int result;
        DWORD status;
        bool answered;
        std::string body;  // expected buffer without the added zero byte
    };
    const std::vector<Case> cases = {
        {"five bytes", LoopbackReply::Ok("hello"), 5, 200, true, "hello"},
        {"binary with zeros", LoopbackReply::Ok(std::string("a\0b\r\n", 5)), 5, 200, true,
         std::string("a\0b\r\n", 5)},
        {"200 with length 0", LoopbackReply::Ok(""), 0, 200, false, ""},
        {"404", LoopbackReply::Status(404, "not here"), 0, 404, false, ""},
        {"500", LoopbackReply::Status(500, "boom"), 0, 500, false, ""},
        {"chunked 200", LoopbackReply::Chunked("chunked body"), 0, 200, false, ""},
        {"length with trailing text",
         LoopbackReply::Raw("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"), 3, 200, true,
         "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Answer("/p", c.reply);
        std::vector<char> body{'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd'};
        const int result = client.Get(L"/p", body);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(0u, client.ErrorNumber());
        EXPECT_EQ(c.status, client.StatusCode());
        EXPECT_EQ(c.answered, client.Answered(result));
        if (result > 0) {
            ASSERT_EQ(c.body.size() + 1, body.size());
            EXPECT_EQ(c.body, std::string(body.data(), c.body.size()));
            EXPECT_EQ('\0', body.back());
        } else {
            EXPECT_EQ("untouched", BodyText(body));
        }
    }
}

TEST_F(HttpGetTest, UnreachableServerSetsTheErrorNumberAndNoStatus) {
    CHttpClient unreachable(L"127.0.0.1", ClosedPort(), false);
    std::vector<char> body;
    EXPECT_EQ(0, unreachable.Get(L"/p", body));
    EXPECT_NE(0u, unreachable.ErrorNumber());
    EXPECT_EQ(0u, unreachable.StatusCode());
    EXPECT_TRUE(body.empty());
}

TEST_F(HttpGetTest, ResultFieldsAreResetByEveryCall) {
    server.Answer("/missing", LoopbackReply::Status(404));
    server.Answer("/ok", LoopbackReply::Ok("1"));
    std::vector<char> body;
    EXPECT_EQ(0, client.Get(L"/missing", body));
    EXPECT_EQ(404u, client.StatusCode());
    EXPECT_EQ(1, client.Get(L"/ok", body));
    EXPECT_EQ(200u, client.StatusCode());
    EXPECT_EQ(0u, client.ErrorNumber());

    CHttpClient unreachable(L"127.0.0.1", ClosedPort(), false);
    EXPECT_EQ(0, unreachable.Get(L"/ok", body));
    EXPECT_NE(0u, unreachable.ErrorNumber());
    unreachable.m_port = server.port();
    EXPECT_EQ(1, unreachable.Get(L"/ok", body));
    EXPECT_EQ(0u, unreachable.ErrorNumber());
}

TEST_F(HttpGetTest, BodyShorterThanAnnouncedIsAFailureAndHandsNothingOut) {
    server.Answer("/short", LoopbackReply::Short(10, "12345"));
    std::vector<char> body{'k'};
    const int result = client.Get(L"/short", body);
    EXPECT_EQ(0, result);
    EXPECT_EQ(kHttpErrorShortBody, client.ErrorNumber());
    EXPECT_EQ(200u, client.StatusCode());
    EXPECT_FALSE(client.Answered(result));
    EXPECT_EQ("k", BodyText(body));
}

TEST_F(HttpGetTest, DroppedConnectionIsAFailure) {
    server.Answer("/drop", LoopbackReply::Drop());
    std::vector<char> body;
    EXPECT_EQ(0, client.Get(L"/drop", body)) << client.StatusCode();
    EXPECT_NE(0u, client.ErrorNumber());
    EXPECT_EQ(0u, client.StatusCode());
}

TEST_F(HttpGetTest, LengthThatCannotBeHeldIsAFailureNotACrash) {
    std::vector<std::string> lengths = {"3000000000", "2147483647", "99999999999999999999"};
    // Below the 32-bit limit but more than a 32-bit process can allocate in one piece.
    if (sizeof(void*) == 4) lengths.push_back("2147483646");
    for (const std::string& length : lengths) {
        SCOPED_TRACE(length);
        server.Answer("/huge",
                      LoopbackReply::Raw(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") +
                                         length + "\r\n\r\nabc"));
        std::vector<char> body{'k'};
        const int result = client.Get(L"/huge", body);
        EXPECT_EQ(0, result);
        EXPECT_EQ(kHttpErrorBodyTooLarge, client.ErrorNumber());
        EXPECT_EQ("k", BodyText(body));
    }
}

TEST_F(HttpGetTest, LargeBodyArrivesWhole) {
    std::string payload(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + i / 7);
    server.Answer("/big", LoopbackReply::Ok(payload));
    std::vector<char> body;
    ASSERT_EQ(static_cast<int>(payload.size()), client.Get(L"/big", body));
    EXPECT_TRUE(std::string(body.data(), payload.size()) == payload);
}

}  // namespace
