// The idle detector's poll: input sources and the tick counter played by the test, real
// auto-reset events.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "agent/idle_detection.h"
#include "common/handles.h"
#include "fake_input_sources.h"
#include "test_support.h"

namespace {
bool Signalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
}  // namespace

class IdleDetector : public testing::Test {
protected:
    void SetUp() override {
        idle.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        active.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        pair[0] = idle.get();
        pair[1] = active.get();
        record.idleEvent = &pair[0];
        record.activeEvent = &pair[1];
        sources.lastInput = kStart - 5000;
        clock.tick = kStart;
    }

    // Starts the detector at tick `start`, then polls once at `start + elapsed`.
    InputCondition PollAfter(DWORD start, DWORD elapsed) {
        clock.tick = start;
        sources.lastInput = start - 5000;
        detector.Start();
        clock.tick = start + elapsed;
        return detector.Poll(record);
    }

    static constexpr DWORD kStart = 100000;
    FakeClock clock;
    FakeInputSources sources;
    IdleDetectorRecord record;
    unique_handle idle, active;
    HANDLE pair[2] = {};
    CIdleDetector detector{sources};
};

TEST_F(IdleDetector, IdleEventOnceTheWholeSecondsExceedTheThreshold) {
    struct Case {
        uint32_t threshold;
        DWORD start;
        DWORD elapsed;
        InputCondition expected;
    };
    const Case cases[] = {
        {0, kStart, 999, InputCondition::IdleBelowThreshold},
        {0, kStart, 1000, InputCondition::IdleBeyondThreshold},
        {600, kStart, 600999, InputCondition::IdleBelowThreshold},
        {600, kStart, 601000, InputCondition::IdleBeyondThreshold},
        // A threshold from a negative number is a huge unsigned one: never idle.
        {static_cast<uint32_t>(-1), kStart, 0xFFFFFFF0, InputCondition::IdleBelowThreshold},
        // The tick counter wraps between the start and the poll.
        {1, 0xFFFFFC18, 1999, InputCondition::IdleBelowThreshold},
        {1, 0xFFFFFC18, 2000, InputCondition::IdleBeyondThreshold},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "threshold " << c.threshold << ", start " << c.start
                                        << ", elapsed " << c.elapsed);
        record.idleThreshold = c.threshold;
        ::SetEvent(active.get());
        EXPECT_EQ(PollAfter(c.start, c.elapsed), c.expected);
        EXPECT_EQ(record.idleMilliseconds.load(), c.elapsed);
        EXPECT_EQ(Signalled(idle.get()), c.expected == InputCondition::IdleBeyondThreshold);
        EXPECT_FALSE(Signalled(active.get())) << "leaving the active condition withdraws it";
    }
}

TEST_F(IdleDetector, KeyboardOrMouseInputAtMostOneSecondOldCounts) {
    struct Case {
        DWORD input;
        DWORD now;
        bool active;
    };
    const Case cases[] = {
        {kStart, kStart + 1000, true},
        {kStart, kStart + 1001, false},
        {0xFFFFFFFF, 999, true},  // across the counter's wrap
        {0xFFFFFFFF, 1000, false},
    };
    record.idleThreshold = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "input " << c.input << ", now " << c.now);
        clock.tick = c.now - 3000;
        detector.Start();
        ::SetEvent(idle.get());
        sources.lastInput = c.input;
        clock.tick = c.now;
        const InputCondition condition = detector.Poll(record);
        EXPECT_EQ(condition == InputCondition::Active, c.active);
        if (c.active) {
            EXPECT_EQ(record.idleMilliseconds.load(), 0u);
            EXPECT_FALSE(Signalled(idle.get())) << "returning to activity withdraws idle";
            EXPECT_TRUE(Signalled(active.get()));
        } else {
            EXPECT_EQ(record.idleMilliseconds.load(), 3000u);
            EXPECT_FALSE(Signalled(active.get()));
            ::ResetEvent(idle.get());
        }
    }
}

TEST_F(IdleDetector, IdleTimeRunsFromTheLastPollThatSawInput) {
    record.idleThreshold = 2;
    detector.Start();
    clock.tick = kStart + 10000;
    sources.lastInput = kStart + 9500;
    EXPECT_EQ(detector.Poll(record), InputCondition::Active);
    clock.tick = kStart + 12999;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);
    EXPECT_EQ(record.idleMilliseconds.load(), 2999u);
    clock.tick = kStart + 13000;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBeyondThreshold);
    EXPECT_TRUE(Signalled(idle.get()));
    // The threshold is read at every poll: a new one applies at once.
    record.idleThreshold = 5;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);
    EXPECT_FALSE(Signalled(idle.get()));
}

TEST_F(IdleDetector, PadsCountByPacketNumber) {
    record.idleThreshold = 600;
    sources.padResult[1] = ERROR_SUCCESS;
    sources.padPacket[1] = 40;
    detector.Start();
    clock.tick += 2000;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold)
        << "a connected pad nobody touches";

    // A pad connected after start, and a touched one: all four are read in the same poll
    // (the empty slot once its two-second pause is over), so both numbers are remembered and
    // the next poll sees nothing new.
    sources.padResult[3] = ERROR_SUCCESS;
    sources.padPacket[3] = 1;
    sources.padPacket[1] = 41;
    clock.tick += 2000;
    EXPECT_EQ(detector.Poll(record), InputCondition::Active);
    clock.tick += 2000;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);

    // A failing pad is skipped and keeps its remembered number.
    sources.padResult[1] = ERROR_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);
    sources.padResult[1] = ERROR_SUCCESS;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);
}

TEST_F(IdleDetector, WithoutLastInputTimePadsAndJoysticksStillCount) {
    record.idleThreshold = 600;
    sources.lastInputReadable = false;
    sources.joystickCount = 2;
    sources.joysticks = {std::nullopt, FakeJoystick{}};
    detector.Start();
    clock.tick += 1500;
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);
    sources.joysticks[1]->buttons = 1;
    EXPECT_EQ(detector.Poll(record), InputCondition::Active);
    EXPECT_EQ(detector.Poll(record), InputCondition::IdleBelowThreshold);
}

TEST_F(IdleDetector, RunPollsEveryFiftyMillisecondsWhileRunning) {
    record.idleThreshold = 0;
    int polls = 0;
    clock.onSleep = [&](DWORD milliseconds) {
        EXPECT_EQ(milliseconds, 50u);
        clock.tick += milliseconds;
        if (++polls == 40) record.running = false;
    };
    EXPECT_EQ(RunIdleDetector(record, sources), 0u);
    EXPECT_EQ(polls, 40);
    EXPECT_EQ(record.idleMilliseconds.load(), 2000u);
    EXPECT_TRUE(Signalled(idle.get()));
}

// Absent devices are expensive to read on Windows: over a simulated ten seconds of 50 ms
// polls, a pad slot or joystick id whose last read failed is read again at most once every
// two seconds (the failed joysticks take turns), still often enough to be found, and a
// device that appears meanwhile counts as input once.
TEST_F(IdleDetector, FailedDevicesAreReadAtMostEveryTwoSecondsAndCountOnceWhenTheyAppear) {
    struct Case {
        const char* name;
        bool padAppears;
        bool joystickAppears;
    };
    const Case cases[] = {
        {"nothing appears", false, false},
        {"pad 2 appears at 5 s", true, false},
        {"joystick 1 starts working at 5 s", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeInputSources devices;
        CIdleDetector poller(devices);
        record.idleThreshold = 600;
        devices.lastInput = kStart - 5000;
        devices.joystickCount = 2;
        devices.joysticks = {std::nullopt, std::nullopt};
        clock.tick = kStart;
        poller.Start();
        // Ticks of the failed reads: per pad, per joystick id, and of all joysticks.
        std::vector<DWORD> padFailures[4], stickFailures[2], anyStickFailure;
        for (int pad = 0; pad < 4; ++pad) padFailures[pad].push_back(kStart);
        int actives = 0;
        for (DWORD elapsed = 50; elapsed <= 10000; elapsed += 50) {
            clock.tick = kStart + elapsed;
            if (elapsed == 5000 && c.padAppears) {
                devices.padResult[2] = ERROR_SUCCESS;
                devices.padPacket[2] = 7;
            }
            if (elapsed == 5000 && c.joystickAppears) devices.joysticks[1] = FakeJoystick{};
            int padReads[4];
            std::copy(std::begin(devices.padReads), std::end(devices.padReads), padReads);
            const size_t stickReads = devices.reads.size();
            if (poller.Poll(record) == InputCondition::Active) ++actives;
            for (int pad = 0; pad < 4; ++pad)
                if (devices.padReads[pad] != padReads[pad] &&
                    devices.padResult[pad] != ERROR_SUCCESS)
                    padFailures[pad].push_back(clock.tick);
            for (size_t i = stickReads; i < devices.reads.size(); ++i) {
                const UINT id = devices.reads[i];
                if (devices.joysticks[id]) continue;
                stickFailures[id].push_back(clock.tick);
                anyStickFailure.push_back(clock.tick);
            }
        }
        EXPECT_EQ(actives, c.padAppears || c.joystickAppears ? 1 : 0);

        auto spaced = [](const std::vector<DWORD>& ticks) {
            for (size_t i = 1; i < ticks.size(); ++i)
                if (ticks[i] - ticks[i - 1] < 2000) return false;
            return true;
        };
        for (int pad = 0; pad < 4; ++pad) {
            SCOPED_TRACE(testing::Message() << "pad " << pad);
            EXPECT_TRUE(spaced(padFailures[pad]));
            // Still looked at: at the start and every two seconds until it appears.
            EXPECT_GE(padFailures[pad].size(), pad == 2 && c.padAppears ? 3u : 6u);
        }
        EXPECT_TRUE(spaced(stickFailures[0]));
        EXPECT_TRUE(spaced(stickFailures[1]));
        EXPECT_TRUE(spaced(anyStickFailure)) << "one failed joystick every two seconds";
        EXPECT_GE(anyStickFailure.size(), 4u);
        if (c.joystickAppears) {
            EXPECT_GE(devices.reads.size(), anyStickFailure.size() + 2 + 20);
        }
    }
}
