#include "agent/joystick.h"

#include <algorithm>

#include "common/seam.h"

namespace {
constexpr int64_t kCentre = 32767;

// Beyond one tenth of the half range: |v - 32767| > 3276.7, kept in integers.
bool Deflected(DWORD value) {
    const int64_t deviation = static_cast<int64_t>(value) - kCentre;
    return (deviation < 0 ? -deviation : deviation) * 10 > kCentre;
}

bool Read(InputSources& sources, UINT id, uint32_t& fingerprint) {
    JOYINFOEX info{};
    info.dwSize = sizeof(info);
    info.dwFlags = JOY_RETURNALL;
    if (sources.JoystickRead(id, info) != JOYERR_NOERROR) return false;
    fingerprint = JoystickFingerprint(info);
    return true;
}
}  // namespace

uint32_t JoystickFingerprint(const JOYINFOEX& info) {
    uint32_t axis = static_cast<uint32_t>(kCentre);
    if (Deflected(info.dwXpos)) axis = info.dwXpos;
    if (Deflected(info.dwYpos)) axis = info.dwYpos;
    if (Deflected(info.dwZpos)) axis = info.dwZpos;
    return static_cast<uint32_t>(info.dwButtons) * 65536u + 65534u +
           static_cast<uint32_t>(info.dwPOV) + axis;
}

void CJoystickTable::Snapshot(InputSources& sources) {
    fingerprints_.assign(sources.JoystickCount(), 0);
    gates_.assign(fingerprints_.size(), FailedReadGate{});
    const DWORD now = seam::TickCount();
    for (UINT id = 0; id < fingerprints_.size(); ++id) {
        uint32_t fingerprint = 0;
        const bool read = Read(sources, id, fingerprint);
        gates_[id].Record(read, now);
        if (read) fingerprints_[id] = fingerprint;
    }
}

bool CJoystickTable::Compare(InputSources& sources) {
    const UINT count =
        static_cast<UINT>(std::min<size_t>(sources.JoystickCount(), fingerprints_.size()));
    const DWORD now = seam::TickCount();
    for (UINT id = 0; id < count; ++id) {
        if (!gates_[id].Due(now)) continue;
        uint32_t fingerprint = 0;
        const bool read = Read(sources, id, fingerprint);
        gates_[id].Record(read, now);
        if (!read) continue;
        if (fingerprint != fingerprints_[id]) {
            fingerprints_[id] = fingerprint;
            return true;
        }
    }
    return false;
}
