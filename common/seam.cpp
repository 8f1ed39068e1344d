#include "common/seam.h"

#include <atomic>
#include <ctime>

namespace seam {
namespace {
Clock g_systemClock;
// Read by every thread that waits; written only by tests between runs.
std::atomic<Clock*> g_clock{&g_systemClock};
}  // namespace

void Clock::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
int64_t Clock::Now() { return static_cast<int64_t>(_time64(nullptr)); }
DWORD Clock::TickCount() { return ::GetTickCount(); }
DWORD Clock::WaitFor(HANDLE object, DWORD milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}
DWORD Clock::RequestTimeout(DWORD milliseconds) { return milliseconds; }

void Clock::SleepDispatching(DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= milliseconds) return;
        // MWMO_INPUTAVAILABLE also wakes for messages that an earlier peek has seen but
        // left in the queue.
        const DWORD woken = ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds - elapsed,
                                                          QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_FAILED) {
            ::Sleep(milliseconds - elapsed);
            return;
        }
        // Peeking also delivers the messages other threads send to this one.
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

void Sleep(DWORD milliseconds) { g_clock.load()->Sleep(milliseconds); }
int64_t Now() { return g_clock.load()->Now(); }
DWORD TickCount() { return g_clock.load()->TickCount(); }
DWORD WaitFor(HANDLE object, DWORD milliseconds) {
    return g_clock.load()->WaitFor(object, milliseconds);
}
void SleepDispatching(DWORD milliseconds) { g_clock.load()->SleepDispatching(milliseconds); }
DWORD RequestTimeout(DWORD milliseconds) { return g_clock.load()->RequestTimeout(milliseconds); }

Clock* Install(Clock* clock) {
    Clock* previous = g_clock.exchange(clock ? clock : &g_systemClock);
    return previous == &g_systemClock ? nullptr : previous;
}

}  // namespace seam
