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
    failed_.assign(fingerprints_.size(), false);
    for (UINT id = 0; id < fingerprints_.size(); ++id) {
        uint32_t fingerprint = 0;
        failed_[id] = !Read(sources, id, fingerprint);
        if (!failed_[id]) fingerprints_[id] = fingerprint;
    }
    lastRetry_ = seam::TickCount();
    nextRetry_ = 0;
}

bool CJoystickTable::Compare(InputSources& sources) {
    const UINT count =
        static_cast<UINT>(std::min<size_t>(sources.JoystickCount(), fingerprints_.size()));
    // The failed id whose turn it is, if the pause since the last such read is over.
    UINT retry = count;
    const DWORD now = seam::TickCount();
    if (count > 0 && now - lastRetry_ >= kFailedReadPauseMilliseconds) {
        for (UINT step = 0; step < count; ++step) {
            const UINT id = (nextRetry_ + step) % count;
            if (failed_[id]) {
                retry = id;
                break;
            }
        }
    }
    for (UINT id = 0; id < count; ++id) {
        if (failed_[id] && id != retry) continue;
        if (id == retry) {
            lastRetry_ = now;
            nextRetry_ = id + 1;
        }
        uint32_t fingerprint = 0;
        failed_[id] = !Read(sources, id, fingerprint);
        if (failed_[id]) continue;
        if (fingerprint != fingerprints_[id]) {
            fingerprints_[id] = fingerprint;
            return true;
        }
    }
    return false;
}
