// Simulates user activity for end-to-end tests: one small relative mouse movement there
// and back through SendInput, which refreshes the session's last-input time.
#include <windows.h>

int wmain() {
    INPUT inputs[2] = {};
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dwFlags = MOUSEEVENTF_MOVE;
    }
    inputs[0].mi.dx = 1;
    inputs[1].mi.dx = -1;
    return ::SendInput(2, inputs, sizeof(INPUT)) == 2 ? 0 : 1;
}
