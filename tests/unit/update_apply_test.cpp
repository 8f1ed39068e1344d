#include <gtest/gtest.h>

#include "common/handles.h"
#include "updater_test_support.h"

namespace {

// Holds a file open with share mode 0: copies, digests and deletes of it fail.
unique_hfile LockFile(const std::wstring& path) {
    return unique_hfile(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, 0, nullptr));
}

struct ApplyFixture : ::testing::Test {
    TempDir dir;
    LogCapture log;
    FakeClock clock;
    CUpdater updater{dir.path()};
    // Rows carry digests of this kind (MD5 unless a parameterised case says otherwise).
    DigestKind kind = DigestKind::Md5;

    void SetUp() override { ::CreateDirectoryW((dir / L"updatetmp").c_str(), nullptr); }
    // Installed file and its downloaded replacement; returns the row.
    _updateListData Prepare(const std::wstring& name, const std::string& installed,
                            const std::string& staged, const std::wstring& folder = L"",
                            bool downloadOnly = false) {
        _updateListData row = Row(name, L"0", DigestOf(kind, staged), folder, downloadOnly);
        if (!folder.empty()) ::CreateDirectoryW((dir / folder).c_str(), nullptr);
        if (!installed.empty()) WriteBytes(updater.InstalledPath(row), installed);
        WriteBytes(updater.StagingPath(row), staged);
        return row;
    }
};

TEST_F(ApplyFixture, BackupMovesExactlyTheFilesThatWillBeReplaced) {
    const auto versioned = Row(L"v.dll", L"0", L"");
    ::CopyFileW(FixturePath(L"ver_two.dll").c_str(), updater.InstalledPath(versioned).c_str(),
                FALSE);
    WriteBytes(updater.StagingPath(versioned), "new dll");
    const std::wstring dllDigest = Md5OfFile(updater.InstalledPath(versioned));
    const auto plain = Prepare(L"p.txt", "old p", "new p");
    const auto keep = Prepare(L"keep.txt", "installed keep", "new keep", L"", true);
    const auto fresh = Prepare(L"fresh.txt", "", "brand new");
    // Left in the working folder by an earlier run, not part of this run's downloads.
    const auto stale = Prepare(L"stale.txt", "installed stale", "old download");
    updater.m_listRows = {versioned, plain, keep, fresh, stale};
    updater.m_downloadedSet = {versioned, plain, keep, fresh};

    EXPECT_TRUE(updater.BackupFiles());

    EXPECT_EQ(ReadBytes(dir / L"backup\\2.0.0.7_v.dll"), ReadBytes(FixturePath(L"ver_two.dll")));
    EXPECT_EQ(ReadBytes(dir / L"backup\\_p.txt"), "old p");
    EXPECT_FALSE(FileExists(dir / L"v.dll"));
    EXPECT_FALSE(FileExists(dir / L"p.txt"));
    EXPECT_EQ(ReadBytes(dir / L"keep.txt"), "installed keep");
    EXPECT_EQ(ReadBytes(dir / L"stale.txt"), "installed stale");
    EXPECT_FALSE(FileExists(dir / L"backup\\_keep.txt"));
    EXPECT_FALSE(FileExists(dir / L"backup\\_stale.txt"));

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 5u) << Dump(lines);
    EXPECT_EQ(lines[0], L"BackupFiles: org hash:" + dllDigest);
    EXPECT_EQ(lines[1], L"BackupFiles: dst hash:" + dllDigest);
    EXPECT_EQ(lines[2].rfind(L"BackupFiles: versionerror:GetFileVersionInfoSize failed: ", 0), 0u);
    EXPECT_EQ(lines[3], L"BackupFiles: org hash:" + Md5("old p"));
    EXPECT_EQ(lines[4], L"BackupFiles: dst hash:" + Md5("old p"));
    // One two-second pause after each copy.
    EXPECT_EQ(clock.sleeps.load(), 2);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 4000u);
}

TEST_F(ApplyFixture, ReplacesFilesAndCreatesOneFolderLevel) {
    const auto a = Prepare(L"a.txt", "old a", "new a");
    _updateListData sub = Row(L"s.txt", L"0", Md5("in sub"), L"sub");
    WriteBytes(updater.StagingPath(sub), "in sub");
    const auto keep = Prepare(L"keep.txt", "installed keep", "new keep", L"", true);
    auto gone = Row(L"gone.txt", L"0", Md5("x"));  // its staging file has disappeared
    updater.m_downloadedSet = {a, sub, keep, gone};

    EXPECT_TRUE(updater.BackupFiles());
    EXPECT_TRUE(updater.UpdateFiles());

    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "new a");
    EXPECT_EQ(ReadBytes(dir / L"sub\\s.txt"), "in sub");
    EXPECT_EQ(ReadBytes(dir / L"keep.txt"), "installed keep");
    EXPECT_FALSE(FileExists(dir / L"updatetmp\\a.txt"));
    EXPECT_FALSE(FileExists(dir / L"updatetmp\\s.txt"));
    EXPECT_TRUE(FileExists(dir / L"updatetmp\\keep.txt"));
    EXPECT_EQ(log.LinesStartingWith(L"UpdateFiles:"),
              (std::vector<std::wstring>{L"UpdateFiles: start 4 file(s)", L"UpdateFiles: [a.txt]",
                                         L"UpdateFiles: [s.txt]", L"UpdateFiles: [gone.txt]"}));
}

TEST_F(ApplyFixture, TwoLevelFolderFailsTheReplacement) {
    _updateListData deep = Row(L"d.txt", L"0", Md5("deep"), L"one\\two");
    WriteBytes(updater.StagingPath(deep), "deep");
    updater.m_downloadedSet = {deep};
    EXPECT_TRUE(updater.BackupFiles());
    EXPECT_FALSE(updater.UpdateFiles());
    EXPECT_TRUE(log.Has(L"UpdateFiles: error"));
    EXPECT_TRUE(FileExists(dir / L"updatetmp\\d.txt"));
    // Five copies, each followed by two seconds.
    EXPECT_EQ(clock.sleptMilliseconds.load(), 10000u);
}

struct ApplyByKind : ApplyFixture, ::testing::WithParamInterface<DigestKind> {
    ApplyByKind() { kind = GetParam(); }
};

// A staging file changed after its download was verified fails its copy check; every file
// the run had touched is then put back, and the one it created is removed.
TEST_P(ApplyByKind, FailedReplacementRollsBackEverything) {
    const auto a = Prepare(L"a.txt", "old a", "new a");
    const auto fresh = Prepare(L"fresh.txt", "", "brand new", L"newsub");
    const auto b = Prepare(L"b.txt", "old b", "new b", L"sub");
    const auto c = Prepare(L"c.txt", "old c", "new c");
    const auto keep = Prepare(L"keep.txt", "installed keep", "new keep", L"", true);
    updater.m_downloadedSet = {a, fresh, b, c, keep};

    EXPECT_TRUE(updater.BackupFiles());
    EXPECT_TRUE(FileExists(updater.JournalPath()));
    EXPECT_FALSE(FileExists(dir / L"c.txt"));
    WriteBytes(updater.StagingPath(b), "tampered");
    clock.sleptMilliseconds = 0;

    EXPECT_FALSE(updater.UpdateFiles());
    updater.m_journal.Close();

    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "old a");
    EXPECT_FALSE(FileExists(dir / L"newsub\\fresh.txt"));
    EXPECT_EQ(ReadBytes(dir / L"sub\\b.txt"), "old b");
    EXPECT_EQ(ReadBytes(dir / L"c.txt"), "old c");
    EXPECT_EQ(ReadBytes(dir / L"keep.txt"), "installed keep");
    EXPECT_EQ(ReadBytes(dir / L"updatetmp\\b.txt"), "tampered");
    EXPECT_EQ(ReadBytes(dir / L"updatetmp\\c.txt"), "new c");
    EXPECT_FALSE(FileExists(updater.JournalPath()));
    EXPECT_EQ(log.LinesStartingWith(L"UpdateFiles:"),
              (std::vector<std::wstring>{
                  L"UpdateFiles: start 5 file(s)", L"UpdateFiles: [a.txt]",
                  L"UpdateFiles: [fresh.txt]", L"UpdateFiles: [b.txt]", L"UpdateFiles: error",
                  L"UpdateFiles: rollback [a.txt]", L"UpdateFiles: rollback [fresh.txt]",
                  L"UpdateFiles: rollback [b.txt]", L"UpdateFiles: rollback [c.txt]"}));
    // a.txt and fresh.txt: one copy each; b.txt: five; the restores verify at once.
    EXPECT_EQ(clock.sleptMilliseconds.load(), 2000u + 2000u + 10000u);
}

INSTANTIATE_TEST_SUITE_P(Rows, ApplyByKind, ::testing::Values(DigestKind::Md5, DigestKind::Sha256),
                         [](const auto& info) { return KindName(info.param); });

TEST_F(ApplyFixture, FailedBackupPutsBackWhatWasMovedAndReplacesNothing) {
    const auto a = Prepare(L"a.txt", "old a", "new a");
    const auto locked = Prepare(L"locked.txt", "old locked", "new locked");
    const auto b = Prepare(L"b.txt", "old b", "new b", L"sub");
    updater.m_downloadedSet = {a, locked, b};

    {
        unique_hfile hold = LockFile(dir / L"locked.txt");
        ASSERT_TRUE(hold);
        EXPECT_FALSE(updater.BackupFiles());
    }
    updater.m_journal.Close();

    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadBytes(dir / L"locked.txt"), "old locked");
    EXPECT_EQ(ReadBytes(dir / L"sub\\b.txt"), "old b");
    EXPECT_FALSE(FileExists(dir / L"backup\\_b.txt"));  // never reached
    EXPECT_EQ(ReadBytes(dir / L"updatetmp\\a.txt"), "new a");
    EXPECT_FALSE(FileExists(updater.JournalPath()));
    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 3u) << Dump(lines);
    EXPECT_EQ(lines[lines.size() - 2], L"BackupFiles: error");
    EXPECT_EQ(lines.back(), L"BackupFiles: rollback [a.txt]");
}

// A file that can't be put back keeps the journal, so that the next run repairs it.
TEST_F(ApplyFixture, UnfinishedRollbackIsRepairedByTheNextRun) {
    const auto a = Prepare(L"a.txt", "old a", "new a");
    const auto c = Prepare(L"c.txt", "old c", "new c");
    updater.m_downloadedSet = {a, c};
    EXPECT_TRUE(updater.BackupFiles());
    {
        // Something takes c.txt's place meanwhile: neither the copy nor the restore works.
        unique_hfile squatter = LockFile(dir / L"c.txt");
        ASSERT_TRUE(squatter);
        clock.sleptMilliseconds = 0;
        EXPECT_FALSE(updater.UpdateFiles());
        updater.m_journal.Close();
    }
    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "old a");
    EXPECT_TRUE(FileExists(updater.JournalPath()));
    EXPECT_EQ(log.LinesStartingWith(L"UpdateFiles: rollback"),
              (std::vector<std::wstring>{L"UpdateFiles: rollback [a.txt]",
                                         L"UpdateFiles: rollback error [c.txt]"}));
    // a.txt: one copy; c.txt: five copies, then four pauses between five restores.
    EXPECT_EQ(clock.sleptMilliseconds.load(), 2000u + 10000u + 8000u);

    CUpdater next{dir.path()};
    EXPECT_TRUE(RecoverInterruptedRun(next));
    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "old a");
    EXPECT_EQ(ReadBytes(dir / L"c.txt"), "old c");
    EXPECT_FALSE(FileExists(updater.JournalPath()));
    EXPECT_EQ(log.LinesStartingWith(L"Recover:"),
              (std::vector<std::wstring>{L"Recover: start 2 file(s)", L"Recover: rollback [c.txt]",
                                         L"Recover: done"}));
}

TEST_F(ApplyFixture, LongPathsAreNeverCut) {
    const std::wstring folder(240, L'f');
    _updateListData row = Row(L"long_name_file.txt", L"0", Md5("long"), folder);
    WriteBytes(updater.StagingPath(row), "long");
    ASSERT_GT(updater.InstalledPath(row).size(), 260u);
    updater.m_downloadedSet = {row};
    EXPECT_TRUE(updater.BackupFiles());
    const bool installed = updater.UpdateFiles();

    // Either the file system takes the whole path, or the step fails the ordinary way;
    // nothing ever lands at a shortened path.
    if (installed) {
        EXPECT_EQ(ReadBytes(updater.InstalledPath(row)), "long");
    } else {
        EXPECT_TRUE(log.Has(L"UpdateFiles: error"));
    }
    WIN32_FIND_DATAW data;
    unique_hfind find(::FindFirstFileW((dir / L"*").c_str(), &data));
    ASSERT_TRUE(find);
    do {
        const std::wstring name = data.cFileName;
        EXPECT_TRUE(name == L"." || name == L".." || name == L"updatetmp" || name == L"backup" ||
                    name == folder)
            << Narrow(name);
    } while (::FindNextFileW(find.get(), &data));
}

}  // namespace
