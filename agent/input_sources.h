// The input devices the idle detector polls, behind one interface so that tests can play
// the devices; the system's sources call the real functions.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <xinput.h>

#include "common/handles.h"

// A pad slot or joystick id whose last read failed is read again only this long after it:
// reading an absent device is expensive on Windows (an empty XInput slot is a device
// enumeration; a joystick once plugged in may stall for hundreds of milliseconds).
constexpr DWORD kFailedReadPauseMilliseconds = 2000;

// When one device may be read again.
struct FailedReadGate {
    bool failed = false;
    DWORD at = 0;  // tick of the failed read

    bool Due(DWORD now) const { return !failed || now - at >= kFailedReadPauseMilliseconds; }
    void Record(bool succeeded, DWORD now) {
        failed = !succeeded;
        at = now;
    }
};

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

// GetLastInputInfo, XInput 9.1.0 and WinMM. XInput is loaded at run time from the system
// folder only: a system without its library still starts, with every pad reported as not
// connected.
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
