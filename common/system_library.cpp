#include "common/system_library.h"

#include <vector>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

std::wstring SystemFolder() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT length = ::GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) return std::wstring();
        if (length < buffer.size()) {
            std::wstring folder(buffer.data(), length);
            while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
            return folder;
        }
        buffer.resize(length + 1);  // the size needed, terminator included
    }
    return std::wstring();
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
    if (HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        return module;
    if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
    const std::wstring folder = SystemFolder();
    if (folder.empty()) return nullptr;
    return ::LoadLibraryW((folder + L"\\" + name).c_str());
}
