// Signed lists: the signature fetched after the list's digest, verified with the key from
// update.ini, and the list's expiry; against the loopback server with the fake clock and
// keys and signatures made by openssl (fixtures/signing).
#include <gtest/gtest.h>

#include "common/http_client.h"
#include "common/text.h"
#include "loopback_server.h"
#include "updater/list_signature.h"
#include "updater_test_support.h"

namespace {

std::string Signing(const std::wstring& name) {
    return ReadBytes(FixturePath(L"signing\\" + name));
}

std::wstring Key(const std::wstring& name) {
    const std::string text = Signing(name + L".b64");
    return std::wstring(text.begin(), text.end());
}

constexpr int64_t kExpiry = 1893456000;  // 2030-01-01T00:00:00Z, the fixture list's expiry

struct SignedListFixture : ::testing::Test {
    LoopbackServer server;
    TempDir dir;
    LogCapture log;
    FakeClock clock;
    CUpdater updater{dir.path()};
    std::string list = Signing(L"list.txt");

    void SetUp() override {
        PublishProxySettings(L"", 0, L"", L"");
        updater.m_server = L"127.0.0.1";
        updater.m_port = server.port();
        updater.m_listPath = L"/pw/list.txt";
        updater.m_listHashPath = L"/pw/list.md5";
        updater.m_listSignaturePath = L"/pw/list.sig";
        updater.m_publicKey = Key(L"key");
        ServeList(list);
        server.Answer("/pw/list.sig", LoopbackReply::Ok(Signing(L"list.key.sig")));
    }
    void ServeList(const std::string& bytes) {
        server.Answer("/pw/list.txt", LoopbackReply::Ok(bytes));
        server.Answer("/pw/list.md5", LoopbackReply::Ok(Narrow(Md5(bytes))));
    }
    size_t SignatureRequests() const {
        size_t n = 0;
        for (const auto& r : server.Requests()) n += r.target == "/pw/list.sig";
        return n;
    }
    // The log lines after the last "DownloadList Hash: ...".
    std::vector<std::wstring> LinesAfterDigest() const {
        const std::vector<std::wstring> lines = log.Lines();
        for (size_t i = lines.size(); i-- > 0;)
            if (lines[i].rfind(L"DownloadList Hash: ", 0) == 0)
                return std::vector<std::wstring>(lines.begin() + i + 1, lines.end());
        return {L"no digest line"};
    }
};

TEST_F(SignedListFixture, ValidSignatureLetsTheRunGoOn) {
    EXPECT_TRUE(updater.DownloadList());
    EXPECT_EQ(LinesAfterDigest(), std::vector<std::wstring>{L"DownloadList: signature ok"});
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].target, "/pw/list.sig");  // after the list and its digest
    EXPECT_EQ(clock.sleeps.load(), 0);
    ASSERT_TRUE(updater.ReadList());
    EXPECT_EQ(updater.m_listRows.size(), 2u);  // the expires line is no row
}

TEST_F(SignedListFixture, EveryFailureStopsWithItsOwnLine) {
    std::string changed = list;
    changed[changed.size() - 5] ^= 0x01;
    struct Case {
        const char* what;
        std::wstring key;
        std::wstring signaturePath;
        std::string served;  // list bytes, digest matching
        LoopbackReply signature;
        const wchar_t* line;
        size_t signatureRequests;
    } cases[] = {
        {"one changed byte", Key(L"key"), L"/pw/list.sig", changed,
         LoopbackReply::Ok(Signing(L"list.key.sig")), L"DownloadList: signature unmatch", 1},
        {"another key's signature", Key(L"key"), L"/pw/list.sig", list,
         LoopbackReply::Ok(Signing(L"list.other.sig")), L"DownloadList: signature unmatch", 1},
        {"a truncated signature", Key(L"key"), L"/pw/list.sig", list,
         LoopbackReply::Ok(Signing(L"list.key.sig").substr(1)), L"DownloadList: signature unmatch",
         1},
        {"signature not found", Key(L"key"), L"/pw/list.sig", list, LoopbackReply::Status(404),
         L"DownloadList Signature: not found", 1},
        {"no signature path", Key(L"key"), L"", list, LoopbackReply::Ok("x"),
         L"DownloadList: signature path empty", 0},
        {"a key that does not parse", L"MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA",
         L"/pw/list.sig", list, LoopbackReply::Ok(Signing(L"list.key.sig")),
         L"DownloadList: public key error", 0},
        {"a 1024-bit key with its own signature", Key(L"small"), L"/pw/list.sig", list,
         LoopbackReply::Ok(Signing(L"list.small.sig")), L"DownloadList: public key error", 0},
        {"an EC key", Key(L"ec"), L"/pw/list.sig", list, LoopbackReply::Ok("x"),
         L"DownloadList: public key error", 0},
    };
    for (const Case& c : cases) {
        LoopbackServer local;
        local.Answer("/pw/list.txt", LoopbackReply::Ok(c.served));
        local.Answer("/pw/list.md5", LoopbackReply::Ok(Narrow(Md5(c.served))));
        local.Answer("/pw/list.sig", c.signature);
        updater.m_port = local.port();
        updater.m_publicKey = c.key;
        updater.m_listSignaturePath = c.signaturePath;
        const size_t before = log.Lines().size();
        EXPECT_FALSE(updater.DownloadList()) << c.what;
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), before + 4) << c.what << Dump(lines);
        EXPECT_EQ(lines.back(), c.line) << c.what;
        size_t signatureRequests = 0;
        for (const auto& r : local.Requests()) signatureRequests += r.target == "/pw/list.sig";
        EXPECT_EQ(signatureRequests, c.signatureRequests) << c.what;
        EXPECT_EQ(clock.sleeps.load(), 0) << c.what;
    }
}

TEST_F(SignedListFixture, SignatureFailuresAreTriedFiveTimesTenSecondsApart) {
    server.Answer("/pw/list.sig", {LoopbackReply::Status(503), LoopbackReply::Ok("")});
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(SignatureRequests(), 5u);
    EXPECT_EQ(clock.sleeps.load(), 4);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 40000u);
    EXPECT_EQ(LinesAfterDigest(),
              std::vector<std::wstring>{L"DownloadList Signature: connect err:0 httpstatus:200"});

    // Answered at the third attempt: two waits, then verified.
    LoopbackServer later;
    later.Answer("/pw/list.txt", LoopbackReply::Ok(list));
    later.Answer("/pw/list.md5", LoopbackReply::Ok(Narrow(Md5(list))));
    later.Answer("/pw/list.sig", {LoopbackReply::Status(503), LoopbackReply::Status(500),
                                  LoopbackReply::Ok(Signing(L"list.key.sig"))});
    updater.m_port = later.port();
    clock.sleeps = 0;
    EXPECT_TRUE(updater.DownloadList());
    EXPECT_EQ(clock.sleeps.load(), 2);
    EXPECT_EQ(log.Lines().back(), L"DownloadList: signature ok");
}

TEST_F(SignedListFixture, ExpiredListStopsTheRunAfterItsSignatureWasChecked) {
    clock.now = kExpiry - 1;
    EXPECT_TRUE(updater.DownloadList());
    clock.now = kExpiry;
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(LinesAfterDigest(), (std::vector<std::wstring>{L"DownloadList: signature ok",
                                                             L"DownloadList: list expired"}));

    // A signed expiry that can't be read is not taken for none.
    ServeList(Signing(L"badexpiry.txt"));
    server.Answer("/pw/list.sig", LoopbackReply::Ok(Signing(L"badexpiry.sig")));
    EXPECT_FALSE(updater.DownloadList());
    EXPECT_EQ(LinesAfterDigest(),
              (std::vector<std::wstring>{L"DownloadList: signature ok",
                                         L"DownloadList: list expiry unreadable"}));
}

TEST_F(SignedListFixture, WithoutAKeyNothingChanges) {
    updater.m_publicKey.clear();
    server.Answer("/pw/list.sig", LoopbackReply::Status(404));
    clock.now = kExpiry + 86400;  // an expires line means nothing to an unsigned list
    EXPECT_TRUE(updater.DownloadList());
    EXPECT_EQ(SignatureRequests(), 0u);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::wstring>{
                  Format(L"DownloadList: from:127.0.0.1 port:%d ssl:0", server.port()),
                  L"DownloadList: hash:" + Md5(list), L"DownloadList Hash: " + Md5(list)}));
}

TEST(ListExpiry, LinesAndTimes) {
    struct Case {
        const char* list;
        ListExpiry expected;
        int64_t expires;
    } cases[] = {
        {"a|0|aa\r\n", ListExpiry::kNone, 0},
        {"expires=2030-01-01T00:00:00Z\r\na|0|aa\r\n", ListExpiry::kValid, kExpiry},
        {"a|0|aa\nexpires=2030-01-01T00:00:00Z", ListExpiry::kValid, kExpiry},
        // The earliest of two lines counts.
        {"expires=2031-01-01T00:00:00Z\r\nexpires=2030-01-01T00:00:00Z\r\n", ListExpiry::kValid,
         kExpiry},
        {"expires=2020-02-29T12:30:45Z\r\n", ListExpiry::kPassed, 1582979445},
        {"expires=2021-02-29T00:00:00Z\r\n", ListExpiry::kUnreadable, 0},  // no such day
        {"expires=2030-13-01T00:00:00Z\r\n", ListExpiry::kUnreadable, 0},
        {"expires=2030-01-01T24:00:00Z\r\n", ListExpiry::kUnreadable, 0},
        {"expires=2030-01-01 00:00:00Z\r\n", ListExpiry::kUnreadable, 0},
        {"expires=2030-01-01T00:00:00z\r\n", ListExpiry::kUnreadable, 0},
        {"expires=2030-01-01T00:00:00Z \r\n", ListExpiry::kUnreadable, 0},
        {"expires=\r\n", ListExpiry::kUnreadable, 0},
        // Only a line that begins with the key is one.
        {" expires=2020-01-01T00:00:00Z\r\nnoexpires=2020-01-01T00:00:00Z\r\n", ListExpiry::kNone,
         0},
    };
    const int64_t now = 1796634303;  // 2026-12-07
    for (const Case& c : cases) {
        int64_t expires = 0;
        EXPECT_EQ(CheckListExpiry(c.list, now, expires), c.expected) << c.list;
        if (c.expected == ListExpiry::kValid || c.expected == ListExpiry::kPassed) {
            EXPECT_EQ(expires, c.expires) << c.list;
        }
    }
}

TEST(SignedListSettings, KeysComeFromTheIniFiles) {
    TempDir dir;
    WriteBytes(dir / L"update.ini", "[Update]\r\nList=/l\r\nPublicKey=" + Narrow(Key(L"big")) +
                                        "\r\nListSignature=/pw/list.sig\r\n");
    WriteBytes(dir / L"config.ini", "[Config]\r\nServer=h\r\nVerifyCertificate=2\r\n");
    {
        CUpdater updater(dir.path());
        EXPECT_EQ(updater.m_publicKey, Key(L"big"));  // 4096 bits fit the INI buffer
        EXPECT_EQ(updater.m_listSignaturePath, L"/pw/list.sig");
        EXPECT_TRUE(updater.m_verifyCertificate);
        EXPECT_TRUE(VerifyCertificate());
    }
    WriteBytes(dir / L"config.ini", "[Config]\r\nServer=h\r\n");
    WriteBytes(dir / L"update.ini", "[Update]\r\nList=/l\r\n");
    CUpdater updater(dir.path());
    EXPECT_TRUE(updater.m_publicKey.empty());
    EXPECT_TRUE(updater.m_listSignaturePath.empty());
    EXPECT_FALSE(updater.m_verifyCertificate);
    EXPECT_FALSE(VerifyCertificate());
}

}  // namespace
