// The cost of a signed list: the list download it protects beside the signature's own
// request and its verification, `count` rounds each timed.
//   signature_bench HOST PORT LIST_PATH SIGNATURE_PATH KEY_FILE COUNT
// KEY_FILE holds the PublicKey value (base64 of the DER SubjectPublicKeyInfo).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/http_client.h"
#include "common/signature_verifier.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool Fetch(CHttpClient& client, const wchar_t* path, std::vector<char>& body, int& length) {
    length = client.Get(path, body);
    if (client.Answered(length)) return true;
    std::fprintf(stderr, "GET failed: error %lu status %lu\n", client.ErrorNumber(),
                 client.StatusCode());
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: signature_bench HOST PORT LIST SIGNATURE KEY_FILE COUNT\n");
        return 2;
    }
    std::ifstream keyFile(argv[5], std::ios::binary);
    const std::string keyText((std::istreambuf_iterator<char>(keyFile)),
                              std::istreambuf_iterator<char>());
    const std::wstring key(keyText.begin(), keyText.end());
    CHttpClient client(argv[1], _wtoi(argv[2]), false);
    const int count = _wtoi(argv[6]);

    std::vector<double> download, fetch, setup, verify;
    size_t listBytes = 0;
    for (int i = 0; i < count; ++i) {
        std::vector<char> list, signature;
        int listLength = 0, signatureLength = 0;
        auto start = Clock::now();
        if (!Fetch(client, argv[3], list, listLength)) return 1;
        download.push_back(Since(start));

        start = Clock::now();
        if (!Fetch(client, argv[4], signature, signatureLength)) return 1;
        fetch.push_back(Since(start));

        // What the updater does per run: a provider, the key, one verification.
        start = Clock::now();
        CSignatureVerifier verifier;
        if (!verifier.ImportPublicKey(key)) {
            std::fprintf(stderr, "key refused\n");
            return 1;
        }
        setup.push_back(Since(start));
        start = Clock::now();
        if (!verifier.Verify(list.data(), static_cast<size_t>(listLength), signature.data(),
                             static_cast<size_t>(signatureLength))) {
            std::fprintf(stderr, "verification failed\n");
            return 1;
        }
        verify.push_back(Since(start));
        listBytes = static_cast<size_t>(listLength);
    }
    const double d = Median(download), f = Median(fetch), k = Median(setup), v = Median(verify);
    std::printf("list_bytes %zu\n", listBytes);
    std::printf("download_p50_ms %.3f\n", d);
    std::printf("signature_fetch_p50_ms %.3f\n", f);
    std::printf("key_p50_ms %.3f\n", k);
    std::printf("verify_p50_ms %.3f\n", v);
    std::printf("ratio_check %.3f\n", (f + k + v) / d);
    return 0;
}
