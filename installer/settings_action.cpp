// Settings from msiexec properties into the programs' INI files. The files belong to the
// administrator, not to the package: they are written only here, so an upgrade or a repair
// leaves every value in place, and a key whose property is not given is never written.
#include <map>
#include <string>

#include "installer/msi_session.h"
#include "installer/setup_actions.h"

namespace {

struct SettingKey {
    const wchar_t* property;
    const wchar_t* file;
    const wchar_t* section;
    const wchar_t* key;
};

constexpr SettingKey kSettingKeys[] = {
    {L"SERVER", L"config.ini", L"Config", L"Server"},
    {L"PORT", L"config.ini", L"Config", L"Port"},
    {L"SSL", L"config.ini", L"Config", L"SSL"},
    {L"HOSTID", L"config.ini", L"Config", L"HostID"},
    {L"STATUSPATH", L"config.ini", L"Server", L"Status"},
    {L"CHECKPATH", L"config.ini", L"Server", L"Check"},
    {L"CONFPATH", L"config.ini", L"Server", L"Conf"},
    {L"VERSIONPATH", L"config.ini", L"Server", L"Version"},
    {L"INSTALLPATH", L"config.ini", L"Server", L"Install"},
    {L"LISTPATH", L"update.ini", L"Update", L"List"},
    {L"LISTHASHPATH", L"update.ini", L"Update", L"ListHash"},
    {L"MODULESPATH", L"update.ini", L"Update", L"Modules"},
    {L"COMPLETEPATH", L"update.ini", L"Update", L"Complete"},
    {L"LOGPATH", L"update.ini", L"Update", L"Log"},
    {L"PROXYSERVER", L"proxy.ini", L"Proxy", L"Server"},
    {L"PROXYPORT", L"proxy.ini", L"Proxy", L"Port"},
    {L"PROXYUSER", L"proxy.ini", L"Proxy", L"UserName"},
    {L"PROXYPASSWORD", L"proxy.ini", L"Proxy", L"Password"},
};

constexpr const wchar_t* kSettingFiles[] = {L"config.ini", L"update.ini", L"proxy.ini"};
// A settings file is small: a larger prepared one is refused, a larger installed one left
// as it is.
constexpr DWORD kMaxKeptSize = 1 << 20;

// The folder of the .msi being installed, where an administrator may put prepared files.
std::wstring PackageFolder(MSIHANDLE install) {
    const std::wstring package = setup::Property(install, L"OriginalDatabase");
    const size_t slash = package.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : package.substr(0, slash);
}

std::wstring ReadIni(const std::wstring& path, const wchar_t* section, const wchar_t* key) {
    wchar_t value[1024] = L"";
    ::GetPrivateProfileStringW(section, key, L"", value, 1024, path.c_str());
    return value;
}

// A settings file's bytes as hexadecimal text; false when there is no such file.
bool ReadWhole(const std::wstring& path, std::wstring* hex) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size)) return false;
    if (size.QuadPart > kMaxKeptSize) {
        ::SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size())) {
        return false;
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    hex->clear();
    for (unsigned char c : bytes) {
        *hex += kDigits[c >> 4];
        *hex += kDigits[c & 15];
    }
    return true;
}

bool WriteWhole(const std::wstring& path, const std::wstring& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        auto digit = [](wchar_t c) { return c <= L'9' ? c - L'0' : c - L'a' + 10; };
        bytes += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
    }
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           (bytes.empty() || (::WriteFile(file.get(), bytes.data(),
                                          static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                              written == bytes.size()));
}

bool CreateEmptyFile(const std::wstring& path) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    return file || ::GetLastError() == ERROR_FILE_EXISTS;
}

}  // namespace

// Immediate, before the folders are resolved: a package already installed is found in the
// folder it was installed to, unless INSTALLDIR is given now.
extern "C" UINT __stdcall RestoreInstallDir(MSIHANDLE install) {
    if (!setup::Property(install, L"INSTALLDIR").empty()) return ERROR_SUCCESS;
    const std::wstring folder = setup::Remembered(L"InstallDir");
    if (folder.empty()) return ERROR_SUCCESS;
    setup::Log(install, L"RestoreInstallDir: " + folder);
    return setup::SetProperty(install, L"INSTALLDIR", folder) ? ERROR_SUCCESS
                                                              : ERROR_INSTALL_FAILURE;
}

// Immediate: collects the given properties for WriteSettings, which runs with the rights
// the install folder needs but can't read properties.
extern "C" UINT __stdcall PrepareSettings(MSIHANDLE install) {
    const std::wstring folder = setup::Property(install, L"INSTALLDIR");
    if (folder.empty()) {
        setup::Log(install, L"PrepareSettings: INSTALLDIR is empty");
        return ERROR_INSTALL_FAILURE;
    }
    std::vector<setup::Record> records{{L"folder", folder}};
    // Prepared files replace the installed ones only when a package is installed (first
    // installation or upgrade), not on a repair run from wherever the package is cached.
    // They are read here, in the context of whoever started the installation, who can read
    // the package's folder (a share, say) as LocalSystem might not.
    const bool installing = setup::Property(install, L"Installed").empty();
    const std::wstring source = installing ? PackageFolder(install) : L"";
    for (const wchar_t* name : kSettingFiles) {
        const std::wstring path = source.empty() ? L"" : setup::JoinPath(source, name);
        if (path.empty() || !setup::IsFile(path)) continue;
        std::wstring hex;
        if (!ReadWhole(path, &hex)) {
            setup::Log(install, L"PrepareSettings: cannot read the prepared " + path + L" (error " +
                                    std::to_wstring(::GetLastError()) + L"); nothing installed");
            return ERROR_INSTALL_FAILURE;
        }
        setup::Log(install, L"PrepareSettings: installing the prepared " + path);
        records.push_back({L"prepared", name, hex});
    }

    // The installed files, whole (sections such as Stop and Start too), read before an
    // older package is removed: its removal may take them with it.
    for (const wchar_t* name : kSettingFiles) {
        const std::wstring path = setup::JoinPath(folder, name);
        std::wstring hex;
        if (ReadWhole(path, &hex)) {
            records.push_back({L"keep", name, hex});
        } else if (setup::IsFile(path)) {
            setup::Log(install, L"PrepareSettings: cannot read the installed " + path +
                                    L" (error " + std::to_wstring(::GetLastError()) +
                                    L"); left as it is");
        }
    }

    std::wstring server = setup::Property(install, L"SERVER");
    for (const SettingKey& setting : kSettingKeys) {
        const std::wstring value = setup::Property(install, setting.property);
        if (value.empty()) continue;
        // A line break would write further keys of the administrator's choosing.
        if (value.find_first_of(L"\r\n\t") != std::wstring::npos) {
            setup::Log(install, std::wstring(L"PrepareSettings: ") + setting.property +
                                    L" holds a line break or a tab; nothing installed");
            return ERROR_INSTALL_FAILURE;
        }
        records.push_back({L"set", setting.file, setting.section, setting.key, value});
    }
    if (server.empty() && !source.empty()) {
        server = ReadIni(setup::JoinPath(source, L"config.ini"), L"Config", L"Server");
    }
    // The install report needs a server; without one there is nobody to tell.
    if (!server.empty()) setup::SetProperty(install, L"PW_REPORT", L"1");

    std::wstring task;
    if (!setup::PrepareUpdateTask(install, folder, &task)) return ERROR_INSTALL_FAILURE;
    setup::SetProperty(install, L"CreateUpdateTask", task);
    const std::wstring data = setup::JoinRecords(records);
    return setup::SetProperty(install, L"WriteSettings", data) &&
                   setup::SetProperty(install, L"RollbackSettings", data)
               ? ERROR_SUCCESS
               : ERROR_INSTALL_FAILURE;
}

// Deferred, as LocalSystem: the prepared files (or the kept ones), then the given keys. The
// data is also RollbackSettings', which undoes this when the installation fails later.
extern "C" UINT __stdcall WriteSettings(MSIHANDLE install) {
    const auto records = setup::SplitRecords(setup::Property(install, L"CustomActionData"));
    std::wstring folder;
    std::map<std::wstring, std::wstring> prepared, kept;
    for (const auto& record : records) {
        if (record.size() == 2 && record[0] == L"folder") folder = record[1];
        if (record.size() == 3 && record[0] == L"prepared") prepared[record[1]] = record[2];
        if (record.size() == 3 && record[0] == L"keep") kept[record[1]] = record[2];
    }
    if (folder.empty()) {
        setup::Log(install, L"WriteSettings: no install folder");
        return ERROR_INSTALL_FAILURE;
    }
    for (const wchar_t* name : kSettingFiles) {
        const std::wstring target = setup::JoinPath(folder, name);
        const std::wstring* whole = nullptr;
        if (const auto it = prepared.find(name); it != prepared.end()) {
            whole = &it->second;
        } else if (const auto kit = kept.find(name); kit != kept.end()) {
            whole = &kit->second;
        }
        if (whole) {
            if (!WriteWhole(target, *whole)) {
                setup::Log(install, L"WriteSettings: cannot write " + target + L" (error " +
                                        std::to_wstring(::GetLastError()) + L")");
                return ERROR_INSTALL_FAILURE;
            }
        } else if (!CreateEmptyFile(target)) {
            setup::Log(install, L"WriteSettings: cannot create " + target + L" (error " +
                                    std::to_wstring(::GetLastError()) + L")");
            return ERROR_INSTALL_FAILURE;
        }
    }
    for (const auto& record : records) {
        if (record.size() != 5 || record[0] != L"set") continue;
        const std::wstring path = setup::JoinPath(folder, record[1]);
        if (!::WritePrivateProfileStringW(record[2].c_str(), record[3].c_str(), record[4].c_str(),
                                          path.c_str())) {
            setup::Log(install, L"WriteSettings: cannot write " + record[2] + L"/" + record[3] +
                                    L" in " + path + L" (error " +
                                    std::to_wstring(::GetLastError()) + L")");
            return ERROR_INSTALL_FAILURE;
        }
        // The value itself stays out of the log: it may be the proxy password.
        setup::Log(install, L"WriteSettings: " + record[1] + L" " + record[2] + L"/" + record[3]);
    }
    for (const wchar_t* name : kSettingFiles) {
        ::WritePrivateProfileStringW(nullptr, nullptr, nullptr,
                                     setup::JoinPath(folder, name).c_str());
    }
    return ERROR_SUCCESS;
}

// Rollback of WriteSettings: the files as they were, and none where there were none.
extern "C" UINT __stdcall RollbackSettings(MSIHANDLE install) {
    std::wstring folder;
    std::map<std::wstring, std::wstring> kept;
    for (const auto& record : setup::SplitRecords(setup::Property(install, L"CustomActionData"))) {
        if (record.size() == 2 && record[0] == L"folder") folder = record[1];
        if (record.size() == 3 && record[0] == L"keep") kept[record[1]] = record[2];
    }
    if (folder.empty()) return ERROR_SUCCESS;
    for (const wchar_t* name : kSettingFiles) {
        const std::wstring target = setup::JoinPath(folder, name);
        const auto keep = kept.find(name);
        if (keep != kept.end()
                ? !WriteWhole(target, keep->second)
                : !::DeleteFileW(target.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
            setup::Log(install, L"RollbackSettings: cannot restore " + target + L" (error " +
                                    std::to_wstring(::GetLastError()) + L")");
        }
    }
    return ERROR_SUCCESS;
}
