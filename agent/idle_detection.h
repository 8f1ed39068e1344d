// The idle detector's poll: which of the three conditions the user is in, and the events
// that go with it.
#pragma once
#include <windows.h>

#include <cstdint>

#include "agent/idle_detector.h"
#include "agent/input_sources.h"
#include "agent/joystick.h"

enum class InputCondition { Active, IdleBelowThreshold, IdleBeyondThreshold };

class CIdleDetector {
public:
    static constexpr DWORD kPollMilliseconds = 50;
    // Keyboard or mouse input at most this old still counts as input.
    static constexpr DWORD kRecentInputMilliseconds = 1000;
    static constexpr DWORD kPadCount = 4;

    explicit CIdleDetector(InputSources& sources) : sources_(sources) {}

    // Remembers the pads' packet numbers, takes the joystick snapshot and starts the
    // idle time now.
    void Start();
    // One poll without its sleep: updates the record's idle time and events.
    InputCondition Poll(IdleDetectorRecord& record);

private:
    bool KeyboardOrMouseSeen();
    bool PadSeen();
    // Reads a pad unless its last read failed less than the pause ago.
    bool ReadPad(DWORD index, DWORD now, DWORD& packet);

    InputSources& sources_;
    DWORD lastActiveTick_ = 0;
    DWORD padPackets_[kPadCount] = {};
    FailedReadGate padGates_[kPadCount];
    // False once this detector has reset the event and not set it since.
    bool idleMaybeSet_ = true;
    bool activeMaybeSet_ = true;
    CJoystickTable joysticks_;
};

// The detector's thread body: Start, then a poll every 50 ms while the running flag holds.
DWORD RunIdleDetector(IdleDetectorRecord& record, InputSources& sources);
