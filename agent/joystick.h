// Classic joysticks: one 32-bit fingerprint per reading, and a table of the fingerprints
// last seen so that a moved stick or a pressed button counts as input.
#pragma once
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <vector>

#include "agent/input_sources.h"

// Deflected X, Y or Z (Z over Y over X; the central tenth of the half range ignored),
// buttons, POV and the constant 65534, with 32-bit wrap-around.
uint32_t JoystickFingerprint(const JOYINFOEX& info);

class CJoystickTable {
public:
    // Sizes the table from joyGetNumDevs() and stores every id's fingerprint, 0 for an id
    // that can't be read.
    void Snapshot(InputSources& sources);
    // Walks the ids in ascending order, skipping failed reads; the first fingerprint that
    // differs is stored and true returned. Ids the table has no entry for are not looked at.
    // Ids whose last read failed take turns: one of them is read again each time the pause
    // is over, so that the driver's sixteen empty ids cost one read every two seconds.
    bool Compare(InputSources& sources);

    size_t Size() const { return fingerprints_.size(); }
    uint32_t At(size_t id) const { return fingerprints_[id]; }

private:
    std::vector<uint32_t> fingerprints_;
    std::vector<bool> failed_;
    DWORD lastRetry_ = 0;  // tick of the last read of a failed id
    UINT nextRetry_ = 0;   // where the search for the next failed id to read starts
};
