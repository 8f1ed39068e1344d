#include <gtest/gtest.h>

#include "updater_test_support.h"

namespace {

struct CheckFixture : ::testing::Test {
    TempDir dir;
    LogCapture log;
    FakeClock clock;
    CUpdater updater{dir.path()};

    // Rows carry digests of this kind (MD5 unless a parameterised case says otherwise).
    DigestKind kind = DigestKind::Md5;

    std::wstring Install(const std::wstring& relative, const std::string& bytes) {
        WriteBytes(dir / relative, bytes);
        return DigestOf(kind, bytes);
    }
    std::wstring InstallFixture(const std::wstring& relative, const std::wstring& fixture) {
        ::CopyFileW(FixturePath(fixture).c_str(), (dir / relative).c_str(), FALSE);
        return DigestOf(kind, ReadBytes(dir / relative));
    }
    std::vector<std::wstring> Chosen() const {
        std::vector<std::wstring> names;
        for (const auto& row : updater.m_updateSet) names.push_back(row.name);
        return names;
    }
};

// The same decisions for rows of either digest kind; a list may mix both.
struct CheckByKind : CheckFixture, ::testing::WithParamInterface<DigestKind> {
    CheckByKind() { kind = GetParam(); }
};

TEST_P(CheckByKind, DecisionTable) {
    const std::wstring hello = Install(L"same0.txt", "hello");
    Install(L"case0.txt", "hello");
    const std::wstring diff0 = Install(L"diff0.txt", "old text");
    InstallFixture(L"newer.dll", L"ver_two.dll");  // 2.0.0.7
    const std::wstring dll = InstallFixture(L"equal.dll", L"ver_two.dll");
    InstallFixture(L"equaldiff.dll", L"ver_two.dll");
    InstallFixture(L"older.dll", L"ver_two.dll");
    InstallFixture(L"comma.dll", L"ver_comma.dll");  // "1,0,0,1"
    const std::wstring plain = Install(L"plain.txt", "no version resource");
    Install(L"plain2.txt", "no version resource");
    ::CreateDirectoryW((dir / L"sub").c_str(), nullptr);
    Install(L"sub\\in_sub.txt", "hello");
    Install(L"dot.txt", "hello");

    updater.m_listRows = {
        Row(L"missing.dll", L"1.0.0.0", L"aa"),
        Row(L"same0.txt", L"0", hello),
        Row(L"case0.txt", L"0", Upper(hello)),
        Row(L"diff0.txt", L"0", hello),
        Row(L"newer.dll", L"2.0.0.10", dll),  // parts compare as numbers
        Row(L"equal.dll", L"2.0.0.7", Upper(dll)),
        Row(L"equaldiff.dll", L"2,0,0,7", hello),  // commas read too
        Row(L"older.dll", L"2.0.0.6", hello),
        Row(L"comma.dll", L"1.0.0.2", hello),
        Row(L"plain.txt", L"1.0.0.0", plain),
        Row(L"plain2.txt", L"0.0.0.0", plain),  // equal to "no version": digest decides
        Row(L"in_sub.txt", L"0", hello, L"sub"),
        Row(L"dot.txt", L"0", L"", L"."),  // empty digest always differs (taken for MD5)
        Row(L"missing_sub.txt", L"0", hello, L"nosuch"),
    };
    EXPECT_TRUE(updater.CheckList());

    EXPECT_EQ(Chosen(), (std::vector<std::wstring>{L"missing.dll", L"diff0.txt", L"newer.dll",
                                                   L"equaldiff.dll", L"comma.dll", L"plain.txt",
                                                   L"dot.txt", L"missing_sub.txt"}));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 11u) << Dump(lines);
    EXPECT_EQ(lines[0], L"CheckList: 14");
    EXPECT_EQ(lines[1], L"CheckList: new file [missing.dll]");
    EXPECT_EQ(lines[2], L"CheckList: overwrite [diff0.txt]" + diff0);
    EXPECT_EQ(lines[3], L"CheckList: 2.0.0.7 -> 2.0.0.10 [newer.dll]");
    EXPECT_EQ(lines[4], L"CheckList: overwrite2 [equaldiff.dll]" + dll);
    EXPECT_EQ(lines[5], L"CheckList: 1,0,0,1 -> 1.0.0.2 [comma.dll]");
    EXPECT_EQ(lines[6].rfind(L"CheckList: versionerror:GetFileVersionInfoSize failed: ", 0), 0u);
    EXPECT_EQ(lines[7], L"CheckList:  -> 1.0.0.0 [plain.txt]");
    EXPECT_EQ(lines[8].rfind(L"CheckList: versionerror:", 0), 0u);  // plain2.txt, then equal
    EXPECT_EQ(lines[9], L"CheckList: overwrite [dot.txt]" + Md5("hello"));
    EXPECT_EQ(lines[10], L"CheckList: new file [missing_sub.txt]");
    EXPECT_EQ(clock.sleeps.load(), 0);
}

TEST_P(CheckByKind, FolderAtTheInstalledPathCountsAsPresent) {
    ::CreateDirectoryW((dir / L"folder.dll").c_str(), nullptr);
    ::CreateDirectoryW((dir / L"folder.txt").c_str(), nullptr);
    const std::wstring any = DigestOf(kind, "any");
    updater.m_listRows = {Row(L"folder.txt", L"0", any), Row(L"folder.dll", L"1.0.0.0", any)};
    EXPECT_TRUE(updater.CheckList());

    // Version "0": the digest can't be computed after five tries a second apart.
    EXPECT_EQ(clock.sleeps.load(), 5);
    EXPECT_EQ(clock.sleptMilliseconds.load(), 5000u);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u) << Dump(lines);
    EXPECT_EQ(lines[1].rfind(L"CheckList: hasherror:Couldn't open source file: ", 0), 0u);
    EXPECT_EQ(lines[2].rfind(L"CheckList: versionerror:", 0), 0u);
    EXPECT_EQ(lines[3], L"CheckList:  -> 1.0.0.0 [folder.dll]");
    ASSERT_EQ(updater.m_updateSet.size(), 1u);
    EXPECT_EQ(updater.m_updateSet[0].name, L"folder.dll");
}

TEST_F(CheckFixture, NothingToUpdate) {
    updater.m_listRows = {Row(L"same.txt", L"0", Install(L"same.txt", "x"))};
    EXPECT_FALSE(updater.CheckList());
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"CheckList: 1", L"CheckList: 0"}));
}

TEST_F(CheckFixture, EmptyListLogsZeroTwice) {
    EXPECT_FALSE(updater.CheckList());
    EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"CheckList: 0", L"CheckList: 0"}));
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckByKind, ::testing::Values(DigestKind::Md5, DigestKind::Sha256),
                         [](const auto& info) { return KindName(info.param); });

}  // namespace
