#include "common/text.h"

#include <ctime>
#include <cwchar>
#include <vector>

std::wstring FormatV(const wchar_t* format, va_list args) {
    va_list count_args;
    va_copy(count_args, args);
    const int length = _vscwprintf(format, count_args);
    va_end(count_args);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    _vsnwprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatV(format, args);
    va_end(args);
    return text;
}

std::wstring AnsiToWide(const char* data, size_t length) {
    if (length == 0) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(length), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(length), &text[0], n);
    return text;
}

std::wstring AnsiToWide(const std::string& text) { return AnsiToWide(text.data(), text.size()); }

std::string WideToAnsi(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                          nullptr, nullptr);
    return out;
}

std::wstring ModuleFilePath() {
    // Grow the buffer until the whole path fits: long install paths must not be cut.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(),
                                             static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring SystemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (n && buffer) text.assign(buffer, n);
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    if (text.empty()) text = Format(L"error %u", code);
    return text;
}

std::wstring FormatLocalTime(int64_t seconds, const wchar_t* pattern) {
    const __time64_t t = seconds;
    struct tm local{};
    if (_localtime64_s(&local, &t) != 0) return std::wstring();
    wchar_t buffer[128];
    const size_t n = wcsftime(buffer, 128, pattern, &local);
    return std::wstring(buffer, n);
}
