#include <windows.h>

#include <string>

#include "common/log_writer.h"
#include "updater/updater.h"

namespace {

// The fatal messages go to standard output: as wide text on a console, in the console's
// code page when redirected.
void PrintFatal(const std::wstring& message) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (::WriteConsoleW(out, message.data(), static_cast<DWORD>(message.size()), &written,
                        nullptr))
        return;
    UINT codePage = ::GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_ACP;
    const int n = ::WideCharToMultiByte(codePage, 0, message.data(),
                                        static_cast<int>(message.size()), nullptr, 0, nullptr,
                                        nullptr);
    if (n <= 0) return;
    std::string bytes(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(codePage, 0, message.data(), static_cast<int>(message.size()),
                          &bytes[0], n, nullptr, nullptr);
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** /*argv*/) {
    if (!::GetModuleHandleW(nullptr)) {
        PrintFatal(L"致命的なエラー: GetModuleHandle が失敗しました\n");
        return 1;
    }
    // The runtime this program needs before anything else: the log writer's queue lock.
    if (!LogReady()) {
        PrintFatal(L"致命的なエラー: MFC の初期化ができませんでした。\n");
        return 1;
    }
    if (argc == 1) {
        RelaunchFromTempCopy();
        return 0;
    }
    return RunUpdateMode();
}
