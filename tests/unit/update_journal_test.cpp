// Crash repair: the journal written by the replacement steps, and what the next run does
// with it at every point where a run can die.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "common/text.h"
#include "updater_test_support.h"

namespace {

std::string WideToUtf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

struct JournalFixture : ::testing::Test {
    TempDir dir;
    LogCapture log;
    FakeClock clock;

    void SetUp() override { ::CreateDirectoryW((dir / L"updatetmp").c_str(), nullptr); }

    std::string JournalBytes() { return ReadBytes(dir / L"updatetmp\\journal.txt"); }
};

// The run's plan, on disk before the first file moves: installed and backup paths and both
// digests of every planned row, in UTF-8, with the start list of the run.
TEST_F(JournalFixture, PlanIsOnDiskBeforeTheFirstMove) {
    CUpdater updater{dir.path()};
    updater.m_startList = {L"[EXEPATH]\\agent.exe", L"PwService"};
    const std::wstring name = L"\u30c7\u30fc\u30bf.txt";
    const auto row = Row(name, L"0", DigestOf(DigestKind::Sha256, "new"));
    WriteBytes(updater.InstalledPath(row), "old");
    WriteBytes(updater.StagingPath(row), "new");
    const auto fresh = Row(L"fresh.txt", L"0", Md5("fresh"));
    WriteBytes(updater.StagingPath(fresh), "fresh");
    updater.m_downloadedSet = {row, fresh};

    ASSERT_TRUE(updater.BackupFiles());
    const std::string journal = JournalBytes();
    const std::string installed = WideToUtf8(updater.InstalledPath(row));
    const std::string backup = WideToUtf8(dir / (L"backup\\_" + name));
    EXPECT_NE(journal.find(installed + "\t" + backup + "\t" +
                           Narrow(DigestOf(DigestKind::Sha256, "old")) + "\t" +
                           Narrow(DigestOf(DigestKind::Sha256, "new"))),
              std::string::npos)
        << journal;
    EXPECT_NE(
        journal.find(WideToUtf8(updater.InstalledPath(fresh)) + "\t\t\t" + Narrow(Md5("fresh"))),
        std::string::npos)
        << journal;
    EXPECT_NE(journal.find("start\t[EXEPATH]\\agent.exe\r\nstart\tPwService\r\n"),
              std::string::npos);
    EXPECT_EQ(journal.substr(journal.size() - 5), "end\r\n");

    ASSERT_TRUE(updater.UpdateFiles());
    EXPECT_NE(JournalBytes().find("committed\r\n"), std::string::npos);
    updater.m_journal.Close();
    EXPECT_FALSE(FileExists(dir / L"updatetmp\\journal.txt"));
}

// Replays a run of three files step by step, stops it after every step as a crash would,
// and lets the next run repair the folder: always the complete old set.
TEST_F(JournalFixture, EveryCrashPointEndsWithTheOldSet) {
    const std::vector<std::pair<std::wstring, std::string>> old = {{L"a.txt", "old a"},
                                                                   {L"c.txt", "old c"}};
    for (size_t crashAfter = 0;; ++crashAfter) {
        TempDir run;
        ::CreateDirectoryW((run / L"updatetmp").c_str(), nullptr);
        ::CreateDirectoryW((run / L"backup").c_str(), nullptr);
        for (const auto& [name, bytes] : old) WriteBytes(run / name, bytes);
        CUpdater dead{run.path()};
        dead.m_journal.SetPath(dead.JournalPath());
        std::vector<_journalEntry> plan;
        const std::vector<std::tuple<std::wstring, std::string, bool>> rows = {
            {L"a.txt", "new a", true}, {L"n.txt", "new n", false}, {L"c.txt", "new c", true}};
        for (const auto& [name, newBytes, existed] : rows) {
            _journalEntry e;
            e.name = name;
            e.installedPath = run / name;
            e.existed = existed;
            e.newDigest = Md5(newBytes);
            if (existed) {
                e.backupPath = run / (L"backup\\_" + name);
                e.oldDigest = Md5OfFile(e.installedPath);
            }
            WriteBytes(run / (L"updatetmp\\" + name), newBytes);
            plan.push_back(e);
        }
        ASSERT_TRUE(dead.m_journal.Begin(plan, {}));

        // The steps' own order of moves, copies and records.
        using Progress = CUpdateJournal::Progress;
        std::vector<std::function<void()>> steps;
        for (size_t i : {size_t{0}, size_t{2}}) {
            const _journalEntry e = plan[i];
            steps.push_back([e] { ::CopyFileW(e.installedPath.c_str(), e.backupPath.c_str(), 0); });
            steps.push_back([&dead, i] { dead.m_journal.Record(i, Progress::BackedUp); });
            steps.push_back([e] { ::DeleteFileW(e.installedPath.c_str()); });
            steps.push_back([&dead, i] { dead.m_journal.Record(i, Progress::Removed); });
        }
        for (size_t i : {size_t{0}, size_t{1}, size_t{2}}) {
            const _journalEntry e = plan[i];
            const std::wstring staging = run / (L"updatetmp\\" + e.name);
            steps.push_back([&dead, i] { dead.m_journal.Record(i, Progress::Copying); });
            steps.push_back([e] { WriteBytes(e.installedPath, "ne"); });  // a torn copy
            steps.push_back(
                [e, staging] { ::CopyFileW(staging.c_str(), e.installedPath.c_str(), FALSE); });
            steps.push_back([&dead, i] { dead.m_journal.Record(i, Progress::Replaced); });
            steps.push_back([staging] { ::DeleteFileW(staging.c_str()); });
        }
        if (crashAfter > steps.size()) break;
        for (size_t s = 0; s < crashAfter; ++s) steps[s]();

        CUpdater next{run.path()};
        EXPECT_TRUE(RecoverInterruptedRun(next)) << "crash after step " << crashAfter;
        for (const auto& [name, bytes] : old)
            EXPECT_EQ(ReadBytes(run / name), bytes) << "crash after step " << crashAfter;
        EXPECT_FALSE(FileExists(run / L"n.txt")) << "crash after step " << crashAfter;
        EXPECT_FALSE(FileExists(next.JournalPath())) << "crash after step " << crashAfter;
    }
    EXPECT_TRUE(log.LinesStartingWith(L"Recover: rollback error").empty());
    EXPECT_FALSE(log.LinesStartingWith(L"Recover: rollback [n.txt]").empty());
}

TEST_F(JournalFixture, CommittedRunIsLeftInPlaceAndItsProgramsStarted) {
    CUpdater dead{dir.path()};
    dead.m_startList = {L"\"" + FixturePath(L"fixture_proc.exe") + L"\" exit 3"};
    const auto row = Row(L"a.txt", L"0", Md5("new a"));
    WriteBytes(dead.InstalledPath(row), "old a");
    WriteBytes(dead.StagingPath(row), "new a");
    dead.m_downloadedSet = {row};
    ASSERT_TRUE(dead.BackupFiles());
    ASSERT_TRUE(dead.UpdateFiles());  // and then the run dies before its end

    CUpdater next{dir.path()};  // its own start list is empty
    EXPECT_TRUE(RecoverInterruptedRun(next));
    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "new a");
    EXPECT_FALSE(FileExists(next.JournalPath()));
    EXPECT_TRUE(next.m_startList.empty());
    EXPECT_EQ(log.LinesStartingWith(L"Recover:"),
              (std::vector<std::wstring>{L"Recover: start 1 file(s)", L"Recover: committed",
                                         L"Recover: done"}));
    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], L"Launcher: ");
    EXPECT_EQ(lines.back(), L"fail:[" + dead.m_startList[0] + L"](3)");
}

TEST_F(JournalFixture, UnreadableJournalIsKeptAndNothingIsTouched) {
    const std::string header = "pwjournal 1\r\n";
    const std::string file = "file\t1\ta.txt\t" + WideToUtf8(dir / L"a.txt") + "\t" +
                             WideToUtf8(dir / L"backup\\_a.txt") + "\t" + Narrow(Md5("old a")) +
                             "\t" + Narrow(Md5("new a")) + "\r\n";
    const std::string cases[] = {
        "",                                                     // empty
        "garbage\r\n",                                          // not a journal
        header + file,                                          // torn: no end line
        header + file + "done\t1\tremoved\r\nend\r\n",          // progress of an unknown row
        header + file + "done\t0\tmoved\r\nend\r\n",            // unknown progress
        header + "file\t1\ta.txt\t\t\t\t\r\nend\r\n",           // no paths
        header + file + "end\r\nmore\r\n",                      // something after the end
        "pwjournal 2\r\n" + file + "end\r\n",                   // a later format
        header + "file\t1\t\xff" + file.substr(8) + "end\r\n",  // not UTF-8
    };
    WriteBytes(dir / L"a.txt", "half new");  // what the dead run may have left
    WriteBytes(dir / L"backup\\_a.txt", "old a");
    for (const std::string& journal : cases) {
        CUpdater next{dir.path()};
        WriteBytes(next.JournalPath(), journal);
        const size_t before = log.Lines().size();
        EXPECT_FALSE(RecoverInterruptedRun(next)) << journal;
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), before + 1);
        EXPECT_EQ(lines.back(), L"Recover: journal unreadable");
        EXPECT_EQ(ReadBytes(next.JournalPath()), journal);
        EXPECT_EQ(ReadBytes(dir / L"a.txt"), "half new");
    }
}

TEST_F(JournalFixture, NoJournalNoRecovery) {
    CUpdater updater{dir.path()};
    EXPECT_TRUE(RecoverInterruptedRun(updater));
    EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
