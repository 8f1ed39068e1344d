// Baselines of the agent's idle benchmark, windowed programs like the agent that poll every
// 50 ms and do nothing else:
//   poll_baseline.exe full       every call of one idle-detector poll as specified for a
//                                user who is away: GetLastInputInfo, XInputGetState for the
//                                four pads, joyGetNumDevs and joyGetPosEx for every id, and
//                                the debugger mark
//   poll_baseline.exe lastinput  GetLastInputInfo only
// and variants that add to the last input time one part of the poll each:
//   numdevs                      joyGetNumDevs in every poll
//   gated                        joyGetNumDevs in every poll; every 40th poll (2 s) the four
//                                pads and every joystick id
//   turns                        every 40th poll the four pads and one joystick id, the ids
//                                taking turns: the agent's calls when no device is present
#include <windows.h>
#include <mmsystem.h>
#include <xinput.h>

#include <cwchar>

namespace {
using GetState = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
    const bool full = std::wcsstr(commandLine, L"full") != nullptr;
    const bool numdevs = std::wcsstr(commandLine, L"numdevs") != nullptr;
    const bool gated = std::wcsstr(commandLine, L"gated") != nullptr;
    const bool turns = std::wcsstr(commandLine, L"turns") != nullptr;
    GetState getState = nullptr;
    if (full || gated || turns) {
        if (HMODULE xinput = ::LoadLibraryW(L"xinput9_1_0.dll"))
            getState = reinterpret_cast<GetState>(
                reinterpret_cast<void*>(::GetProcAddress(xinput, "XInputGetState")));
    }
    for (;;) {
        ::Sleep(50);
        LASTINPUTINFO last{};
        last.cbSize = sizeof(last);
        ::GetLastInputInfo(&last);
        if (numdevs || gated) ::joyGetNumDevs();
        static int round = 0;
        ++round;
        if (gated && round % 40 == 0) {
            for (DWORD pad = 0; pad < 4; ++pad) {
                XINPUT_STATE state{};
                if (getState) getState(pad, &state);
            }
            for (UINT id = 0; id < 16; ++id) {
                JOYINFOEX info{};
                info.dwSize = sizeof(info);
                info.dwFlags = JOY_RETURNALL;
                ::joyGetPosEx(id, &info);
            }
        }
        if (turns && round % 40 == 0) {
            for (DWORD pad = 0; pad < 4; ++pad) {
                XINPUT_STATE state{};
                if (getState) getState(pad, &state);
            }
            JOYINFOEX info{};
            info.dwSize = sizeof(info);
            info.dwFlags = JOY_RETURNALL;
            ::joyGetPosEx(static_cast<UINT>(round / 40 % 16), &info);
        }
        if (!full) continue;
        for (DWORD pad = 0; pad < 4; ++pad) {
            XINPUT_STATE state{};
            if (getState) getState(pad, &state);
        }
        const UINT joysticks = ::joyGetNumDevs();
        for (UINT id = 0; id < joysticks; ++id) {
            JOYINFOEX info{};
            info.dwSize = sizeof(info);
            info.dwFlags = JOY_RETURNALL;
            ::joyGetPosEx(id, &info);
        }
        ::OutputDebugStringW(L"x");
    }
}
