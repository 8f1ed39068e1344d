// The wait for Remote Desktop Services before the session notifications are registered
// again: a real named event, a real window, the polls counted on the fake clock.
#include <gtest/gtest.h>

#include "agent/session_notification.h"
#include "common/handles.h"
#include "common/text.h"
#include "test_support.h"

namespace {

class SessionServices : public testing::Test {
protected:
    void SetUp() override {
        window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr,
                                   nullptr);
        ASSERT_TRUE(window);
    }
    void TearDown() override { ::DestroyWindow(window); }
    bool RegistrationPosted() {
        MSG msg;
        return ::PeekMessageW(&msg, window, WM_REGISTER_SESSION, WM_REGISTER_SESSION, PM_REMOVE);
    }

    const std::wstring eventName = Format(L"Local\\PwTermSrvReady%u", ::GetCurrentProcessId());
    FakeClock clock;
    HWND window = nullptr;
};

TEST_F(SessionServices, RegistrationIsAskedForOnceTheEventIsSet) {
    struct Case {
        const char* name;
        int createdAtPoll;  // 0: never
        bool createdSet;
        int setAtPoll;  // 0: as created
        int expectedPolls;
    };
    const Case cases[] = {
        // The event doesn't exist yet at logon: polled until it does.
        {"created set at the third poll", 3, true, 0, 3},
        {"created unset, set at the fifth poll", 2, false, 5, 5},
        {"already set: one pause only", 1, true, 0, 1},
        // Never ready: the polls run out and the window tries once more all the same.
        {"never", 0, false, 0, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unique_handle event;
        int polls = 0;
        clock.onSleep = [&](DWORD milliseconds) {
            EXPECT_EQ(milliseconds, 1000u);
            ++polls;
            if (polls == c.createdAtPoll)
                event.reset(::CreateEventW(nullptr, TRUE, c.createdSet, eventName.c_str()));
            if (polls == c.setAtPoll) ::SetEvent(event.get());
        };
        EXPECT_FALSE(RegistrationPosted());
        WaitForSessionServices(window, eventName.c_str(), 8);
        EXPECT_EQ(polls, c.expectedPolls);
        EXPECT_TRUE(RegistrationPosted());
        EXPECT_FALSE(RegistrationPosted()) << "posted once";
        clock.onSleep = nullptr;
    }
}

}  // namespace
