// The log writer on real files. The tests run with TZ=UTC (tools/winerun), so local
// time stamps are predictable.
#include "common/log_writer.h"
#include "common/handles.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/text.h"
#include "test_support.h"

namespace {

size_t CountLines(const std::string& bytes) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        if (bytes[i] == '\r' && bytes[i + 1] == '\n') ++n;
    return n;
}

class LogWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogStop();  // nothing of an earlier test may linger in the queue
        LogSetFolder(dir.path());
        LogSetMirror(false);
    }
    void TearDown() override {
        LogStop();
        clock.onSleep = nullptr;
    }
    std::wstring LogFile() const { return dir / L"log.txt"; }

    TempDir dir;
    FakeClock clock;
};

TEST_F(LogWriterTest, LineFormatHasTimeDashAndMessageWithCrLf) {
    EXPECT_EQ(logwriter::FormatLine(-1, Format(L"user %s id %d", L"yamada", 12), clock.now),
              L"2026/12/07 09:05:03|-|user yamada id 12\n");
    EXPECT_EQ(logwriter::FormatLine(7, L"x", clock.now), L"2026/12/07 09:05:03|7|x\n");

    Log(L"DownloadList: from:%s port:%d ssl:%d", L"srv.example", 8080, 1);
    LogStop();
    EXPECT_EQ(ReadBytes(LogFile()),
              "2026/12/07 09:05:03|-|DownloadList: from:srv.example port:8080 ssl:1\r\n");
}

TEST_F(LogWriterTest, EntryCarriesTheTimeOfTheCallNotOfTheWrite) {
    Log(L"early");
    clock.now += 3600;
    LogStart();
    LogStop();
    EXPECT_EQ(ReadBytes(LogFile()), "2026/12/07 09:05:03|-|early\r\n");
}

TEST_F(LogWriterTest, WritesAtMostOneHundredEntriesPerPass) {
    std::vector<size_t> linesAtSleep;
    std::atomic<bool> done{false};
    clock.onSleep = [&](DWORD ms) {
        EXPECT_EQ(ms, 500u);
        if (done) return;
        linesAtSleep.push_back(CountLines(ReadBytes(LogFile())));
        if (linesAtSleep.back() == 250) done = true;
    };
    for (int i = 0; i < 250; ++i) Log(L"entry %d", i);
    LogStart();
    for (int i = 0; i < 5000 && !done; ++i) ::Sleep(2);
    LogStop();
    ASSERT_TRUE(done);
    EXPECT_EQ(linesAtSleep, (std::vector<size_t>{100, 200, 250}));
}

TEST_F(LogWriterTest, StopWritesEverythingStillQueued) {
    LogStart();
    for (int i = 0; i < 1000; ++i) Log(L"line %d", i);
    LogStop();
    const std::string bytes = ReadBytes(LogFile());
    EXPECT_EQ(CountLines(bytes), 1000u);
    EXPECT_NE(bytes.find("|-|line 999\r\n"), std::string::npos);
    EXPECT_EQ(logwriter::QueuedCount(), 0u);
}

TEST_F(LogWriterTest, RotatesOnlyWhenLargerThanTheLimit) {
    const std::string line = "2026/12/07 09:05:03|-|x\r\n";
    ASSERT_TRUE(WriteBytes(LogFile(), std::string(153600 - line.size(), 'a')));
    Log(L"x");
    LogStop();
    EXPECT_EQ(ReadBytes(LogFile()).size(), 153600u);
    EXPECT_FALSE(FileExists(dir / L"20261207_090503_log.txt"));

    Log(L"x");
    LogStop();
    EXPECT_FALSE(FileExists(LogFile()));
    EXPECT_EQ(ReadBytes(dir / L"20261207_090503_log.txt").size(), 153600u + line.size());
}

TEST_F(LogWriterTest, SecondRotationInTheSameSecondLeavesTheFileInPlace) {
    ASSERT_TRUE(WriteBytes(LogFile(), std::string(153601, 'a')));
    Log(L"first");
    LogStop();
    const std::string rotated = ReadBytes(dir / L"20261207_090503_log.txt");
    ASSERT_FALSE(rotated.empty());

    ASSERT_TRUE(WriteBytes(LogFile(), std::string(153601, 'b')));
    Log(L"second");
    LogStop();
    EXPECT_EQ(ReadBytes(dir / L"20261207_090503_log.txt"), rotated);
    EXPECT_TRUE(FileExists(LogFile()));

    clock.now += 1;  // a later pass in another second succeeds
    Log(L"third");
    LogStop();
    EXPECT_FALSE(FileExists(LogFile()));
    EXPECT_TRUE(FileExists(dir / L"20261207_090504_log.txt"));
}

TEST_F(LogWriterTest, CleanUpKeepsTheThirtyNewestRotatedFiles) {
    for (int i = 0; i < 30; ++i)
        WriteBytes(dir / Format(L"202612%02d_000000_log.txt", i + 1), "r");
    ::CreateDirectoryW((dir / L"00000000_000000_log.txt").c_str(), nullptr);  // not a file
    WriteBytes(dir / L"other.txt", "o");
    logwriter::CleanUp(dir.path());
    EXPECT_TRUE(FileExists(dir / L"20261201_000000_log.txt"));

    // Upper-case names sort among the others: the comparison ignores case.
    WriteBytes(dir / L"20261101_000000_LOG.TXT", "r");
    logwriter::CleanUp(dir.path());
    EXPECT_FALSE(FileExists(dir / L"20261101_000000_LOG.TXT"));
    EXPECT_TRUE(FileExists(dir / L"20261201_000000_log.txt"));
    EXPECT_TRUE(FileExists(dir / L"20261230_000000_log.txt"));
    EXPECT_TRUE(FileExists(dir / L"00000000_000000_log.txt"));
    EXPECT_TRUE(FileExists(dir / L"other.txt"));
}

TEST_F(LogWriterTest, CharactersAboveLatin1BecomeQuestionMarksAndTheWriterGoesOn) {
    LogStart();
    Log(L"user %s caf\u00e9 \u00ff", L"\u5c71\u7530");
    Log(L"emoji \U0001F600 end");
    Log(L"after");
    LogStop();
    EXPECT_EQ(ReadBytes(LogFile()),
              "2026/12/07 09:05:03|-|user ?? caf\xe9 \xff\r\n"
              "2026/12/07 09:05:03|-|emoji ? end\r\n"
              "2026/12/07 09:05:03|-|after\r\n");
}

TEST_F(LogWriterTest, MirrorKeepsFormattedLinesFromEveryThreadUntilStop) {
    LogSetMirror(true);
    std::thread other([] {
        for (int i = 0; i < 100; ++i) Log(L"other %d", i);
    });
    for (int i = 0; i < 100; ++i) Log(L"main %d", i);
    other.join();
    const std::wstring text = LogMirrorText();
    EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 200);
    EXPECT_NE(text.find(L"2026/12/07 09:05:03|-|main 99\n"), std::wstring::npos);
    LogStop();
    EXPECT_EQ(LogMirrorText(), L"");
}

TEST_F(LogWriterTest, UnwritableFolderLosesThePassButNotTheWriter) {
    LogSetFolder(dir / L"missing\\deeper");
    Log(L"lost");
    LogStop();
    EXPECT_EQ(logwriter::QueuedCount(), 1u);  // the final flush could not open the file
    LogSetFolder(dir.path());
    Log(L"kept");
    LogStop();
    EXPECT_NE(ReadBytes(LogFile()).find("|-|kept\r\n"), std::string::npos);
}

TEST(LogWriterDefaults, UpdaterUsesItsFolderAndNoNamedMutex) {
    // Other tests changed the folder; the default is visible before any change only, so
    // check the lock instead: the updater keeps it inside the process.
    EXPECT_TRUE(LogReady());
    unique_handle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, L"pwlogger"));
    EXPECT_FALSE(mutex);
}

}  // namespace
