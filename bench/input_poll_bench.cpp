// Cost of one idle-detector poll with the system's input sources, and of each call in it:
// back to back, and spaced 50 ms apart as the detector polls (some input stacks answer
// calls in quick succession from a cache).
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "agent/idle_detection.h"
#include "common/handles.h"

namespace {
int g_rounds = 2000;
DWORD g_pause = 0;

template <typename Call>
double MicrosecondsPerCall(Call call) {
    std::chrono::duration<double, std::micro> spent{0};
    for (int i = 0; i < g_rounds; ++i) {
        if (g_pause) ::Sleep(g_pause);
        const auto start = std::chrono::steady_clock::now();
        call(i);
        spent += std::chrono::steady_clock::now() - start;
    }
    return spent.count() / g_rounds;
}
}  // namespace

int wmain(int argc, wchar_t**) {
    // With an argument: 100 rounds, 50 ms apart.
    if (argc > 1) {
        g_rounds = 100;
        g_pause = 50;
    }
    CSystemInputSources sources;
    unique_handle idle(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    unique_handle active(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE pair[2] = {idle.get(), active.get()};
    IdleDetectorRecord record;
    record.idleEvent = &pair[0];
    record.activeEvent = &pair[1];
    CIdleDetector detector(sources);
    detector.Start();

    const UINT joysticks = sources.JoystickCount();
    std::printf("poll_us %.1f\n", MicrosecondsPerCall([&](int) { detector.Poll(record); }));
    std::printf("last_input_us %.1f\n", MicrosecondsPerCall([&](int) {
                    DWORD tick = 0;
                    sources.LastInputTick(tick);
                }));
    std::printf("pad_us %.1f\n", MicrosecondsPerCall([&](int i) {
                    DWORD packet = 0;
                    sources.PadPacket(static_cast<DWORD>(i & 3), packet);
                }));
    std::printf("joysticks %u\n", joysticks);
    if (joysticks > 0) {
        std::printf("joystick_us %.1f\n", MicrosecondsPerCall([&](int i) {
                        JOYINFOEX info{};
                        info.dwSize = sizeof(info);
                        info.dwFlags = JOY_RETURNALL;
                        sources.JoystickRead(static_cast<UINT>(i) % joysticks, info);
                    }));
    }
    std::printf("last_input_and_count_us %.1f\n", MicrosecondsPerCall([&](int) {
                    DWORD tick = 0;
                    sources.LastInputTick(tick);
                    sources.JoystickCount();
                }));
    std::printf("joystick_count_us %.1f\n",
                MicrosecondsPerCall([&](int) { sources.JoystickCount(); }));
    std::printf("reset_event_us %.1f\n",
                MicrosecondsPerCall([&](int) { ::ResetEvent(active.get()); }));
    std::printf("debug_mark_us %.1f\n",
                MicrosecondsPerCall([](int) { ::OutputDebugStringW(L"x"); }));
    return 0;
}
