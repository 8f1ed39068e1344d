#include "agent/input_sources.h"

#include "common/system_library.h"

CSystemInputSources::CSystemInputSources() : xinput_(LoadSystemLibrary(L"xinput9_1_0.dll")) {
    if (!xinput_) return;
    // Through void* so that the compiler accepts the change of function type.
    void* address = reinterpret_cast<void*>(::GetProcAddress(xinput_.get(), "XInputGetState"));
    getState_ = reinterpret_cast<GetStateFunction>(address);
}

bool CSystemInputSources::LastInputTick(DWORD& tick) {
    LASTINPUTINFO info{};
    info.cbSize = sizeof(info);
    if (!::GetLastInputInfo(&info)) return false;
    tick = info.dwTime;
    return true;
}

DWORD CSystemInputSources::PadPacket(DWORD index, DWORD& packet) {
    if (!getState_) return ERROR_DEVICE_NOT_CONNECTED;
    XINPUT_STATE state{};
    const DWORD result = getState_(index, &state);
    if (result == ERROR_SUCCESS) packet = state.dwPacketNumber;
    return result;
}

UINT CSystemInputSources::JoystickCount() { return ::joyGetNumDevs(); }

MMRESULT CSystemInputSources::JoystickRead(UINT id, JOYINFOEX& info) {
    return ::joyGetPosEx(id, &info);
}
