#include "test_support.h"

#include <vector>

#include "common/handles.h"
#include "common/log_writer.h"
#include "common/text.h"

namespace {
void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    unique_hfind find(::FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find.get(), &data));
    }
    find.reset();
    ::RemoveDirectoryW(path.c_str());
}
}  // namespace

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    static std::atomic<int> counter{0};
    for (;;) {
        path_ = Format(L"%spwtest_%u_%d", base, ::GetCurrentProcessId(), counter++);
        if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
    }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string ReadBytes(const std::wstring& path) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char block[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0)
        bytes.append(block, read);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                    nullptr));
    if (!file) return false;
    DWORD written = 0;
    return bytes.empty() || (::WriteFile(file.get(), bytes.data(),
                                         static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                             written == bytes.size());
}

bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring TestBinFolder() { return FolderOf(ModuleFilePath()); }

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

FakeClock::FakeClock() : previous_(seam::Install(this)) {}
FakeClock::~FakeClock() { seam::Install(previous_); }

void FakeClock::Sleep(DWORD milliseconds) {
    ++sleeps;
    sleptMilliseconds += milliseconds;
    if (onSleep) onSleep(milliseconds);
    ::Sleep(1);
}

LogCapture::LogCapture() {
    LogSetFolder(folder_.path());
    LogSetMirror(true);
}

LogCapture::~LogCapture() {
    LogStop();  // flushes what is queued and empties the mirror
    LogSetMirror(false);
}

std::wstring LogCapture::Text() const { return LogMirrorText(); }

std::vector<std::wstring> LogCapture::Lines() const {
    std::vector<std::wstring> lines;
    const std::wstring text = LogMirrorText();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        const size_t mark = line.find(L"|-|");
        if (mark != std::wstring::npos) line = line.substr(mark + 3);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::wstring> LogCapture::LinesStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> out;
    for (const std::wstring& line : Lines())
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
}

bool LogCapture::Has(const std::wstring& line) const {
    for (const std::wstring& l : Lines())
        if (l == line) return true;
    return false;
}
