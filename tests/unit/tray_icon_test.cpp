#include <gtest/gtest.h>

#include "agent/tray_icon.h"
#include "common/handles.h"
#include "agent_test_support.h"

namespace {

// Added at once, and added again at once (as after TaskbarCreated) while it still exists.
TEST(TrayIcon, AddedAtOnceAndAgain) {
    FakeClock clock;
    LogCapture log;
    TrayIcon tray;
    tray.icon = ::LoadIconW(nullptr, IDI_APPLICATION);
    tray.window =
        ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(tray.window);
    EXPECT_TRUE(AddTrayIcon(tray));
    EXPECT_TRUE(AddTrayIcon(tray));
    EXPECT_EQ(clock.sleeps, 0);
    EXPECT_EQ(tray.owner.load(), tray.window);
    const std::wstring text = log.Text();
    const size_t first = text.find(L"Added NotifyIcon");
    ASSERT_NE(first, std::wstring::npos);
    EXPECT_NE(text.find(L"Added NotifyIcon", first + 1), std::wstring::npos);
    DeleteTrayIcon(tray);
    ::DestroyWindow(tray.window);
}

// The menu routine shows the popup owned by the window, then posts WM_NULL to the window,
// so that the next opening of the notification-icon menu doesn't close at once.
struct TrackCall {
    HMENU popup = nullptr;
    HWND owner = nullptr;
    int x = 0, y = 0;
    UINT flags = 0xFFFF;
    bool nullQueuedBefore = false;
    int calls = 0;
} g_track;

BOOL WINAPI RecordingTrack(HMENU popup, UINT flags, int x, int y, int, HWND owner, const RECT*) {
    MSG msg;
    g_track.nullQueuedBefore = ::PeekMessageW(&msg, owner, WM_NULL, WM_NULL, PM_NOREMOVE) != 0;
    g_track = TrackCall{popup, owner, x, y, flags, g_track.nullQueuedBefore, g_track.calls + 1};
    return TRUE;
}

TEST(TrayIcon, MenuIsFollowedByANullMessageToItsWindow) {
    const HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
                                          nullptr, nullptr);
    ASSERT_TRUE(window);
    unique_hmenu menu(::CreatePopupMenu());
    ::AppendMenuW(menu.get(), MF_STRING, 32779, L"item");
    MSG msg;
    while (::PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
    }

    TrackTrayMenu(window, menu.get(), POINT{120, 340}, RecordingTrack);
    EXPECT_EQ(g_track.calls, 1);
    EXPECT_EQ(g_track.popup, menu.get());
    EXPECT_EQ(g_track.owner, window);
    EXPECT_EQ(g_track.x, 120);
    EXPECT_EQ(g_track.y, 340);
    EXPECT_EQ(g_track.flags, 0u);
    EXPECT_FALSE(g_track.nullQueuedBefore) << "posted after the menu, not before";
    ASSERT_TRUE(::PeekMessageW(&msg, window, WM_NULL, WM_NULL, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_FALSE(::PeekMessageW(&msg, window, WM_NULL, WM_NULL, PM_REMOVE)) << "exactly one";
    ::DestroyWindow(window);
}

// The tray icon is loaded at the shell's small-icon size.
TEST(TrayIcon, IconIsLoadedAtTheSmallIconSize) {
    HICON icon = LoadTrayIcon(nullptr, 32512 /* IDI_APPLICATION */);
    ASSERT_TRUE(icon);
    ICONINFO info{};
    ASSERT_TRUE(::GetIconInfo(icon, &info));
    BITMAP bitmap{};
    ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
    EXPECT_EQ(bitmap.bmWidth, ::GetSystemMetrics(SM_CXSMICON));
    if (info.hbmColor) ::DeleteObject(info.hbmColor);
    if (info.hbmMask) ::DeleteObject(info.hbmMask);
    ::DestroyIcon(icon);
}

}  // namespace
