// Cost of one Log() call from 1 and 4 threads, and the writer's sustained lines per second.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/log_writer.h"
#include "common/text.h"

namespace {

double NanosecondsPerCall(int threads, int callsPerThread) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([=] {
            for (int i = 0; i < callsPerThread; ++i)
                Log(L"bench: thread %d call %d %s", t, i, L"some text of a usual length");
        });
    for (auto& w : workers) w.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
    return ns / (static_cast<double>(threads) * callsPerThread);
}

size_t FileLines(const std::wstring& path) {
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    size_t lines = 0;
    char block[65536];
    DWORD read = 0;
    while (::ReadFile(f, block, sizeof(block), &read, nullptr) && read > 0)
        for (DWORD i = 0; i < read; ++i) lines += block[i] == '\n';
    ::CloseHandle(f);
    return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring folder = argc > 1 ? argv[1] : L".\\benchlog";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    LogSetFolder(folder);

    // The queue is unbounded; calls are measured without the writer running.
    const double one = NanosecondsPerCall(1, 200000);
    const double four = NanosecondsPerCall(4, 50000);
    std::printf("log_call_ns_1_thread %.0f\n", one);
    std::printf("log_call_ns_4_threads %.0f\n", four);
    LogStop();  // writes the 400000 queued lines in one final flush
    ::DeleteFileW((folder + L"\\log.txt").c_str());

    const int kLines = 1000;
    for (int i = 0; i < kLines; ++i) Log(L"sustained %d", i);
    const auto start = std::chrono::steady_clock::now();
    LogStart();
    while (FileLines(folder + L"\\log.txt") < static_cast<size_t>(kLines)) ::Sleep(5);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    LogStop();
    std::printf("writer_lines_per_second %.0f\n", kLines / seconds);
    return 0;
}
