// The input monitor's wakes: real auto-reset events, the window played by the test.
#include "agent/input_monitor.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "fake_monitor_window.h"
#include "test_support.h"

namespace {
bool Signalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
}  // namespace

TEST(InputMonitor, OnlyOneToThreeOnIdleAndThreeToOneOnActivity) {
    struct Case {
        bool idle;
        bool active;
        int status;
        std::vector<int> requested;
        bool activeLeftSignalled;
    };
    const Case cases[] = {
        {true, false, 1, {3}, false},
        {false, true, 3, {1}, false},
        {true, false, 3, {}, false},
        {false, true, 1, {}, false},
        {true, false, 5, {}, false},
        {false, true, 5, {}, false},
        {true, false, 4, {}, false},
        {false, true, 2, {}, false},
        // Both signalled: the idle event is taken, the active one stays for the next wake.
        {true, true, 1, {3}, true},
        {true, true, 3, {}, true},
    };
    FakeClock clock;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "idle " << c.idle << ", active " << c.active << ", status " << c.status);
        unique_handle idle(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        unique_handle active(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        const HANDLE pair[2] = {idle.get(), active.get()};
        if (c.idle) ::SetEvent(idle.get());
        if (c.active) ::SetEvent(active.get());
        FakeMonitorWindow window;
        window.status = c.status;
        clock.sleptMilliseconds = 0;

        InputMonitorPass(pair, window);
        EXPECT_EQ(window.requested, c.requested);
        EXPECT_FALSE(Signalled(idle.get())) << "the wake consumed the idle signal";
        EXPECT_EQ(Signalled(active.get()), c.activeLeftSignalled);
        EXPECT_EQ(clock.sleptMilliseconds.load(), 5000u);
    }
}

TEST(InputMonitor, FailedWaitChangesNothingAndStillPauses) {
    FakeClock clock;
    const HANDLE pair[2] = {nullptr, nullptr};
    FakeMonitorWindow window;
    InputMonitorPass(pair, window);
    EXPECT_TRUE(window.requested.empty());
    EXPECT_EQ(clock.sleptMilliseconds.load(), 5000u);
}
