// The baseline of the agent's idle benchmark: a windowed program that creates one hidden
// window and then only waits in its message loop.
#include <windows.h>

namespace {
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"PwIdleWindow";
    if (!::RegisterClassW(&windowClass)) return 1;
    if (!::CreateWindowW(L"PwIdleWindow", L"PwIdleWindow", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                         nullptr, nullptr, instance, nullptr))
        return 1;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
