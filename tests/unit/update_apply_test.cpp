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

    void SetUp() override { ::CreateDirectoryW((dir / L"updatetmp").c_str(), nullptr); }
    // Installed file and its downloaded replacement; returns the row.
    _updateListData Prepare(const std::wstring& name, const std::string& installed,
                            const std::string& staged, const std::wstring& folder = L"",
                            bool downloadOnly = false) {
        _updateListData row = Row(name, L"0", Md5(staged), folder, downloadOnly);
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

TEST_F(ApplyFixture, FailedReplacementRestoresWhatWasNotReplacedYet) {
    const auto a = Prepare(L"a.txt", "old a", "new a");
    const auto locked = Prepare(L"locked.txt", "old locked", "new locked");
    const auto b = Prepare(L"b.txt", "old b", "new b", L"sub");
    const auto c = Prepare(L"c.txt", "old c", "new c");
    updater.m_downloadedSet = {a, locked, b, c};

    unique_hfile hold = LockFile(dir / L"locked.txt");
    ASSERT_TRUE(hold);
    EXPECT_TRUE(updater.BackupFiles());
    EXPECT_TRUE(log.Has(L"BackupFiles: error"));  // the locked file can't be read
    EXPECT_FALSE(FileExists(dir / L"sub\\b.txt"));
    EXPECT_FALSE(FileExists(dir / L"c.txt"));
    // Something else takes c.txt's place meanwhile: its restore can't be verified.
    unique_hfile squatter = LockFile(dir / L"c.txt");
    ASSERT_TRUE(squatter);
    clock.sleptMilliseconds = 0;

    EXPECT_FALSE(updater.UpdateFiles());
    squatter.reset();
    hold.reset();

    EXPECT_EQ(ReadBytes(dir / L"a.txt"), "new a");  // replaced before the failure: kept
    EXPECT_EQ(ReadBytes(dir / L"locked.txt"), "old locked");
    EXPECT_EQ(ReadBytes(dir / L"sub\\b.txt"), "old b");
    EXPECT_EQ(ReadBytes(dir / L"backup\\_b.txt"), "old b");
    EXPECT_EQ(ReadBytes(dir / L"backup\\_c.txt"), "old c");
    EXPECT_TRUE(FileExists(dir / L"updatetmp\\b.txt"));
    EXPECT_EQ(
        log.LinesStartingWith(L"UpdateFiles:"),
        (std::vector<std::wstring>{L"UpdateFiles: start 4 file(s)", L"UpdateFiles: [a.txt]",
                                   L"UpdateFiles: [locked.txt]", L"UpdateFiles: error",
                                   L"UpdateFiles: restore [b.txt]", L"UpdateFiles: restore [c.txt]",
                                   L"UpdateFiles: restore error [c.txt]"}));
    // a.txt: one copy; locked.txt: five copies; c.txt: four pauses between five restores.
    EXPECT_EQ(clock.sleptMilliseconds.load(), 2000u + 10000u + 8000u);
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
