#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/file_digest.h"
#include "common/file_version.h"
#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/text.h"
#include "updater/step_support.h"
#include "updater/updater.h"

namespace {

constexpr int kAttempts = 5;
constexpr DWORD kDownloadWait = 10000;
// Time given to the file system (and scanners) after a copy before it is verified.
constexpr DWORD kCopyWait = 2000;

}  // namespace

bool CUpdater::DownloadFiles() {
    Log(L"DownloadFiles: %d file(s)", static_cast<int>(m_updateSet.size()));
    CHttpClient client(m_server, m_port, m_ssl);
    CFileDigest digest;
    m_downloadedSet.clear();

    for (const _updateListData& row : m_updateSet) {
        Log(L"DownloadFiles: [%s]", row.name.c_str());
        const std::wstring staging = StagingPath(row);
        const std::wstring serverPath = Format(L"%s/%s", m_modulesPath.c_str(), row.name.c_str());

        for (int attempt = 1;; ++attempt) {
            bool digestMismatch = false;
            std::vector<char> body;
            const int length = client.Get(serverPath, body);
            const bool stored =
                client.Answered(length) && step::WriteWholeFile(staging, body.data(), length);
            body.clear();
            body.shrink_to_fit();
            if (!stored && client.StatusCode() == 404) {
                Log(L"DownloadFiles: not found");
                break;
            }
            if (stored) {
                std::wstring received;
                if (!digest.Acquired() || !step::HashWithRetries(digest, staging, received)) {
                    Log(L"DownloadFiles: hasherror:%s", digest.LastError().c_str());
                    received.clear();
                }
                digestMismatch = received.empty() || !step::EqualsIgnoringCase(received, row.digest);
                if (!digestMismatch) {
                    if (row.version == L"0") {
                        m_downloadedSet.push_back(row);
                        break;
                    }
                    std::wstring version;
                    if (!GetFileVersionString(staging, version))
                        Log(L"DownloadFiles: versionerror:%s", VersionErrorText().c_str());
                    if (CompareVersion(version, row.version) == 0)
                        m_downloadedSet.push_back(row);
                    else
                        Log(L"DownloadFiles: ver unmatch:[%s]", version.c_str());
                    break;  // a wrong version comes again on a retry: not retried
                }
            }
            if (attempt == kAttempts) {
                if (digestMismatch) {
                    Log(L"DownloadFiles: hash unmatch");
                    ::DeleteFileW(staging.c_str());
                } else {
                    Log(L"DownloadFiles: connect err:%d httpstatus:%d", client.ErrorNumber(),
                        client.StatusCode());
                }
                break;
            }
            seam::Sleep(kDownloadWait);
        }
    }
    return !m_downloadedSet.empty();
}

// Only the files that UpdateFiles will replace are moved away: a download-only row, or a
// file that an earlier run left in the working folder, keeps its installed file.
bool CUpdater::BackupFiles() {
    m_backedUp.clear();
    const std::wstring backupFolder = Format(L"%s\\backup", m_programFolder.c_str());
    ::CreateDirectoryW(backupFolder.c_str(), nullptr);
    CFileDigest digest;

    for (const _updateListData& row : m_downloadedSet) {
        if (row.downloadOnly) continue;
        if (!step::Exists(StagingPath(row))) continue;
        const std::wstring installed = InstalledPath(row);
        if (!step::Exists(installed)) continue;

        std::wstring version;
        if (!GetFileVersionString(installed, version))
            Log(L"BackupFiles: versionerror:%s", VersionErrorText().c_str());
        const std::wstring backup = Format(L"%s\\backup\\%s_%s", m_programFolder.c_str(),
                                           version.c_str(), row.name.c_str());

        std::wstring source;
        if (!digest.Acquired() || !step::HashWithRetries(digest, installed, source)) {
            Log(L"BackupFiles: hasherror:%s", digest.LastError().c_str());
            source.clear();
        }
        Log(L"BackupFiles: org hash:%s", source.c_str());

        bool saved = false;
        for (int attempt = 0; attempt < kAttempts && !saved; ++attempt) {
            ::CopyFileW(installed.c_str(), backup.c_str(), FALSE);
            seam::Sleep(kCopyWait);
            std::wstring copy;
            if (!digest.HashFile(backup, copy)) {
                Log(L"BackupFiles: hasherror:%s", digest.LastError().c_str());
                continue;
            }
            if (!source.empty() && step::EqualsIgnoringCase(copy, source)) {
                Log(L"BackupFiles: dst hash:%s", copy.c_str());
                ::DeleteFileW(installed.c_str());
                m_backedUp.push_back({row.name, installed, backup, source});
                saved = true;
            }
        }
        if (!saved) Log(L"BackupFiles: error");
    }
    return true;
}

bool CUpdater::UpdateFiles() {
    Log(L"UpdateFiles: start %d file(s)", static_cast<int>(m_downloadedSet.size()));
    CFileDigest digest;
    std::vector<std::wstring> replaced;

    for (const _updateListData& row : m_downloadedSet) {
        if (row.downloadOnly) continue;
        const std::wstring staging = StagingPath(row);
        if (!row.folder.empty() && row.folder != L".") {
            const std::wstring folder =
                Format(L"%s\\%s", m_programFolder.c_str(), row.folder.c_str());
            if (!step::IsFolder(folder)) ::CreateDirectoryW(folder.c_str(), nullptr);
        }
        const std::wstring installed = InstalledPath(row);
        Log(L"UpdateFiles: [%s]", row.name.c_str());
        if (!step::Exists(staging)) continue;

        std::wstring expected;
        if (!digest.Acquired() || !step::HashWithRetries(digest, staging, expected)) {
            Log(L"UpdateFiles: hasherror:%s", digest.LastError().c_str());
            expected.clear();
        }

        bool done = false;
        for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
            ::CopyFileW(staging.c_str(), installed.c_str(), FALSE);
            seam::Sleep(kCopyWait);
            std::wstring copy;
            if (!expected.empty() && digest.HashFile(installed, copy) &&
                step::EqualsIgnoringCase(copy, expected)) {
                ::DeleteFileW(staging.c_str());
                done = true;
            }
        }
        if (!done) {
            Log(L"UpdateFiles: error");
            RestoreBackups(digest, replaced);
            return false;
        }
        replaced.push_back(installed);
    }
    return true;
}

// After a failed replacement, every file that was moved to the backup folder and has not
// been replaced yet goes back to its place, so that no installed file is left missing.
void CUpdater::RestoreBackups(CFileDigest& digest, const std::vector<std::wstring>& replaced) {
    for (const BackedUpFile& file : m_backedUp) {
        if (std::find(replaced.begin(), replaced.end(), file.installedPath) != replaced.end())
            continue;
        Log(L"UpdateFiles: restore [%s]", file.name.c_str());
        bool restored = false;
        for (int attempt = 0; attempt < kAttempts && !restored; ++attempt) {
            if (attempt > 0) seam::Sleep(kCopyWait);
            ::CopyFileW(file.backupPath.c_str(), file.installedPath.c_str(), FALSE);
            std::wstring copy;
            restored =
                digest.HashFile(file.installedPath, copy) && step::EqualsIgnoringCase(copy, file.digest);
        }
        if (!restored) Log(L"UpdateFiles: restore error [%s]", file.name.c_str());
    }
}
