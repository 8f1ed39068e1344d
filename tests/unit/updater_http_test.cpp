// The steps that talk to the server, against the in-process loopback server, with the
// fake clock counting the waits.
#include <gtest/gtest.h>

#include "common/http_client.h"
#include "common/text.h"
#include "loopback_server.h"
#include "updater_test_support.h"

namespace {

struct ServerFixture : ::testing::Test {
    LoopbackServer server;
    TempDir dir;
    LogCapture log;
    FakeClock clock;
    CUpdater updater{dir.path()};

    void SetUp() override {
        PublishProxySettings(L"", 0, L"", L"");
        updater.m_server = L"127.0.0.1";
        updater.m_port = server.port();
        updater.m_hostId = 7;
        updater.m_listPath = L"/pw/list.txt";
        updater.m_listHashPath = L"/pw/list.md5";
        updater.m_modulesPath = L"/pw/modules";
        updater.m_completePath = L"/pw/complete";
        updater.m_logPath = L"/pw/log";
        ::CreateDirectoryW((dir / L"updatetmp").c_str(), nullptr);
    }
    size_t RequestsFor(const std::string& target) const {
        size_t n = 0;
        for (const auto& r : server.Requests())
            if (r.target == target) ++n;
        return n;
    }
};

// ---- DownloadList

const std::string kList = "a.txt|0|00112233445566778899aabbccddeeff\r\nb.dll|1.0.0.1|x|ff\r\n";

TEST_F(ServerFixture, ListAndDigestAccepted) {
    const std::string upper = Narrow(Upper(Md5(kList)));
    server.Answer("/pw/list.txt", LoopbackReply::Ok(kList));
    server.Answer("/pw/list.md5", LoopbackReply::Ok(upper));

    EXPECT_TRUE(updater.DownloadList());
    EXPECT_EQ(ReadBytes(dir / L"updatetmp\\list.txt"), kList);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               Format(L"DownloadList: from:127.0.0.1 port:%d ssl:0", server.port()),
                               L"DownloadList: hash:" + Md5(kList),
                               L"DownloadList Hash: " + std::wstring(upper.begin(), upper.end())}));
    EXPECT_EQ(clock.sleeps.load(), 0);
    EXPECT_TRUE(updater.ReadList());
    EXPECT_EQ(updater.m_listRows.size(), 2u);
}

TEST_F(ServerFixture, ListNotFoundEndsAtOnce) {
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(clock.sleeps.load(), 0);
    EXPECT_EQ(log.Lines().back(), L"DownloadList: not found: /pw/list.txt");
}

TEST_F(ServerFixture, ListFailuresAreTriedFiveTimesTenSecondsApart) {
    struct Case {
        LoopbackReply reply;
        const wchar_t* last;
    } cases[] = {
        {LoopbackReply::Status(500, "busy"), L"DownloadList: connect err:0 httpstatus:500"},
        {LoopbackReply::Ok(""), L"DownloadList: connect err:0 httpstatus:200"},
    };
    for (const Case& c : cases) {
        LoopbackServer local;
        local.Answer("/pw/list.txt", c.reply);
        updater.m_port = local.port();
        clock.sleeps = 0;
        clock.sleptMilliseconds = 0;
        EXPECT_FALSE(updater.DownloadList());
        EXPECT_EQ(local.RequestCount(), 5u);
        EXPECT_EQ(clock.sleeps.load(), 4);
        EXPECT_EQ(clock.sleptMilliseconds.load(), 40000u);
        EXPECT_EQ(log.Lines().back(), c.last);
    }
}

// A server that takes the request and never answers: each attempt ends at its receive
// time-out (shortened here) as a transport failure, and the list arrives once it answers.
TEST_F(ServerFixture, SilentServerTimesOutAndTheListArrivesOnceItAnswers) {
    clock.requestTimeoutCap = 1500;
    server.Answer("/pw/list.txt",
                  {LoopbackReply::Silent(), LoopbackReply::Silent(), LoopbackReply::Ok(kList)});
    server.Answer("/pw/list.md5", LoopbackReply::Ok(Narrow(Md5(kList))));
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(updater.DownloadList());
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_EQ(RequestsFor("/pw/list.txt"), 3u);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 20000u);
    // Two time-outs of 1.5 s and the rest; far below WinINet's own wait.
    EXPECT_GE(elapsed, 2 * 1500u - 200);
    EXPECT_LT(elapsed, 2 * 1500u + 8000);
    // Attempts that fail before the last are not logged: only the run's usual lines.
    EXPECT_EQ(log.Lines().size(), 3u) << Dump(log.Lines());
}

TEST_F(ServerFixture, UnreachableServerGivesTheTransportError) {
    int closed;
    {
        LoopbackServer gone;
        closed = gone.port();
    }
    updater.m_port = closed;
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(clock.sleeps.load(), 4);
    const std::wstring last = log.Lines().back();
    EXPECT_EQ(last.rfind(L"DownloadList: connect err:", 0), 0u);
    EXPECT_NE(last, L"DownloadList: connect err:0 httpstatus:0");
    EXPECT_EQ(last.substr(last.size() - 13), L" httpstatus:0");
}

TEST_F(ServerFixture, DigestWithLineEndNeverMatches) {
    server.Answer("/pw/list.txt", LoopbackReply::Ok(kList));
    server.Answer("/pw/list.md5", LoopbackReply::Ok(Narrow(Md5(kList)) + "\r\n"));
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(RequestsFor("/pw/list.md5"), 5u);
    EXPECT_EQ(clock.sleeps.load(), 0);  // a mismatch is asked again at once
    EXPECT_EQ(log.Lines().back(), L"DownloadList Hash: unmatch");
    EXPECT_TRUE(FileExists(dir / L"updatetmp\\list.txt"));
}

TEST_F(ServerFixture, DigestNotFoundOrFailing) {
    server.Answer("/pw/list.txt", LoopbackReply::Ok(kList));
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(log.Lines().back(), L"DownloadList Hash: not found");
    EXPECT_EQ(clock.sleeps.load(), 0);

    server.Answer("/pw/list.md5", LoopbackReply::Status(503));
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(log.Lines().back(), L"DownloadList Hash: connect err:0 httpstatus:503");
    EXPECT_EQ(clock.sleptMilliseconds.load(), 40000u);
}

// ---- DownloadFiles

// The same rules for rows of either digest kind.
struct DownloadByKind : ServerFixture, ::testing::WithParamInterface<DigestKind> {
    std::wstring D(const std::string& bytes) const { return DigestOf(GetParam(), bytes); }
};

TEST_P(DownloadByKind, DownloadsVerifyDigestAndVersion) {
    const std::string dll = ReadBytes(FixturePath(L"ver_two.dll"));  // 2.0.0.7
    server.Answer("/pw/modules/plain.txt", LoopbackReply::Ok("plain"));
    server.Answer("/pw/modules/good.dll", LoopbackReply::Ok(dll));
    server.Answer("/pw/modules/wrong.dll", LoopbackReply::Ok(dll));
    updater.m_updateSet = {
        Row(L"plain.txt", L"0", D("plain")),
        Row(L"missing.txt", L"0", D("x")),
        Row(L"good.dll", L"2,0,0,7", Upper(D(dll))),
        Row(L"wrong.dll", L"2.0.0.8", D(dll)),
    };
    EXPECT_TRUE(updater.DownloadFiles());

    std::vector<std::wstring> names;
    for (const auto& row : updater.m_downloadedSet) names.push_back(row.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"plain.txt", L"good.dll"}));
    EXPECT_EQ(ReadBytes(dir / L"updatetmp\\plain.txt"), "plain");
    EXPECT_TRUE(FileExists(dir / L"updatetmp\\wrong.dll"));  // kept, not retried
    EXPECT_EQ(RequestsFor("/pw/modules/wrong.dll"), 1u);
    EXPECT_EQ(RequestsFor("/pw/modules/missing.txt"), 1u);
    EXPECT_EQ(clock.sleeps.load(), 0);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{
                               L"DownloadFiles: 4 file(s)", L"DownloadFiles: [plain.txt]",
                               L"DownloadFiles: [missing.txt]", L"DownloadFiles: not found",
                               L"DownloadFiles: [good.dll]", L"DownloadFiles: [wrong.dll]",
                               L"DownloadFiles: ver unmatch:[2.0.0.7]"}));
}

TEST_P(DownloadByKind, DownloadThatNeverMatchesIsRemoved) {
    server.Answer("/pw/modules/bad.txt", LoopbackReply::Ok("corrupted"));
    server.Answer("/pw/modules/busy.txt", LoopbackReply::Status(500, "no"));
    updater.m_updateSet = {Row(L"bad.txt", L"0", D("expected")),
                           Row(L"busy.txt", L"0", D("expected"))};
    EXPECT_FALSE(updater.DownloadFiles());
    EXPECT_EQ(RequestsFor("/pw/modules/bad.txt"), 5u);
    EXPECT_EQ(RequestsFor("/pw/modules/busy.txt"), 5u);
    EXPECT_FALSE(FileExists(dir / L"updatetmp\\bad.txt"));
    EXPECT_EQ(clock.sleptMilliseconds.load(), 80000u);  // four 10 s waits per file
    EXPECT_TRUE(log.Has(L"DownloadFiles: hash unmatch"));
    EXPECT_EQ(log.Lines().back(), L"DownloadFiles: connect err:0 httpstatus:500");
}

INSTANTIATE_TEST_SUITE_P(Rows, DownloadByKind,
                         ::testing::Values(DigestKind::Md5, DigestKind::Sha256),
                         [](const auto& info) { return KindName(info.param); });

// ---- Complete

TEST_F(ServerFixture, CompleteReportsTheHighestVersion) {
    server.Answer("/pw/complete/7/1.0.0.10", LoopbackReply::Ok("done"));
    updater.m_downloadedSet = {Row(L"a", L"1.0.0.2", L""), Row(L"b", L"1.0.0.10", L""),
                               Row(L"c", L"0", L""), Row(L"d", L"1.0.0.9", L"")};
    EXPECT_TRUE(updater.Complete());
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"Complete: done"}));
}

TEST_F(ServerFixture, CompleteRetriesAndStops) {
    updater.m_downloadedSet = {Row(L"a", L"1.2.3.4", L"")};
    server.Answer("/pw/complete/7/1.2.3.4", LoopbackReply::Ok(""));
    EXPECT_FALSE(updater.Complete());
    EXPECT_EQ(server.RequestCount(), 5u);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 4000u);
    EXPECT_EQ(log.Lines().back(), L"Complete: connect err:0 httpstatus:200");

    LoopbackServer third;
    third.Answer("/pw/complete/7/1.2.3.4",
                 std::vector<LoopbackReply>{LoopbackReply::Status(500), LoopbackReply::Status(500),
                                            LoopbackReply::Status(404)});
    updater.m_port = third.port();
    clock.sleptMilliseconds = 0;
    EXPECT_FALSE(updater.Complete());
    EXPECT_EQ(third.RequestCount(), 3u);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 2000u);
    EXPECT_EQ(log.Lines().back(), L"Complete: not found");
}

// ---- UploadLog

TEST_F(ServerFixture, LogIsUploadedAsMultipartWithCrLf) {
    server.Answer("/", LoopbackReply::Status(200));
    server.Answer("/pw/log/7", LoopbackReply::Ok("thanks"));
    const std::wstring text =
        L"2026/12/10 04:00:00|-|updater: boot\n"
        L"2026/12/10 04:00:01|-|DownloadList: server empty\n";
    EXPECT_TRUE(updater.UploadLog(text));

    const std::string file =
        "2026/12/10 04:00:00|-|updater: boot\r\n"
        "2026/12/10 04:00:01|-|DownloadList: server empty\r\n";
    EXPECT_EQ(ReadBytes(dir / L"logtmp.txt"), file);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "HEAD");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].target, "/pw/log/7");
    const std::string& body = requests[1].body;
    const std::string expected = ExpectedUpload(Narrow(dir / L"logtmp.txt"), file);
    EXPECT_EQ(body, expected);
    EXPECT_EQ(requests[1].Header("Content-Length"), std::to_string(expected.size()));
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ServerFixture, NoLogPathOrRefusedUpload) {
    updater.m_logPath.clear();
    EXPECT_FALSE(updater.UploadLog(L"x\n"));
    EXPECT_FALSE(FileExists(dir / L"logtmp.txt"));
    EXPECT_EQ(server.RequestCount(), 0u);

    updater.m_logPath = L"/pw/log";
    updater.m_hostId = 0;
    server.Answer("/", LoopbackReply::Status(204));
    server.Answer("/pw/log/0", LoopbackReply::Status(500));
    EXPECT_FALSE(updater.UploadLog(L"x\n"));
    EXPECT_EQ(server.Requests().back().target, "/pw/log/0");
}

}  // namespace
