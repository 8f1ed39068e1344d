#include "updater/updater.h"

#include <windows.h>

#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/text.h"

CUpdater::CUpdater() { Construct(); }

CUpdater::CUpdater(const std::wstring& programFolder)
    : m_programFolder(programFolder), m_folderGiven(true) {
    Construct();
}

void CUpdater::Construct() {
    m_updateSettingsFile = L"update.ini";
    m_workFolderName = L"updatetmp";
    LoadSettings();
    PublishProxySettings(m_proxyServer, m_proxyPort, m_proxyUserName, m_proxyPassword);
    SetVerifyCertificate(m_verifyCertificate);
}

bool RelaunchFromTempCopy() {
    const std::wstring self = ModuleFilePath();
    std::wstring target;
    if (self.find(L'\\') != std::wstring::npos)
        target = Format(L"%s\\tmp_Updater.exe", FolderOf(self).c_str());

    ::DeleteFileW(target.c_str());
    ::CopyFileW(self.c_str(), target.c_str(), FALSE);

    std::wstring commandLine = Format(L"\"%s\" tmp", target.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                         nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    return true;
}

int RunUpdateMode() {
    LogSetMirror(true);
    const std::wstring self = ModuleFilePath();
    if (self.find(L'\\') != std::wstring::npos)
        LogSetFolder(Format(L"%s\\updatelog", FolderOf(self).c_str()));
    LogStart();
    {
        CUpdater updater;
        Log(L"updater: boot");

        bool upload = true;
        // A run that died during the replacement is undone first, before any request.
        if (RecoverInterruptedRun(updater) && updater.DownloadList() && updater.ReadList()) {
            if (!updater.CheckList()) {
                Log(L"no update");
                upload = false;
            } else if (updater.DownloadFiles()) {
                Log(L"Terminator: ");
                updater.Terminator();
                // A failed backup or replacement has put every file back as it was: what
                // was stopped runs again, but no new version is reported.
                const bool replaced = updater.BackupFiles() && updater.UpdateFiles();
                Log(L"Launcher: ");
                updater.Launcher();
                updater.m_journal.Close();
                if (replaced) updater.Complete();
            }
        }
        if (upload) updater.UploadLog(LogMirrorText());

        LogStop();
    }
    return 0;
}
