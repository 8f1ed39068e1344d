#include "installer/msi_session.h"

#include "common/seam.h"

namespace setup {

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    DWORD size = 0;
    wchar_t empty[1] = L"";
    if (::MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return L"";
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (::MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
    value.resize(size);
    return value;
}

bool SetProperty(MSIHANDLE install, const wchar_t* name, const std::wstring& value) {
    return ::MsiSetPropertyW(install, name, value.c_str()) == ERROR_SUCCESS;
}

void Log(MSIHANDLE install, const std::wstring& text) {
    // Field 0 is a template: the text goes into field 1 so that brackets in paths stay as
    // they are.
    unique_msihandle record(::MsiCreateRecord(1));
    if (!record) return;
    ::MsiRecordSetStringW(record.get(), 0, L"[1]");
    ::MsiRecordSetStringW(record.get(), 1, text.c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.get());
}

std::wstring JoinRecords(const std::vector<Record>& records) {
    std::wstring text;
    for (const Record& record : records) {
        for (size_t i = 0; i < record.size(); ++i) {
            if (i) text += L'\t';
            text += record[i];
        }
        text += L'\n';
    }
    return text;
}

std::vector<Record> SplitRecords(const std::wstring& text) {
    std::vector<Record> records;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        Record record;
        size_t field = start;
        for (;;) {
            const size_t tab = text.find(L'\t', field);
            if (tab == std::wstring::npos || tab >= end) {
                record.push_back(text.substr(field, end - field));
                break;
            }
            record.push_back(text.substr(field, tab - field));
            field = tab + 1;
        }
        records.push_back(std::move(record));
        start = end + 1;
    }
    return records;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RunHidden(const std::wstring& commandLine, DWORD milliseconds, DWORD* exitCode) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                          &info)) {
        return false;
    }
    unique_handle process(info.hProcess);
    unique_handle thread(info.hThread);
    const DWORD start = seam::TickCount();
    while (::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        if (seam::TickCount() - start >= milliseconds) {
            ::TerminateProcess(process.get(), ERROR_TIMEOUT);
            return false;
        }
        seam::Sleep(50);
    }
    return ::GetExitCodeProcess(process.get(), exitCode) != FALSE;
}

std::wstring Remembered(const wchar_t* name) {
    // The package is 32-bit: its Registry table writes the 32-bit view.
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\TAVRIK\\Brenlo", 0,
                        KEY_QUERY_VALUE | KEY_WOW64_32KEY, &raw) != ERROR_SUCCESS) {
        return L"";
    }
    unique_hkey key(raw);
    wchar_t value[MAX_PATH + 1] = L"";
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value),
                           &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return L"";
    }
    value[size / sizeof(wchar_t)] = L'\0';
    return value;
}

std::wstring SystemProgram(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = L"";
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return name;
    return JoinPath(folder, name);
}

}  // namespace setup
