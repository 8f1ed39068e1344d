// Simulates user activity for end-to-end tests: small relative mouse movements there and
// back through SendInput, which refreshes the session's last-input time.
// Usage: send_input [SECONDS]  (once; or every 200 ms for that many seconds, as a user
// who keeps working, so that activity outlasts any pause of the agent's monitors).
#include <windows.h>

#include <cwchar>

namespace {
bool Nudge() {
    INPUT inputs[2] = {};
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dwFlags = MOUSEEVENTF_MOVE;
    }
    inputs[0].mi.dx = 1;
    inputs[1].mi.dx = -1;
    return ::SendInput(2, inputs, sizeof(INPUT)) == 2;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const double seconds = argc > 1 ? std::wcstod(argv[1], nullptr) : 0;
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (!Nudge()) return 1;
        if (::GetTickCount() - start >= seconds * 1000) return 0;
        ::Sleep(200);
    }
}
