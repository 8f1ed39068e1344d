// Round trips and throughput of CHttpClient::Get: `count` GETs of one path, each timed.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "common/http_client.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: http_bench HOST PORT PATH COUNT\n");
        return 2;
    }
    CHttpClient client(argv[1], _wtoi(argv[2]), false);
    const int count = _wtoi(argv[4]);
    std::vector<double> milliseconds;
    long long bytes = 0;
    for (int i = 0; i < count; ++i) {
        std::vector<char> body;
        const auto start = std::chrono::steady_clock::now();
        const int length = client.Get(argv[3], body);
        milliseconds.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (!client.Answered(length)) {
            std::fprintf(stderr, "request %d failed: error %lu status %lu\n", i,
                         client.ErrorNumber(), client.StatusCode());
            return 1;
        }
        bytes += length;
    }
    double total = 0;
    for (double m : milliseconds) total += m;
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("p50_ms %.3f\n", milliseconds[milliseconds.size() / 2]);
    std::printf("p99_ms %.3f\n", milliseconds[(milliseconds.size() * 99) / 100]);
    std::printf("seconds %.3f\n", total / 1000.0);
    std::printf("bytes %lld\n", bytes);
    return 0;
}
