// The update run: settings, list rows and the steps of one run.
#pragma once
#include <string>
#include <vector>

#include "updater/update_journal.h"

class CFileDigest;

// One row of list.txt.
struct _updateListData {
    std::wstring name;
    std::wstring version;
    std::wstring digest;
    std::wstring folder;
    bool downloadOnly = false;
};

class CUpdater {
public:
    // Settings come from the INI files beside the running executable.
    CUpdater();
    // Settings come from the INI files in `programFolder` (tests run from elsewhere).
    explicit CUpdater(const std::wstring& programFolder);

    bool LoadSettings();

    bool DownloadList();
    bool ReadList();
    bool CheckList();
    bool DownloadFiles();
    bool Terminator();
    // False when a file could not be backed up (BackupFiles) or put in place (UpdateFiles):
    // every file the run had touched is then put back as it was.
    bool BackupFiles();
    bool UpdateFiles();
    bool Launcher();
    bool Complete();
    bool UploadLog(std::wstring text);

    // Paths of one row: the working folder holds every download flat; the installed file
    // lies in `folder` below the program folder unless that is empty or ".".
    std::wstring WorkFolder() const;
    std::wstring StagingPath(const _updateListData& row) const;
    std::wstring InstalledPath(const _updateListData& row) const;

    // Members in the order of the run object.
    std::wstring m_programFolder;
    std::wstring m_updateSettingsFile;
    std::wstring m_workFolderName;
    std::wstring m_server;
    int m_port = 80;
    bool m_ssl = false;
    int m_psid = 80;
    int m_hostId = 80;
    std::wstring m_versionSetting;
    std::wstring m_versionHashSetting;
    std::wstring m_moduleSetting;
    std::wstring m_moduleHashSetting;
    std::wstring m_listPath;
    std::wstring m_listHashPath;
    std::wstring m_modulesPath;
    std::wstring m_completePath;
    std::wstring m_logPath;
    std::vector<std::wstring> m_stopList;
    std::vector<std::wstring> m_startList;
    std::vector<_updateListData> m_listRows;
    std::vector<_updateListData> m_updateSet;
    std::vector<_updateListData> m_downloadedSet;
    std::wstring m_proxyServer;
    std::wstring m_proxyUserName;
    std::wstring m_proxyPassword;
    int m_proxyPort = 0;

    // ---- Replacement journal and rollback (update_journal.cpp)
    std::wstring JournalPath() const;
    CUpdateJournal m_journal;

    // Signed lists, on when update.ini names the publisher's key: base64 of its DER
    // SubjectPublicKeyInfo, and the server path of the list's detached signature.
    std::wstring m_publicKey;
    std::wstring m_listSignaturePath;
    // config.ini VerifyCertificate: secure requests keep the platform's certificate checks.
    bool m_verifyCertificate = false;
    // After the list's digest matched: fetches the signature, verifies it over the stored
    // list and checks the list's expiry. Logs its own failures.
    bool VerifyListSignature(const std::wstring& listFile);

private:
    void Construct();
    bool m_folderGiven = false;
};

// Copies the running executable to "tmp_Updater.exe" beside it and starts the copy with
// "tmp". Always true.
bool RelaunchFromTempCopy();

// One update run (the updater started with an argument). Returns the exit code.
int RunUpdateMode();
