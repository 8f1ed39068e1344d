// CHttpClient and CFilePostClient of the updater build against the in-process loopback
// server: what goes on the wire, and how answers become results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/http_client.h"
#include "common/text.h"
#include "loopback_server.h"
#include "test_support.h"
#include "updater/updater.h"

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

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

class FilePostTest : public ::testing::Test {
protected:
    void SetUp() override {
        PublishProxySettings(L"", 0, L"", L"");
        server.Answer("/", LoopbackReply::Status(200));
    }
    LoopbackServer server;
    TempDir dir;
};

TEST_F(FilePostTest, ConnectProvesTheServerWithAHeadOfItsRoot) {
    struct Case {
        int status;
        bool connected;
    };
    for (const Case c : {Case{200, true}, Case{204, true}, Case{299, true}, Case{300, false},
                         Case{401, false}, Case{404, false}, Case{500, false}}) {
        SCOPED_TRACE(c.status);
        server.Answer("/", LoopbackReply::Status(c.status));
        CFilePostClient client(L"filepost_session");
        EXPECT_EQ(c.connected, client.Connect(L"127.0.0.1", server.port(), false));
        EXPECT_EQ(c.connected, client.Connected());
        EXPECT_EQ(0u, client.ErrorNumber());
    }
    const auto requests = server.Requests();
    ASSERT_EQ(7u, requests.size());
    const LoopbackRequest& head = requests[0];
    EXPECT_EQ("HEAD", head.method);
    EXPECT_EQ("/", head.target);
    EXPECT_EQ("HTTP/1.1", head.version);
    EXPECT_EQ("filepost_session", head.Header("User-Agent"));
    EXPECT_FALSE(head.HasHeader("Pragma"));
    EXPECT_FALSE(head.HasHeader("Proxy-Authorization"));
}

TEST_F(FilePostTest, ConnectFailsWithoutServerOrWhenUnreachable) {
    CFilePostClient client(L"filepost_session");
    EXPECT_FALSE(client.Connect(L"", server.port(), false));
    EXPECT_EQ(0u, server.RequestCount());

    CFilePostClient unreachable(L"filepost_session");
    EXPECT_FALSE(unreachable.Connect(L"127.0.0.1", ClosedPort(), false));
    EXPECT_NE(0u, unreachable.ErrorNumber());
    EXPECT_FALSE(unreachable.Connected());
}

// Empty, one short block, exactly two blocks, and blocks plus a remainder.
TEST_F(FilePostTest, PostsTheFileAsAByteExactMultipartBody) {
    server.Answer("/wz/log/80", LoopbackReply::Ok("saved"));
    for (const size_t size : {size_t{0}, size_t{5}, size_t{2048}, size_t{1024 * 5 + 333}}) {
        SCOPED_TRACE(size);
        const std::wstring file = dir / Format(L"run log %u.txt", static_cast<unsigned>(size));
        const std::string content = Pattern(size);
        ASSERT_TRUE(WriteBytes(file, content));

        CFilePostClient client(L"filepost_session");
        ASSERT_TRUE(client.Connect(L"127.0.0.1", server.port(), false));
        std::wstring response = L"before";
        EXPECT_TRUE(client.PostFile(file, L"/wz/log/80", response));
        EXPECT_EQ(L"saved", response);

        const LoopbackRequest post = server.Requests().back();
        EXPECT_EQ("POST", post.method);
        EXPECT_EQ("/wz/log/80", post.target);
        EXPECT_EQ("HTTP/1.1", post.version);
        EXPECT_EQ("multipart/form-data; boundary=-----AJHFOUEIHDJISO", post.Header("Content-Type"));
        EXPECT_EQ("filepost_session", post.Header("User-Agent"));
        const std::string expected = ExpectedUpload(Narrow(file), content);
        EXPECT_EQ(std::to_string(expected.size()), post.Header("Content-Length"));
        EXPECT_TRUE(post.body == expected) << post.body.size() << " bytes received";
    }
}

// A server that asks for credentials, then accepts. Where WinINet can answer the challenge
// (NTLM or Negotiate with the user's logon) it asks for the request again and the body is
// sent again, a bounded number of times; where it has nothing to offer (here) the 401 comes
// back. Either way every round carries the whole body, and only a 200 is success.
TEST_F(FilePostTest, ServerAskingForCredentialsGetsWholeBodiesAndNoFalseSuccess) {
    server.Answer("/log", {LoopbackReply::Status(401, "", {"WWW-Authenticate: Basic realm=\"pw\""}),
                           LoopbackReply::Ok("1")});
    const std::wstring file = dir / L"log.txt";
    const std::string content = Pattern(3000);
    ASSERT_TRUE(WriteBytes(file, content));
    CFilePostClient client(L"filepost_session");
    ASSERT_TRUE(client.Connect(L"127.0.0.1", server.port(), false));
    std::wstring response;
    const bool posted = client.PostFile(file, L"/log", response);
    std::vector<LoopbackRequest> posts;
    for (const LoopbackRequest& r : server.Requests())
        if (r.method == "POST") posts.push_back(r);
    ASSERT_GE(posts.size(), 1u);
    EXPECT_LE(posts.size(), 1u + CFilePostClient::kMaxResends);
    for (const LoopbackRequest& post : posts)
        EXPECT_TRUE(post.body == ExpectedUpload(Narrow(file), content));
    EXPECT_EQ(posted, posts.size() > 1);
}

TEST_F(FilePostTest, HeadAndPostShareOneKeptAliveConnection) {
    server.Answer("/log", LoopbackReply::Ok("1"));
    const std::wstring file = dir / L"log.txt";
    ASSERT_TRUE(WriteBytes(file, "line\r\n"));
    CFilePostClient client(L"filepost_session");
    ASSERT_TRUE(client.Connect(L"127.0.0.1", server.port(), false));
    std::wstring response;
    ASSERT_TRUE(client.PostFile(file, L"/log", response));
    EXPECT_EQ(2u, server.RequestCount());
    EXPECT_EQ(1, server.Connections());
}

TEST_F(FilePostTest, OnlyA200AnswerIsSuccessAndAnEmptyOneKeepsTheResponseText) {
    const std::wstring file = dir / L"log.txt";
    ASSERT_TRUE(WriteBytes(file, "x"));
    struct Case {
        const char* name;
        LoopbackReply reply;
        bool result;
        std::wstring response;
    };
    const std::vector<Case> cases = {
        {"200 with text", LoopbackReply::Ok("received"), true, L"received"},
        {"200 without body", LoopbackReply::Status(200), true, L"unchanged"},
        {"201", LoopbackReply::Status(201, "made"), false, L"unchanged"},
        {"404", LoopbackReply::Status(404, "no"), false, L"unchanged"},
        {"500", LoopbackReply::Status(500, "boom"), false, L"unchanged"},
        {"dropped", LoopbackReply::Drop(), false, L"unchanged"},
        {"short answer", LoopbackReply::Short(10, "recei"), true, L"unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Answer("/log", c.reply);
        CFilePostClient client(L"filepost_session");
        ASSERT_TRUE(client.Connect(L"127.0.0.1", server.port(), false));
        std::wstring response = L"unchanged";
        EXPECT_EQ(c.result, client.PostFile(file, L"/log", response));
        EXPECT_EQ(c.response, response);
        // Only a transport failure sets the error number; a refusal is told by the status.
        EXPECT_EQ(std::string(c.name) == "dropped", client.ErrorNumber() != 0);
    }
}

TEST_F(FilePostTest, PostFileNeedsAConnectionAFileAndAPath) {
    const std::wstring file = dir / L"log.txt";
    ASSERT_TRUE(WriteBytes(file, "x"));
    std::wstring response;

    CFilePostClient unconnected(L"filepost_session");
    EXPECT_FALSE(unconnected.PostFile(file, L"/log", response));

    CFilePostClient client(L"filepost_session");
    ASSERT_TRUE(client.Connect(L"127.0.0.1", server.port(), false));
    EXPECT_FALSE(client.PostFile(dir / L"missing.txt", L"/log", response));
    EXPECT_FALSE(client.PostFile(L"", L"/log", response));
    EXPECT_FALSE(client.PostFile(file, L"", response));
    EXPECT_EQ(1u, server.RequestCount());  // the HEAD only

    client.Close();
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.PostFile(file, L"/log", response));
}

// The loopback server plays the proxy: it sees the absolute request targets and answers
// for the origin, demanding Basic credentials when asked to.
class ProxyTest : public ::testing::Test {
protected:
    void TearDown() override { PublishProxySettings(L"", 0, L"", L""); }
    void DemandCredentials() {
        proxy.SetHandler([](const LoopbackRequest& r) {
            if (r.Header("Proxy-Authorization") != "Basic cHd1c2VyOnMzY3JldA==")
                return LoopbackReply::Status(407, "", {"Proxy-Authenticate: Basic realm=\"pw\""});
            return LoopbackReply::Ok(r.method == "POST" ? "stored" : "via proxy");
        });
    }
    LoopbackServer proxy;
    TempDir dir;
};

TEST_F(ProxyTest, PlainRequestsUseTheProxyOnlyWhenAServerIsNamed) {
    proxy.SetHandler([](const LoopbackRequest&) { return LoopbackReply::Ok("via proxy"); });
    CHttpClient client(L"origin.invalid", 8080, false);
    std::vector<char> body;

    PublishProxySettings(L"127.0.0.1", proxy.port(), L"", L"");
    EXPECT_TRUE(client.Answered(client.Get(L"/wz/list", body)));
    ASSERT_EQ(1u, proxy.RequestCount());
    EXPECT_EQ("http://origin.invalid:8080/wz/list", proxy.Requests()[0].target);
    EXPECT_FALSE(proxy.Requests()[0].HasHeader("Proxy-Authorization"));

    // A user name without a proxy server means no proxy at all.
    PublishProxySettings(L"", proxy.port(), L"pwuser", L"s3cret");
    CHttpClient direct(L"127.0.0.1", proxy.port(), false);
    EXPECT_TRUE(direct.Answered(direct.Get(L"/wz/list", body)));
    ASSERT_EQ(2u, proxy.RequestCount());
    EXPECT_EQ("/wz/list", proxy.Requests()[1].target);
    EXPECT_FALSE(proxy.Requests()[1].HasHeader("Proxy-Authorization"));
}

TEST_F(ProxyTest, PlainRequestsAnswerAChallengeWithTheConfiguredCredentials) {
    DemandCredentials();
    CHttpClient client(L"origin.invalid", 80, false);
    std::vector<char> body;
    PublishProxySettings(L"127.0.0.1", proxy.port(), L"pwuser", L"s3cret");
    const int result = client.Get(L"/wz/list", body);
    EXPECT_TRUE(client.Answered(result));
    EXPECT_EQ("via proxy", std::string(body.data(), 9));

    PublishProxySettings(L"127.0.0.1", proxy.port(), L"", L"");
    EXPECT_EQ(0, client.Get(L"/wz/list", body));
    EXPECT_EQ(407u, client.StatusCode());
}

TEST_F(ProxyTest, UploadSendsTheWholeBodyAgainWithCredentialsWhenTheProxyDemandsThem) {
    DemandCredentials();
    PublishProxySettings(L"127.0.0.1", proxy.port(), L"pwuser", L"s3cret");
    const std::wstring file = dir / L"log.txt";
    const std::string content = Pattern(3000);
    ASSERT_TRUE(WriteBytes(file, content));

    CFilePostClient client(L"filepost_session");
    ASSERT_TRUE(client.Connect(L"origin.invalid", 8080, false));
    std::wstring response;
    ASSERT_TRUE(client.PostFile(file, L"/wz/log/80", response));
    EXPECT_EQ(L"stored", response);

    const auto requests = proxy.Requests();
    ASSERT_FALSE(requests.empty());
    const LoopbackRequest& post = requests.back();
    EXPECT_EQ("POST", post.method);
    EXPECT_EQ("http://origin.invalid:8080/wz/log/80", post.target);
    EXPECT_TRUE(post.body == ExpectedUpload(Narrow(file), content));
    int posts = 0;
    for (const LoopbackRequest& r : requests) posts += r.method == "POST";
    EXPECT_EQ(2, posts);
}

TEST_F(ProxyTest, UploadWithoutUserNameSendsNoCredentials) {
    DemandCredentials();
    PublishProxySettings(L"127.0.0.1", proxy.port(), L"", L"s3cret");
    CFilePostClient client(L"filepost_session");
    EXPECT_FALSE(client.Connect(L"origin.invalid", 80, false));
    EXPECT_EQ(1u, proxy.RequestCount());
    EXPECT_FALSE(proxy.Requests()[0].HasHeader("Proxy-Authorization"));
}

// The run object hands proxy.ini to both proxy sets as soon as it has read its settings.
TEST(ProxyPublication, TheRunObjectFillsBothSetsFromProxyIni) {
    struct Case {
        const char* ini;
        const wchar_t* address;
        bool useProxy;
        bool authentication;
    };
    const Case cases[] = {
        {"", L":0", false, false},
        {"[Proxy]\r\nServer=proxy.corp\r\nPort=8080\r\n", L"proxy.corp:8080", true, false},
        {"[Proxy]\r\nServer=proxy.corp\r\nUserName=pw user\r\nPassword=p:w\r\n", L"proxy.corp:0",
         true, true},
        {"[Proxy]\r\nUserName=pw user\r\nPassword=p:w\r\nPort=3128\r\n", L":3128", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        TempDir dir;
        if (*c.ini) {
            ASSERT_TRUE(WriteBytes(dir / L"proxy.ini", c.ini));
        }
        CUpdater updater(dir.path());
        EXPECT_EQ(c.address, g_httpProxySettings.address);
        EXPECT_EQ(c.useProxy, g_httpProxySettings.useProxy);
        EXPECT_EQ(c.authentication, g_httpProxySettings.proxyAuthentication);
        EXPECT_EQ(updater.m_proxyUserName, g_httpProxySettings.userName);
        EXPECT_EQ(updater.m_proxyPassword, g_httpProxySettings.password);
        EXPECT_EQ(updater.m_proxyServer, g_uploadProxySettings.server);
        EXPECT_EQ(c.address, g_uploadProxySettings.address);
        EXPECT_EQ(updater.m_proxyUserName, g_uploadProxySettings.userName);
        EXPECT_EQ(updater.m_proxyPassword, g_uploadProxySettings.password);
    }
    PublishProxySettings(L"", 0, L"", L"");
}

}  // namespace
