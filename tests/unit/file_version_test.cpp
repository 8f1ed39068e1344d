#include "common/file_version.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::wstring Fixture(const wchar_t* name) { return TestBinFolder() + L"\\fixtures\\" + name; }

TEST(FileVersion, TranslationTableChoosesTheStringBlock) {
    struct Case {
        const wchar_t* file;
        const wchar_t* version;
    } cases[] = {
        {L"ver_0411.dll", L"0411.2.3.4"},  // one pair 0411/04b0
        {L"ver_0409.dll", L"0409.2.3.4"},  // one pair 0409/04E4: upper-case block name
        {L"ver_two.dll", L"2.0.0.7"},      // two pairs: the fixed 041104b0 block
    };
    for (const Case& c : cases) {
        std::wstring out;
        EXPECT_TRUE(GetFileVersionString(Fixture(c.file), out)) << Narrow(c.file);
        EXPECT_EQ(out, c.version) << Narrow(c.file);
    }
}

TEST(FileVersion, FileWithoutVersionResourceKeepsOutAndSetsTheErrorText) {
    std::wstring out = L"kept";
    EXPECT_FALSE(GetFileVersionString(Fixture(L"ver_none.dll"), out));
    EXPECT_EQ(out, L"kept");
    EXPECT_EQ(VersionErrorText().rfind(L"GetFileVersionInfoSize failed: ", 0), 0u)
        << Narrow(VersionErrorText());

    EXPECT_TRUE(GetFileVersionString(Fixture(L"ver_0411.dll"), out));
    EXPECT_EQ(VersionErrorText().rfind(L"GetFileVersionInfoSize failed: ", 0), 0u)
        << "a success leaves the error text alone";
}

TEST(CompareVersion, Table) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    } cases[] = {
        {L"1.2.3.10", L"1.2.3.9", 1},
        {L"1.2.3.9", L"1.2.3.10", -1},
        {L"1,2,3,4", L"1.2.3.4", 0},
        {L"2", L"1.9.9.9", 1},
        {L"", L"0.0.0.0", 0},
        {L"abc", L"0", 0},
        {L"1.2.3.4 beta", L"1.2.3.4", 0},
        {L"1.2", L"1.2.0.0", 0},
        {L"1.2.3.4.5", L"1.2.3.4", 0},
        {L"-1.0.0.0", L"0.0.0.0", -1},
        {L"1.0.2.0", L"1.0.10.0", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompareVersion(c.a, c.b), c.expected) << Narrow(c.a) << " vs " << Narrow(c.b);
}

}  // namespace
