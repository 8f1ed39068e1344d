// The update check over an installation that is already current: ReadList and CheckList
// over every row, timed, with the process's peak memory.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>

#include "common/log_writer.h"
#include "updater/updater.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: check_bench PROGRAM_FOLDER\n");
        return 2;
    }
    LogSetFolder(std::wstring(argv[1]) + L"\\updatelog");
    CUpdater updater(argv[1]);
    const auto start = std::chrono::steady_clock::now();
    const bool read = updater.ReadList();
    const bool anything = updater.CheckList();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("read %d\n", read ? 1 : 0);
    std::printf("rows %u\n", static_cast<unsigned>(updater.m_listRows.size()));
    std::printf("to_update %u\n", static_cast<unsigned>(updater.m_updateSet.size()));
    std::printf("anything %d\n", anything ? 1 : 0);
    std::printf("seconds %.3f\n", seconds);
    std::printf("peak_working_set_kib %lu\n",
                static_cast<unsigned long>(counters.PeakWorkingSetSize / 1024));
    std::printf("peak_pagefile_kib %lu\n",
                static_cast<unsigned long>(counters.PeakPagefileUsage / 1024));
    LogStop();
    return 0;
}
