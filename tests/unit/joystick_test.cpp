// Joystick fingerprints and the snapshot table that notices a moved stick.
#include "agent/joystick.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fake_input_sources.h"
#include "test_support.h"

namespace {
JOYINFOEX Reading(DWORD x, DWORD y, DWORD z, DWORD buttons, DWORD pov, DWORD ruv = 32767) {
    JOYINFOEX info{};
    info.dwSize = sizeof(info);
    info.dwXpos = x;
    info.dwYpos = y;
    info.dwZpos = z;
    info.dwRpos = info.dwUpos = info.dwVpos = ruv;
    info.dwButtons = buttons;
    info.dwPOV = pov;
    return info;
}

constexpr DWORD C = 32767;           // centre of every axis
constexpr uint32_t kAtRest = 98301;  // 32767 + 65534

uint32_t Fingerprint(const FakeJoystick& stick) {
    return JoystickFingerprint(Reading(stick.x, stick.y, stick.z, stick.buttons, stick.pov));
}
}  // namespace

TEST(JoystickFingerprint, Table) {
    struct Case {
        const char* what;
        JOYINFOEX info;
        uint32_t expected;
    };
    const Case cases[] = {
        {"at rest", Reading(C, C, C, 0, 0), kAtRest},
        {"X deviation 3276 is inside the central tenth", Reading(C + 3276, C, C, 0, 0), kAtRest},
        {"X deviation -3276 too", Reading(C - 3276, C, C, 0, 0), kAtRest},
        {"X deviation 3277 counts", Reading(C + 3277, C, C, 0, 0), C + 3277 + 65534},
        {"X deviation -3277 counts", Reading(C - 3277, C, C, 0, 0), C - 3277 + 65534},
        {"Y over X", Reading(0, 65535, C, 0, 0), 65535 + 65534},
        {"Z over Y over X", Reading(0, 65535, 40000, 0, 0), 40000 + 65534},
        {"Z alone", Reading(C, C, 0, 0, 0), 0 + 65534},
        {"X when Y and Z rest", Reading(0, C + 100, C - 100, 0, 0), 0 + 65534},
        {"buttons times 65536", Reading(C, C, C, 3, 0), 3 * 65536 + kAtRest},
        {"POV added", Reading(C, C, C, 0, 9000), kAtRest + 9000},
        {"POV centred (0xFFFF)", Reading(C, C, C, 0, 0xFFFF), kAtRest + 0xFFFF},
        {"R, U and V ignored", Reading(C, C, C, 0, 0, 0), kAtRest},
        {"R, U and V ignored at the other end", Reading(C, C, C, 0, 0, 65535), kAtRest},
        {"32-bit wrap-around", Reading(C, C, C, 0xFFFFFFFF, 0), 32765},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoystickFingerprint(c.info), c.expected) << c.what;
    }
}

class JoystickTable : public testing::Test {
protected:
    FakeClock clock;
    FakeInputSources sources;
    CJoystickTable table;
};

TEST_F(JoystickTable, SnapshotHoldsOneEntryPerIdWithZeroForFailedReads) {
    sources.joystickCount = 3;
    sources.joysticks = {FakeJoystick{}, std::nullopt, FakeJoystick{0, C, C, 1, 0}};
    table.Snapshot(sources);
    ASSERT_EQ(table.Size(), 3u);
    EXPECT_EQ(table.At(0), kAtRest);
    EXPECT_EQ(table.At(1), 0u);
    EXPECT_EQ(table.At(2), 65536u + 65534u);
    EXPECT_FALSE(table.Compare(sources)) << "sticks held still";
}

TEST_F(JoystickTable, OnlyTheFirstDifferingIdIsStoredPerComparison) {
    sources.joystickCount = 3;
    sources.joysticks = {FakeJoystick{}, FakeJoystick{}, FakeJoystick{}};
    table.Snapshot(sources);
    for (auto& stick : sources.joysticks) stick->buttons = 1;

    sources.reads.clear();
    EXPECT_TRUE(table.Compare(sources));
    EXPECT_EQ(sources.reads, std::vector<UINT>{0}) << "later ids not examined";
    EXPECT_EQ(table.At(0), Fingerprint(*sources.joysticks[0]));
    EXPECT_EQ(table.At(1), kAtRest);

    EXPECT_TRUE(table.Compare(sources));
    EXPECT_EQ(table.At(1), Fingerprint(*sources.joysticks[1]));
    EXPECT_EQ(table.At(2), kAtRest);
    EXPECT_TRUE(table.Compare(sources));
    EXPECT_FALSE(table.Compare(sources));
}

TEST_F(JoystickTable, FailedReadsAreSkipped) {
    sources.joystickCount = 2;
    sources.joysticks = {FakeJoystick{}, FakeJoystick{}};
    table.Snapshot(sources);
    sources.joysticks[0].reset();
    sources.joysticks[1]->x = 0;
    EXPECT_TRUE(table.Compare(sources));
    EXPECT_EQ(table.At(0), kAtRest) << "a failed read keeps the stored fingerprint";
    EXPECT_EQ(table.At(1), 65534u);
    EXPECT_FALSE(table.Compare(sources));
}

TEST_F(JoystickTable, StickThatFailedAtStartCountsOnceWhenItWorks) {
    sources.joystickCount = 2;
    table.Snapshot(sources);
    EXPECT_FALSE(table.Compare(sources)) << "every read failing, as under Wine";
    sources.joysticks = {std::nullopt, FakeJoystick{}};
    clock.tick += 1999;
    EXPECT_FALSE(table.Compare(sources)) << "failed ids rest for two seconds";
    clock.tick += 1;
    EXPECT_FALSE(table.Compare(sources)) << "then id 0's turn";
    clock.tick += 2000;
    EXPECT_TRUE(table.Compare(sources)) << "then id 1's";
    EXPECT_FALSE(table.Compare(sources));
}

TEST_F(JoystickTable, NoIdBeyondTheSnapshotIsReadOrWritten) {
    sources.joystickCount = 2;
    sources.joysticks = {FakeJoystick{}, FakeJoystick{}, FakeJoystick{}, FakeJoystick{}};
    table.Snapshot(sources);
    ASSERT_EQ(table.Size(), 2u);

    // More devices than at the snapshot: the extra ids have no entry and are left alone.
    sources.joystickCount = 4;
    sources.joysticks[2]->x = 0;
    sources.joysticks[3]->x = 0;
    sources.reads.clear();
    EXPECT_FALSE(table.Compare(sources));
    EXPECT_EQ(table.Size(), 2u);
    EXPECT_EQ(*std::max_element(sources.reads.begin(), sources.reads.end()), 1u);

    // Fewer devices: only the ids below the current count are examined.
    sources.joystickCount = 1;
    sources.joysticks[1]->x = 0;
    sources.reads.clear();
    EXPECT_FALSE(table.Compare(sources));
    EXPECT_EQ(sources.reads, std::vector<UINT>{0});
}
