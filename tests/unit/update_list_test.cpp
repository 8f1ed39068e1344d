#include <gtest/gtest.h>

#include "updater_test_support.h"

namespace {

// Writes list.txt into the working folder and parses it.
struct ListFixture : ::testing::Test {
    TempDir dir;
    LogCapture log;
    CUpdater updater{dir.path()};

    bool Read(const std::string& bytes) {
        ::CreateDirectoryW((dir / L"updatetmp").c_str(), nullptr);
        WriteBytes(dir / L"updatetmp\\list.txt", bytes);
        return updater.ReadList();
    }
};

void ExpectRow(const _updateListData& row, const wchar_t* name, const wchar_t* version,
               const wchar_t* folder, const wchar_t* digest, bool downloadOnly) {
    EXPECT_EQ(row.name, name);
    EXPECT_EQ(row.version, version);
    EXPECT_EQ(row.folder, folder);
    EXPECT_EQ(row.digest, digest);
    EXPECT_EQ(row.downloadOnly, downloadOnly) << Narrow(name);
}

TEST_F(ListFixture, TokenCountsMapToFields) {
    ASSERT_TRUE(
        Read("\r\n"                           // empty: ignored
             "lonely\r\n"                     // one token: ignored
             "a.exe|1.0.0.1\r\n"              // two
             "b.dll|0|0123abcd\n"             // three, LF only
             "c.dll|2.0.0.0|sub|ffee\r\n"     // four
             "d.dat|0|data|aa|1\r\n"          // five, download only
             "e.dat|0|.|bb|0|extra|more\r\n"  // seven: fifth "0", rest ignored
             "|f.txt||0|||cc\r\n"             // leading and adjacent "|": three tokens
             "g.txt|1.0 | x |dd|yes\r\n"      // tokens are not trimmed
             "h.txt|1"));                     // last line without line end
    const auto& rows = updater.m_listRows;
    ASSERT_EQ(rows.size(), 8u);
    ExpectRow(rows[0], L"a.exe", L"1.0.0.1", L"", L"", false);
    ExpectRow(rows[1], L"b.dll", L"0", L"", L"0123abcd", false);
    ExpectRow(rows[2], L"c.dll", L"2.0.0.0", L"sub", L"ffee", false);
    ExpectRow(rows[3], L"d.dat", L"0", L"data", L"aa", true);
    ExpectRow(rows[4], L"e.dat", L"0", L".", L"bb", false);
    ExpectRow(rows[5], L"f.txt", L"0", L"", L"cc", false);
    ExpectRow(rows[6], L"g.txt", L"1.0 ", L" x ", L"dd", true);
    ExpectRow(rows[7], L"h.txt", L"1", L"", L"", false);
}

TEST_F(ListFixture, RereadingReplacesTheRows) {
    ASSERT_TRUE(Read("a|1\r\nb|2\r\n"));
    ASSERT_TRUE(Read("c|3\r\n"));
    ASSERT_EQ(updater.m_listRows.size(), 1u);
    EXPECT_EQ(updater.m_listRows[0].name, L"c");
}

TEST_F(ListFixture, RowsThatLeaveTheProgramFolderAreSkipped) {
    const char* unsafe[] = {
        "..\\evil.exe|0|aa",
        "sub\\x.exe|0|aa",
        "sub/x.exe|0|aa",
        "C:evil.exe|0|aa",
        "x.exe|0|..|aa",
        "x.exe|0|a\\..\\..|aa",
        "x.exe|0|a/../..|aa",
        "x.exe|0|\\Windows|aa",
        "x.exe|0|/etc|aa",
        "x.exe|0|C:\\Temp|aa",
        "x.exe|0|\\\\host\\share|aa",
        "x.exe|0|a\\...\\b|aa",
        "x.exe|0|.. |aa",
        "..|0|aa",
        "x.exe:stream|0|aa",
    };
    std::string text = "first.exe|0|aa\r\n";
    for (const char* line : unsafe) text += std::string(line) + "\r\n";
    text += "sub.dll|0|deep\\er|bb\r\n..name.dll|0|.|cc\r\n";
    ASSERT_TRUE(Read(text));

    std::vector<std::wstring> names;
    for (const auto& row : updater.m_listRows) names.push_back(row.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"first.exe", L"sub.dll", L"..name.dll"}));
    const auto skipped = log.LinesStartingWith(L"ReadList: unsafe path [");
    ASSERT_EQ(skipped.size(), std::size(unsafe)) << Dump(log.Lines());
    EXPECT_EQ(skipped[0], L"ReadList: unsafe path [..\\evil.exe|0|aa]");
    EXPECT_EQ(skipped[4], L"ReadList: unsafe path [x.exe|0|..|aa]");
}

TEST_F(ListFixture, MissingListIsAnOpenError) {
    EXPECT_FALSE(updater.ReadList());
    const auto lines = log.LinesStartingWith(L"ReadList: open error: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], L"ReadList: open error: 3");  // the folder does not exist
    EXPECT_TRUE(updater.m_listRows.empty());
}

}  // namespace
