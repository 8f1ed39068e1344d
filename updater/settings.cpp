#include <windows.h>

#include "common/text.h"
#include "updater/updater.h"

namespace {

std::wstring ReadString(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buffer[1024];
    ::GetPrivateProfileStringW(section, key, L"", buffer, 1024, file.c_str());
    return buffer;
}

int ReadInt(const std::wstring& file, const wchar_t* section, const wchar_t* key, int fallback) {
    return static_cast<int>(::GetPrivateProfileIntW(section, key, fallback, file.c_str()));
}

// Keys "1" to "9"; the first missing or empty key ends the list.
std::vector<std::wstring> ReadNumberedList(const std::wstring& file, const wchar_t* section) {
    std::vector<std::wstring> list;
    for (int i = 1; i <= 9; ++i) {
        const std::wstring value = ReadString(file, section, Format(L"%d", i).c_str());
        if (value.empty()) break;
        list.push_back(value);
    }
    return list;
}

}  // namespace

bool CUpdater::LoadSettings() {
    if (!m_folderGiven) m_programFolder = FolderOf(ModuleFilePath());

    const std::wstring config = Format(L"%s\\config.ini", m_programFolder.c_str());
    m_server = ReadString(config, L"Config", L"Server");
    m_port = ReadInt(config, L"Config", L"Port", 80);
    m_psid = ReadInt(config, L"Config", L"PSID", 80);
    m_hostId = ReadInt(config, L"Config", L"HostID", 80);
    m_ssl = ReadInt(config, L"Config", L"SSL", 0) != 0;
    m_verifyCertificate = ReadInt(config, L"Config", L"VerifyCertificate", 0) != 0;

    const std::wstring update = m_programFolder + L"\\" + m_updateSettingsFile;
    m_versionSetting = ReadString(update, L"Update", L"Version");
    m_versionHashSetting = ReadString(update, L"Update", L"VersionHash");
    m_moduleSetting = ReadString(update, L"Update", L"Module");
    m_moduleHashSetting = ReadString(update, L"Update", L"ModuleHash");
    m_listPath = ReadString(update, L"Update", L"List");
    m_listHashPath = ReadString(update, L"Update", L"ListHash");
    m_modulesPath = ReadString(update, L"Update", L"Modules");
    m_completePath = ReadString(update, L"Update", L"Complete");
    m_logPath = ReadString(update, L"Update", L"Log");
    m_publicKey = ReadString(update, L"Update", L"PublicKey");
    m_listSignaturePath = ReadString(update, L"Update", L"ListSignature");

    m_stopList = ReadNumberedList(update, L"Stop");
    m_startList = ReadNumberedList(update, L"Start");

    const std::wstring proxy = Format(L"%s\\proxy.ini", m_programFolder.c_str());
    m_proxyServer = ReadString(proxy, L"Proxy", L"Server");
    m_proxyUserName = ReadString(proxy, L"Proxy", L"UserName");
    m_proxyPassword = ReadString(proxy, L"Proxy", L"Password");
    m_proxyPort = ReadInt(proxy, L"Proxy", L"Port", 0);
    return true;
}
