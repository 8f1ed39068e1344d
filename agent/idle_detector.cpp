#include "agent/idle_detection.h"

#include "common/seam.h"

void CIdleDetector::Start() {
    for (DWORD index = 0; index < kPadCount; ++index) {
        DWORD packet = 0;
        padPackets_[index] = sources_.PadPacket(index, packet) == ERROR_SUCCESS ? packet : 0;
    }
    joysticks_.Snapshot(sources_);
    lastActiveTick_ = seam::TickCount();
}

bool CIdleDetector::KeyboardOrMouseSeen() {
    DWORD inputTick = 0;
    if (!sources_.LastInputTick(inputTick)) return false;
    // Unsigned subtraction keeps the age right across the tick counter's wrap.
    return seam::TickCount() - inputTick <= kRecentInputMilliseconds;
}

bool CIdleDetector::PadSeen() {
    // Every pad is read in every poll, so that each one's packet number stays current.
    bool seen = false;
    for (DWORD index = 0; index < kPadCount; ++index) {
        DWORD packet = 0;
        if (sources_.PadPacket(index, packet) != ERROR_SUCCESS) continue;
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
        ::OutputDebugStringW(L"o");
        ::ResetEvent(*record.idleEvent);
        ::SetEvent(*record.activeEvent);
        return InputCondition::Active;
    }
    const DWORD idle = seam::TickCount() - lastActiveTick_;
    record.idleMilliseconds = idle;
    ::OutputDebugStringW(L"x");
    ::ResetEvent(*record.activeEvent);
    // Compared unsigned: a threshold from a negative number never lets the user go idle.
    if (idle / 1000 > record.idleThreshold.load()) {
        ::SetEvent(*record.idleEvent);
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
