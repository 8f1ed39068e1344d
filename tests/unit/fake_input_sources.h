// Input devices played by a test: the last-input tick, four pads and a joystick table.
#pragma once
#include <windows.h>
#include <mmsystem.h>

#include <optional>
#include <vector>

#include "agent/input_sources.h"

struct FakeJoystick {
    DWORD x = 32767, y = 32767, z = 32767;
    DWORD buttons = 0;
    DWORD pov = 0;
};

class FakeInputSources : public InputSources {
public:
    bool LastInputTick(DWORD& tick) override {
        if (!lastInputReadable) return false;
        tick = lastInput;
        return true;
    }
    DWORD PadPacket(DWORD index, DWORD& packet) override {
        if (index >= 4) return ERROR_BAD_ARGUMENTS;
        ++padReads[index];
        if (padResult[index] == ERROR_SUCCESS) packet = padPacket[index];
        return padResult[index];
    }
    UINT JoystickCount() override { return joystickCount; }
    MMRESULT JoystickRead(UINT id, JOYINFOEX& info) override {
        reads.push_back(id);
        // The caller must ask for a full reading of the 52-byte structure.
        if (info.dwSize != 52 || info.dwFlags != JOY_RETURNALL) return JOYERR_PARMS;
        if (id >= joysticks.size() || !joysticks[id]) return JOYERR_UNPLUGGED;
        const FakeJoystick& stick = *joysticks[id];
        info.dwXpos = stick.x;
        info.dwYpos = stick.y;
        info.dwZpos = stick.z;
        info.dwRpos = info.dwUpos = info.dwVpos = 0;
        info.dwButtons = stick.buttons;
        info.dwPOV = stick.pov;
        return JOYERR_NOERROR;
    }

    bool lastInputReadable = true;
    DWORD lastInput = 0;
    DWORD padResult[4] = {ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED,
                          ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED};
    DWORD padPacket[4] = {};
    int padReads[4] = {};
    UINT joystickCount = 0;
    std::vector<std::optional<FakeJoystick>> joysticks;
    std::vector<UINT> reads;
};
