// Drives the HTTP client from the command line so that end-to-end tests can point it at
// real servers and proxies. The connection comes from config.ini in the given folder (in
// the updater build through CUpdater, which also publishes proxy.ini).
//   get <folder> <path> <body file>      one Get; the body is written when answered
//   getfile <folder> <path> <file>       GetToFile (agent build)
//   post <folder> <local file> <path>    Connect, then PostFile (updater build)
// Prints one line of results and exits with 0.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/http_client.h"
#include "common/text.h"
#if defined(PW_UPDATER)
#include "updater/updater.h"
#endif

namespace {

struct Target {
    std::wstring server;
    int port = 80;
    bool ssl = false;
};

Target ReadTarget(const std::wstring& folder) {
    Target target;
#if defined(PW_UPDATER)
    CUpdater updater(folder);
    target.server = updater.m_server;
    target.port = updater.m_port;
    target.ssl = updater.m_ssl;
#else
    const std::wstring ini = folder + L"\\config.ini";
    wchar_t text[1024] = {};
    ::GetPrivateProfileStringW(L"Config", L"Server", L"", text, 1024, ini.c_str());
    target.server = text;
    target.port = ::GetPrivateProfileIntW(L"Config", L"Port", 80, ini.c_str());
    target.ssl = ::GetPrivateProfileIntW(L"Config", L"SSL", 0, ini.c_str()) != 0;
#endif
    return target;
}

void Print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        Print("usage: http_probe get|getfile|post <folder> <arg> <arg>");
        return 2;
    }
    const std::wstring command = argv[1];
    const Target target = ReadTarget(argv[2]);
    if (command == L"get") {
        CHttpClient client(target.server, target.port, target.ssl);
        std::vector<char> body;
        const int result = client.Get(argv[3], body);
        if (client.Answered(result)) {
            FILE* out = _wfopen(argv[4], L"wb");
            if (out) {
                std::fwrite(body.data(), 1, static_cast<size_t>(result), out);
                std::fclose(out);
            }
        }
        Print(WideToAnsi(Format(L"result=%d error=%lu status=%lu answered=%d", result,
                                client.ErrorNumber(), client.StatusCode(),
                                client.Answered(result) ? 1 : 0)));
        return 0;
    }
#if defined(PW_AGENT)
    if (command == L"getfile") {
        CHttpClient client(target.server, target.port, target.ssl);
        const bool stored = client.GetToFile(argv[3], argv[4]);
        Print(WideToAnsi(Format(L"stored=%d error=%lu status=%lu", stored ? 1 : 0,
                                client.ErrorNumber(), client.StatusCode())));
        return 0;
    }
#endif
#if defined(PW_UPDATER)
    if (command == L"post") {
        CFilePostClient client(L"filepost_session");
        const bool connected = client.Connect(target.server, target.port, target.ssl);
        std::wstring response;
        const bool posted = connected && client.PostFile(argv[3], argv[4], response);
        const DWORD error = client.ErrorNumber();
        client.Close();
        Print(WideToAnsi(Format(L"connect=%d post=%d error=%lu response=%s", connected ? 1 : 0,
                                posted ? 1 : 0, error, response.c_str())));
        return 0;
    }
#endif
    Print("unknown command");
    return 2;
}
