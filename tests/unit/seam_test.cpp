// The system clock's message-dispatching sleep: a thread that owns a window keeps answering
// messages sent to it while it sleeps, and still sleeps the whole time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/seam.h"

namespace {

TEST(Seam, SleepDispatchingAnswersSentMessagesAndSleepsTheWholeTime) {
    std::atomic<HWND> window{nullptr};
    std::atomic<DWORD> slept{0};
    std::thread sleeper([&] {
        const HWND own = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
                                           nullptr, nullptr);
        window = own;
        const DWORD start = ::GetTickCount();
        seam::SleepDispatching(2000);
        slept = ::GetTickCount() - start;
        ::DestroyWindow(own);
    });
    while (!window) ::Sleep(1);
    ::Sleep(100);  // the sleeper is inside its sleep now

    // What a broadcasting program does: send, and wait a bounded time for the answer.
    DWORD_PTR result = 0;
    const DWORD start = ::GetTickCount();
    const LRESULT answered =
        ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result);
    const DWORD waited = ::GetTickCount() - start;
    sleeper.join();

    EXPECT_NE(answered, 0) << "a plain Sleep would leave the message unanswered";
    EXPECT_LT(waited, 900u);
    EXPECT_GE(slept.load(), 1990u);
    EXPECT_LT(slept.load(), 4000u);
}

}  // namespace
