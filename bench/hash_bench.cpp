// HashFile throughput on one large file and the process's peak memory while hashing.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>

#include "common/file_digest.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hash_bench FILE\n");
        return 2;
    }
    CFileDigest digest;
    std::wstring out;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = digest.HashFile(argv[1], out);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    if (!ok) {
        std::fprintf(stderr, "HashFile failed\n");
        return 1;
    }
    std::printf("digest %ls\n", out.c_str());
    std::printf("seconds %.3f\n", seconds);
    std::printf("peak_working_set_kib %lu\n",
                static_cast<unsigned long>(counters.PeakWorkingSetSize / 1024));
    std::printf("peak_pagefile_kib %lu\n",
                static_cast<unsigned long>(counters.PeakPagefileUsage / 1024));
    return 0;
}
