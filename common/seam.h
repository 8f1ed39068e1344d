// The one place where behaviour meets time: every wait, sleep and "now" that a rule
// depends on goes through here, so that tests can count waits without sleeping.
// Product code never installs a clock; only tests do.
#pragma once
#include <windows.h>
#include <cstdint>

namespace seam {

class Clock {
public:
    virtual ~Clock() = default;
    virtual void Sleep(DWORD milliseconds);
    // Seconds since 1970-01-01 00:00 UTC.
    virtual int64_t Now();
    // Milliseconds since system start, wrapping at 2^32 like GetTickCount.
    virtual DWORD TickCount();
};

void Sleep(DWORD milliseconds);
int64_t Now();
DWORD TickCount();

// Replaces the clock (nullptr restores the system's); returns the previous one.
Clock* Install(Clock* clock);

}  // namespace seam
