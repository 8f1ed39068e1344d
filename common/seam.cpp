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

void Sleep(DWORD milliseconds) { g_clock.load()->Sleep(milliseconds); }
int64_t Now() { return g_clock.load()->Now(); }
DWORD TickCount() { return g_clock.load()->TickCount(); }

Clock* Install(Clock* clock) {
    Clock* previous = g_clock.exchange(clock ? clock : &g_systemClock);
    return previous == &g_systemClock ? nullptr : previous;
}

}  // namespace seam
