#include "agent/idle_detection.h"

#include "common/seam.h"

namespace {
// The marks cost an exception each; nobody sees them without a debugger.
void DebuggerMark(const wchar_t* mark) {
    if (::IsDebuggerPresent()) ::OutputDebugStringW(mark);
}
}  // namespace

bool CIdleDetector::ReadPad(DWORD index, DWORD now, DWORD& packet) {
    if (!padGates_[index].Due(now)) return false;
    const bool read = sources_.PadPacket(index, packet) == ERROR_SUCCESS;
    padGates_[index].Record(read, now);
    return read;
}

void CIdleDetector::Start() {
    const DWORD now = seam::TickCount();
    for (DWORD index = 0; index < kPadCount; ++index) {
        padGates_[index] = FailedReadGate{};
        DWORD packet = 0;
        padPackets_[index] = ReadPad(index, now, packet) ? packet : 0;
    }
    joysticks_.Snapshot(sources_);
    lastActiveTick_ = seam::TickCount();
    // Whatever the events hold at the start, the first poll puts them right.
    idleMaybeSet_ = activeMaybeSet_ = true;
}

bool CIdleDetector::KeyboardOrMouseSeen() {
    DWORD inputTick = 0;
    if (!sources_.LastInputTick(inputTick)) return false;
    // Unsigned subtraction keeps the age right across the tick counter's wrap.
    return seam::TickCount() - inputTick <= kRecentInputMilliseconds;
}

bool CIdleDetector::PadSeen() {
    // Every connected pad is read in every poll, so that each one's packet number stays
    // current; an empty slot is looked at again every two seconds.
    bool seen = false;
    const DWORD now = seam::TickCount();
    for (DWORD index = 0; index < kPadCount; ++index) {
        DWORD packet = 0;
        if (!ReadPad(index, now, packet)) continue;
        if (packet != padPackets_[index]) {
            padPackets_[index] = packet;
            seen = true;
        }
    }
    return seen;
}

InputCondition CIdleDetector::Poll(IdleDetectorRecord& record) {
    if (KeyboardOrMouseSeen() || PadSeen() || joysticks_.Compare(sources_)) {
        lastActiveTick_ = seam::TickCount();
        record.idleMilliseconds = 0;
        DebuggerMark(L"o");
        if (idleMaybeSet_) ::ResetEvent(*record.idleEvent);
        idleMaybeSet_ = false;
        ::SetEvent(*record.activeEvent);
        activeMaybeSet_ = true;
        return InputCondition::Active;
    }
    const DWORD idle = seam::TickCount() - lastActiveTick_;
    record.idleMilliseconds = idle;
    DebuggerMark(L"x");
    // Only this detector sets the events: one it hasn't set since its last reset is still
    // reset, and resetting it again would only cost a call into the system.
    if (activeMaybeSet_) ::ResetEvent(*record.activeEvent);
    activeMaybeSet_ = false;
    // Compared unsigned: a threshold from a negative number never lets the user go idle.
    if (idle / 1000 > record.idleThreshold.load()) {
        ::SetEvent(*record.idleEvent);
        idleMaybeSet_ = true;
        return InputCondition::IdleBeyondThreshold;
    }
    return InputCondition::IdleBelowThreshold;
}

DWORD RunIdleDetector(IdleDetectorRecord& record, InputSources& sources) {
    CIdleDetector detector(sources);
    detector.Start();
    while (record.running) {
        seam::Sleep(CIdleDetector::kPollMilliseconds);
        detector.Poll(record);
    }
    return 0;
}
