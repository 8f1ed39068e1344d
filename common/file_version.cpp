#include "common/file_version.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "common/text.h"

namespace {
// Main thread only, like the callers.
std::wstring g_versionError;

void ReadParts(const std::wstring& v, int parts[4]) {
    parts[0] = parts[1] = parts[2] = parts[3] = 0;
    if (swscanf(v.c_str(), L"%d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]) == 1)
        swscanf(v.c_str(), L"%d,%d,%d,%d", &parts[0], &parts[1], &parts[2], &parts[3]);
}
}  // namespace

const std::wstring& VersionErrorText() { return g_versionError; }

bool GetFileVersionString(const std::wstring& path, std::wstring& out) {
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) {
        g_versionError =
            Format(L"GetFileVersionInfoSize failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        g_versionError =
            Format(L"GetFileVersionInfo failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    std::wstring subBlock = L"\\StringFileInfo\\041104b0\\ProductVersion";
    void* translation = nullptr;
    UINT translationLength = 0;
    if (::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation,
                         &translationLength) &&
        translation && translationLength == 4) {
        const WORD* pair = static_cast<const WORD*>(translation);
        subBlock = Format(L"\\StringFileInfo\\%02X%02X%02X%02X\\ProductVersion", HIBYTE(pair[0]),
                          LOBYTE(pair[0]), HIBYTE(pair[1]), LOBYTE(pair[1]));
    }
    void* value = nullptr;
    UINT valueLength = 0;
    if (!::VerQueryValueW(block.data(), subBlock.c_str(), &value, &valueLength)) {
        g_versionError = L"VerQueryValue failed";
        return false;
    }
    out = value ? std::wstring(static_cast<const wchar_t*>(value)) : std::wstring();
    return true;
}

int CompareVersion(const std::wstring& a, const std::wstring& b) {
    int pa[4], pb[4];
    ReadParts(a, pa);
    ReadParts(b, pb);
    for (int i = 0; i < 4; ++i) {
        if (pa[i] != pb[i]) return pa[i] > pb[i] ? 1 : -1;
    }
    return 0;
}
