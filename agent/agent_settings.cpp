#include "agent/agent_settings.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

#include "agent/conf_document.h"
#include "agent/request_paths.h"
#include "common/file_version.h"
#include "common/http_client.h"
#include "common/text.h"

AgentSettings& Settings() {
    static AgentSettings settings;
    return settings;
}

std::wstring LocalAppDataFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, path)))
        return std::wstring();
    return path;
}

void EnsureFolder(const std::wstring& folder) {
    if (!::PathIsDirectoryW(folder.c_str())) ::CreateDirectoryW(folder.c_str(), nullptr);
}

std::wstring EnsureDataFolder(const std::wstring& localAppData) {
    const std::wstring company = localAppData + L"\\TAVRIK";
    EnsureFolder(company);
    const std::wstring dataFolder = company + L"\\Brenlo";
    EnsureFolder(dataFolder);
    return dataFolder;
}

namespace {

std::wstring ReadText(const wchar_t* section, const wchar_t* key, const wchar_t* fallback,
                      const std::wstring& file) {
    wchar_t buffer[1024] = {};
    ::GetPrivateProfileStringW(section, key, fallback, buffer, 1024, file.c_str());
    return buffer;
}

int ReadInt(const wchar_t* section, const wchar_t* key, int fallback, const std::wstring& file) {
    return static_cast<int>(::GetPrivateProfileIntW(section, key, fallback, file.c_str()));
}

}  // namespace

void LoadAgentSettingsFrom(const std::wstring& modulePath, const std::wstring& localAppData) {
    AgentSettings& s = Settings();
    // Values read from files start empty; the check timings keep their working defaults
    // even when nothing can be read, so that no monitor ever runs with a zero period.
    s.productVersion.clear();
    s.installFolder.clear();
    s.dataFolder.clear();
    s.logsFolder.clear();
    s.computerName.clear();
    s.hostId = 0;
    s.server.clear();
    s.port = 0;
    s.ssl = false;
    s.verifyCertificate = false;
    s.threshold = 600;
    s.cycle = 600;
    s.confPath.clear();
    s.checkPath.clear();
    s.statusPath.clear();
    s.versionPath.clear();
    s.installPath.clear();
    s.startDay.clear();
    s.startupStatus = 0;

    if (!modulePath.empty()) {
        GetFileVersionString(modulePath, s.productVersion);
        s.installFolder = FolderOf(modulePath);
    }
    if (s.installFolder.empty() || localAppData.empty()) return;

    s.dataFolder = EnsureDataFolder(localAppData);
    s.logsFolder = s.dataFolder + L"\\logs";
    EnsureFolder(s.logsFolder);

    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (::GetComputerNameW(computer, &size)) s.computerName = computer;

    const std::wstring config = s.installFolder + L"\\config.ini";
    s.hostId = ReadInt(L"Config", L"HostID", 0, config);
    s.server = ReadText(L"Config", L"Server", L"", config);
    s.port = ReadInt(L"Config", L"Port", 80, config);
    s.ssl = ReadInt(L"Config", L"SSL", 0, config) != 0;
    s.verifyCertificate = ReadInt(L"Config", L"VerifyCertificate", 0, config) != 0;
    SetVerifyCertificate(s.verifyCertificate);
    s.confPath = ReadText(L"Server", L"Conf", L"", config);
    s.checkPath = ReadText(L"Server", L"Check", L"", config);
    s.statusPath = ReadText(L"Server", L"Status", L"", config);
    s.versionPath = ReadText(L"Server", L"Version", L"/wz/attendance_conf/version", config);
    s.installPath = ReadText(L"Server", L"Install", L"/wz/attendance_conf/installlog", config);
    s.startDay = L"00:00:00";

    ApplyConfDocument();

    const std::wstring status = s.dataFolder + L"\\status.ini";
    s.startupStatus = _wtoi(ReadText(L"Status", L"Current", L"1", status).c_str());
}

void LoadAgentSettings() { LoadAgentSettingsFrom(ModuleFilePath(), LocalAppDataFolder()); }

bool ReportVersion() {
    const AgentSettings& s = Settings();
    if (s.productVersion.empty()) return false;
    CHttpClient client(s.server, s.port, s.ssl);
    std::vector<char> body;
    const int n = client.Get(VersionReportPath(), body);
    std::wstring text;
    if (client.Answered(n)) text = AnsiToWide(body.data(), static_cast<size_t>(n));
    return text == L"ok";
}
