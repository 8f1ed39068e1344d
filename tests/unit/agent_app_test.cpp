#include <gtest/gtest.h>

#include "agent/agent_app.h"

namespace {

struct TokenCase {
    const wchar_t* line;
    std::vector<std::wstring> expected;
};

TEST(CommandLine, Tokenises) {
    const TokenCase cases[] = {
        {L"", {}},
        {L"     ", {}},
        {L"tmp", {L"tmp"}},
        {L"  tmp  ", {L"tmp"}},
        {L"installed", {L"installed"}},
        {L"INSTALLED", {L"INSTALLED"}},
        {L"\"installed\"", {L"installed"}},
        {L"\"C:\\Program Files\\x\"", {L"C:\\Program Files\\x"}},
        {L"a   b", {L"a", L"b"}},
        // Only a quote where the previous token ended opens a quoted argument.
        {L"\"a b\" \"c d\"", {L"a b", L"\"c", L"d\""}},
        {L"\"a b\"\"c d\"", {L"a b", L"c d"}},
        {L"x \"a b\"", {L"x", L"a b"}},
        {L"x  \"a b\"", {L"x", L"\"a", L"b\""}},
        {L"\"unclosed arg", {L"unclosed arg"}},
        {L"\"\"", {}},
    };
    for (const TokenCase& c : cases)
        EXPECT_EQ(TokenizeCommandLine(c.line), c.expected) << "line: [" << c.line << "]";
}

}  // namespace
