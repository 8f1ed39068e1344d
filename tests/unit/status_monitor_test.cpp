#include <gtest/gtest.h>

#include "agent/agent_settings.h"
#include "agent/agent_window.h"
#include "agent/shutdown.h"
#include "agent/status_menu.h"
#include "agent/request_paths.h"
#include "agent/status_monitor.h"
#include "agent_test_support.h"
#include "common/handles.h"
#include "loopback_server.h"

namespace {

int Count(const std::wstring& text, const std::wstring& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class StatusReport : public ::testing::Test {
protected:
    StatusReport() : folders(LoopbackConfig(server.port(), 12)) {
        event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    std::wstring StatusIni() const { return folders.dataFile(L"status.ini"); }
    // Runs the status monitor's wakes until no repeat is pending.
    int RunMonitor() {
        int wakes = 0;
        while (::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0 && wakes < 50) {
            ReportCurrentStatus(event.get(), StatusIni());
            ++wakes;
        }
        return wakes;
    }
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const auto& r : server.Requests()) targets.push_back(r.target);
        return targets;
    }

    LoopbackServer server;
    AgentFolders folders;
    FakeClock clock;
    LogCapture log;
    unique_handle event;
};

TEST_F(StatusReport, AnswersAndErrorTexts) {
    const struct {
        LoopbackReply reply;
        bool accepted;
        const wchar_t* errorText;
        const wchar_t* body;
    } cases[] = {
        {LoopbackReply::Ok("1"), true, L"", L"1"},
        {LoopbackReply::Ok("-1"), false, L"200[0]", L"-1"},
        {LoopbackReply::Ok("1\r\n"), false, L"200[0]", L"1\r\n"},
        {LoopbackReply::Ok(""), false, L"200[0]", L""},
        {LoopbackReply::Status(500, "1"), false, L"500[0]", L""},
        {LoopbackReply::Status(404), false, L"404[0]", L""},
    };
    for (const auto& c : cases) {
        server.Answer("/pw/status/12/3", c.reply);
        std::wstring errorText;
        std::wstring body = L"stale";
        EXPECT_EQ(ReportStatus(3, errorText, body), c.accepted) << c.errorText;
        EXPECT_EQ(errorText, c.errorText);
        EXPECT_EQ(body, c.body);
    }
    for (const auto& r : server.Requests()) EXPECT_EQ(r.target, "/pw/status/12/3");
}

TEST_F(StatusReport, ComputerNameFormWithoutHostId) {
    Settings().hostId = 0;
    Settings().computerName = L"PC 01";
    std::wstring errorText, body;
    ReportStatus(-5, errorText, body);
    ASSERT_EQ(server.RequestCount(), 1u);
    // No session on the console here: the user segment stays empty.
    std::wstring user;
    ASSERT_TRUE(GetConsoleUserName(user));
    std::string expected = "/pw/status/0/-5/PC%2001/";
    for (const wchar_t c : EscapePathSegment(user)) expected += static_cast<char>(c);
    EXPECT_EQ(server.Requests()[0].target, expected);
}

TEST_F(StatusReport, RepeatsEverySecondWithTheStatusCurrentThen) {
    server.SetHandler([](const LoopbackRequest& r) {
        return r.target == "/pw/status/12/9" ? LoopbackReply::Ok("1") : LoopbackReply::Status(500);
    });
    SetCurrentStatus(5);
    int sleepsOfASecond = 0;
    clock.onSleep = [&](DWORD ms) {
        if (ms == 1000 && ++sleepsOfASecond == 2) SetCurrentStatus(9);
    };
    ::SetEvent(event.get());
    EXPECT_EQ(RunMonitor(), 3);
    EXPECT_EQ(Targets(),
              (std::vector<std::string>{"/pw/status/12/5", "/pw/status/12/5", "/pw/status/12/9"}));
    EXPECT_EQ(sleepsOfASecond, 2);
    EXPECT_EQ(ReadBytes(StatusIni()), "[Status]\r\nCurrent=9\r\n");
    const std::wstring text = log.Text();
    EXPECT_EQ(Count(text, L"change status: 5"), 2);
    EXPECT_EQ(Count(text, L"change status: 9"), 1);
    EXPECT_EQ(Count(text, L"send error: 500[0] \n"), 2);
}

TEST_F(StatusReport, FinalRefusalsAreNotRepeated) {
    for (const char* refusal : {"-1", "-2"}) {
        server.Answer("/pw/status/12/6", LoopbackReply::Ok(refusal));
        ::DeleteFileW(StatusIni().c_str());
        SetCurrentStatus(6);
        const int before = clock.sleeps;
        ::SetEvent(event.get());
        EXPECT_EQ(RunMonitor(), 1) << refusal;
        EXPECT_EQ(clock.sleeps - before, 1) << "only the pause after the attempt";
        EXPECT_EQ(ReadBytes(StatusIni()), "[Status]\r\nCurrent=6\r\n");
    }
    EXPECT_EQ(server.RequestCount(), 2u);
    EXPECT_EQ(Count(log.Text(), L"send error: 200[0] -1\n"), 1);
    EXPECT_EQ(Count(log.Text(), L"send error: 200[0] -2\n"), 1);
}

// A server that takes the report and never answers: the wake ends at the receive time-out
// (shortened here) like any transport failure, is repeated a second later, and the status
// arrives once the server answers again.
TEST_F(StatusReport, SilentServerTimesOutAndTheReportArrivesOnceItAnswers) {
    clock.requestTimeoutCap = 1500;
    server.Answer("/pw/status/12/5",
                  {LoopbackReply::Silent(), LoopbackReply::Silent(), LoopbackReply::Ok("1")});
    SetCurrentStatus(5);
    ::SetEvent(event.get());
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(RunMonitor(), 3);
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 2 * 1500u - 200);
    EXPECT_LT(elapsed, 2 * 1500u + 8000);
    EXPECT_EQ(server.RequestCount(), 3u);
    const auto errors = log.LinesStartingWith(L"send error: 0[");
    ASSERT_EQ(errors.size(), 2u) << Narrow(log.Text());
    EXPECT_NE(errors[0], L"send error: 0[0] ");
    EXPECT_EQ(ReadBytes(StatusIni()), "[Status]\r\nCurrent=5\r\n");
}

// A window that records the WM_CLOSE posted to it.
LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

bool ClosePosted(HWND hwnd) {
    MSG msg;
    while (::PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE))
        if (msg.message == WM_CLOSE) return true;
    return false;
}

TEST_F(StatusReport, ShutdownReportsStatusTwoFiveTimesAtMostThenCloses) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ShutdownTestWindow";
    ::RegisterClassW(&wc);
    const HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"t", 0, 0, 0, 1, 1, HWND_MESSAGE,
                                        nullptr, wc.hInstance, nullptr);
    ASSERT_TRUE(hwnd);
    SetCurrentStatus(7);

    server.Answer("/pw/status/12/2", LoopbackReply::Ok("-1"));
    EXPECT_EQ(ShutdownThread(hwnd), 0u);
    EXPECT_EQ(server.RequestCount(), 5u);
    EXPECT_EQ(Count(log.Text(), L"send error: 200[0]-1\n"), 5);
    EXPECT_EQ(clock.sleptMilliseconds, 250u);
    EXPECT_TRUE(ClosePosted(hwnd));

    server.Answer("/pw/status/12/2", {LoopbackReply::Status(503), LoopbackReply::Ok("1")});
    EXPECT_EQ(ShutdownThread(hwnd), 0u);
    EXPECT_EQ(server.RequestCount(), 7u);
    EXPECT_EQ(Count(log.Text(), L"send success\n"), 1);
    EXPECT_EQ(Count(log.Text(), L"end: shutdown thread\n"), 2);
    EXPECT_TRUE(ClosePosted(hwnd));
    // The report goes straight to the server: the current status and status.ini stay.
    EXPECT_EQ(CurrentStatus(), 7);
    EXPECT_FALSE(FileExists(StatusIni()));
    ::DestroyWindow(hwnd);
}

// At the end of the session a silent server holds each of the five attempts only for the
// short time-outs of that report, so that all of them fit in the time Windows allows.
TEST_F(StatusReport, ShutdownWithASilentServerEndsWithinItsShortTimeouts) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ShutdownSilentTestWindow";
    ::RegisterClassW(&wc);
    const HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"t", 0, 0, 0, 1, 1, HWND_MESSAGE,
                                        nullptr, wc.hInstance, nullptr);
    ASSERT_TRUE(hwnd);

    server.Answer("/pw/status/12/2", LoopbackReply::Silent());
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(ShutdownThread(hwnd), 0u);
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_EQ(server.RequestCount(), 5u);
    EXPECT_EQ(log.LinesStartingWith(L"send error: 0[").size(), 5u) << Narrow(log.Text());
    EXPECT_TRUE(ClosePosted(hwnd));
    EXPECT_GE(elapsed, 5 * kShutdownRequestTimeouts.receive - 500);
    EXPECT_LT(elapsed, 5 * kShutdownRequestTimeouts.receive + 4000);

    // Answering again: reported at the first attempt.
    server.Answer("/pw/status/12/2", LoopbackReply::Ok("1"));
    EXPECT_EQ(ShutdownThread(hwnd), 0u);
    EXPECT_EQ(log.LinesStartingWith(L"send success").size(), 1u);
    EXPECT_TRUE(ClosePosted(hwnd));
    ::DestroyWindow(hwnd);
}

}  // namespace
