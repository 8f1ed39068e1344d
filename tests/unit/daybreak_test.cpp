// The daybreak test on "%H:%M:%S" texts.
#include "agent/daybreak.h"

#include <gtest/gtest.h>

TEST(Daybreak, Table) {
    struct Case {
        const wchar_t* previous;
        const wchar_t* dayStart;
        const wchar_t* now;
        bool daybreak;
    };
    const Case cases[] = {
        {L"23:55:00", L"00:00:00", L"00:05:00", true},   // midnight, second clause
        {L"08:55:00", L"09:00:00", L"09:05:00", true},   // first clause
        {L"09:05:00", L"09:00:00", L"09:15:00", false},  // the pass after it
        {L"08:59:59", L"09:00:00", L"09:00:00", true},   // exactly at the day start
        {L"09:00:00", L"09:00:00", L"09:10:00", false},  // the previous pass was the moment
        {L"23:55:00", L"23:58:00", L"00:05:00", false},  // that day has no daybreak
        {L"00:05:00", L"23:58:00", L"00:15:00", false},
        {L"", L"00:00:00", L"09:00:00", false},  // first pass
        {L"", L"09:00:00", L"09:00:00", false},
        {L"07:00:00", L"7:30", L"08:00:00", false},  // one-digit hour: never
        {L"23:55:00", L"7:30", L"00:05:00", false},
        {L"06:00:00", L"7:30", L"23:59:59", false},
        {L"10:00:00", L"08:00:00", L"09:00:10", true},   // clock set back past the start
        {L"10:00:00", L"09:30:00", L"09:00:10", false},  // set back, still before it
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsDaybreak(c.previous, c.dayStart, c.now), c.daybreak)
            << testing::PrintToString(std::wstring(c.previous)) << " "
            << testing::PrintToString(std::wstring(c.dayStart)) << " "
            << testing::PrintToString(std::wstring(c.now));
    }
}
