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
    // Waits for a kernel object: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    virtual DWORD WaitFor(HANDLE object, DWORD milliseconds);
    // Sleeps while dispatching the calling thread's sent and posted messages, so that a
    // thread owning windows (a COM apartment's hidden one) never holds up a program that
    // broadcasts to every window and waits for the answers.
    virtual void SleepDispatching(DWORD milliseconds);
    // A WinINet time-out as applied: the wanted value in the product, shorter in tests.
    virtual DWORD RequestTimeout(DWORD milliseconds);
};

void Sleep(DWORD milliseconds);
int64_t Now();
DWORD TickCount();
DWORD WaitFor(HANDLE object, DWORD milliseconds);
void SleepDispatching(DWORD milliseconds);
DWORD RequestTimeout(DWORD milliseconds);

// Replaces the clock (nullptr restores the system's); returns the previous one.
Clock* Install(Clock* clock);

}  // namespace seam
