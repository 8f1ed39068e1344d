// The input devices the idle detector polls, behind one interface so that tests can play
// the devices; the system's sources call the real functions.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <xinput.h>

#include "common/handles.h"

class InputSources {
public:
    virtual ~InputSources() = default;
    // Tick of the last keyboard or mouse input; false when it can't be read.
    virtual bool LastInputTick(DWORD& tick) = 0;
    // XInputGetState for pad index 0-3: its result code and, on success, the packet number.
    virtual DWORD PadPacket(DWORD index, DWORD& packet) = 0;
    virtual UINT JoystickCount() = 0;
    // joyGetPosEx with `info` prepared for a full reading.
    virtual MMRESULT JoystickRead(UINT id, JOYINFOEX& info) = 0;
};

// GetLastInputInfo, XInput 9.1.0 and WinMM. XInput is loaded at run time: a system without
// its library still starts, with every pad reported as not connected.
class CSystemInputSources : public InputSources {
public:
    CSystemInputSources();
    bool LastInputTick(DWORD& tick) override;
    DWORD PadPacket(DWORD index, DWORD& packet) override;
    UINT JoystickCount() override;
    MMRESULT JoystickRead(UINT id, JOYINFOEX& info) override;

private:
    using GetStateFunction = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);

    unique_hmodule xinput_;
    GetStateFunction getState_ = nullptr;
};
