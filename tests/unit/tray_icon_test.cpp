#include <gtest/gtest.h>

#include "agent/tray_icon.h"
#include "agent_test_support.h"

namespace {

// Added at once, and added again at once (as after TaskbarCreated) while it still exists.
TEST(TrayIcon, AddedAtOnceAndAgain) {
    FakeClock clock;
    LogCapture log;
    TrayIcon tray;
    tray.icon = ::LoadIconW(nullptr, IDI_APPLICATION);
    tray.window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                                    nullptr);
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

}  // namespace
