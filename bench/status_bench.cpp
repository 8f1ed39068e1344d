// Latency of one status change: from the set-status message sent to a running agent to the
// status report arriving at a loopback server, against a plain GET of the same server
// measured the same way (request issued -> request arrived) in the same run.
// Usage: status_bench [Pellwick.exe] [changes]
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/http_client.h"
#include "common/text.h"
#include "loopback_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Arrivals {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::string, Clock::time_point>> seen;

    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }
    // Arrival time of the request after the first `before`, or nullopt-like false.
    bool WaitBeyond(size_t before, Clock::time_point& when) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() > before; }))
            return false;
        when = seen[before].second;
        return true;
    }
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[index];
}

HWND WaitForWindow(bool present, DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const HWND hwnd = ::FindWindowW(nullptr, L"ステータス");
        if ((hwnd != nullptr) == present) return hwnd;
        if (::GetTickCount() - start > milliseconds) return nullptr;
        ::Sleep(20);
    }
}

std::wstring DataFolder() {
    wchar_t path[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, path);
    return std::wstring(path) + L"\\TAVRIK\\Brenlo";
}

void Report(const char* name, const std::vector<double>& ms) {
    std::printf("%s_p50_ms %.3f\n%s_p99_ms %.3f\n", name, Percentile(ms, 0.5), name,
                Percentile(ms, 0.99));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring agent = argc > 1 ? argv[1] : FolderOf(ModuleFilePath()) + L"\\Pellwick.exe";
    const int changes = argc > 2 ? _wtoi(argv[2]) : 200;

    Arrivals arrivals;
    LoopbackServer server;
    server.SetHandler([&](const LoopbackRequest& r) {
        if (r.target.rfind("/pw/status/", 0) != 0) return LoopbackReply::Status(404);
        {
            std::lock_guard<std::mutex> lock(arrivals.mutex);
            arrivals.seen.emplace_back(r.target, Clock::now());
        }
        arrivals.changed.notify_all();
        return LoopbackReply::Ok("1");
    });

    // An agent of an earlier run would report elsewhere.
    if (const HWND old = ::FindWindowW(nullptr, L"ステータス")) {
        ::PostMessageW(old, WM_COMMAND, 32772, 0);
        WaitForWindow(false, 10000);
    }
    // No stored document: every status id is accepted.
    const std::wstring data = DataFolder();
    ::DeleteFileW((data + L"\\conf.xml").c_str());
    ::DeleteFileW((data + L"\\status.ini").c_str());

    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring install = Format(L"%spw_status_bench_%u", temp, ::GetCurrentProcessId());
    ::CreateDirectoryW(install.c_str(), nullptr);
    const std::wstring exe = install + L"\\Pellwick.exe";
    if (!::CopyFileW(agent.c_str(), exe.c_str(), FALSE)) {
        std::fprintf(stderr, "status_bench: can't copy the agent\n");
        return 1;
    }
    const std::string config =
        "[Config]\r\nServer=127.0.0.1\r\nPort=" + std::to_string(server.port()) +
        "\r\nHostID=12\r\n[Server]\r\nStatus=/pw/status\r\n";
    const std::wstring configPath = install + L"\\config.ini";
    HANDLE file =
        ::CreateFileW(configPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, config.data(), static_cast<DWORD>(config.size()), &written, nullptr);
    ::CloseHandle(file);

    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        std::fprintf(stderr, "status_bench: can't start the agent\n");
        return 1;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    const HWND hwnd = WaitForWindow(true, 30000);
    Clock::time_point when;
    if (!hwnd || !arrivals.WaitBeyond(0, when)) {
        std::fprintf(stderr, "status_bench: the agent didn't report its start\n");
        return 1;
    }

    std::vector<double> agentMs;
    for (int i = 0; i < changes; ++i) {
        const size_t before = arrivals.Count();
        const auto sent = Clock::now();
        ::SendMessageW(hwnd, WM_USER + 1, static_cast<WPARAM>(10 + i % 2), 0);
        if (!arrivals.WaitBeyond(before, when)) break;
        agentMs.push_back(std::chrono::duration<double, std::milli>(when - sent).count());
        // Past the monitor's pause after each report, so that no change is folded into
        // the next one.
        ::Sleep(20);
    }

    std::vector<double> plainMs;
    CHttpClient client(L"127.0.0.1", server.port(), false);
    for (int i = 0; i < changes; ++i) {
        const size_t before = arrivals.Count();
        std::vector<char> body;
        const auto sent = Clock::now();
        client.Get(L"/pw/status/12/99", body);
        if (!arrivals.WaitBeyond(before, when)) break;
        plainMs.push_back(std::chrono::duration<double, std::milli>(when - sent).count());
    }

    ::PostMessageW(hwnd, WM_COMMAND, 32772, 0);
    WaitForWindow(false, 10000);
    ::DeleteFileW(exe.c_str());
    ::DeleteFileW(configPath.c_str());
    ::RemoveDirectoryW(install.c_str());

    std::printf("changes %zu\n", agentMs.size());
    Report("agent", agentMs);
    Report("plain_get", plainMs);
    std::printf("ratio_p50 %.2f\n", Percentile(agentMs, 0.5) / Percentile(plainMs, 0.5));
    return agentMs.size() == static_cast<size_t>(changes) ? 0 : 1;
}
