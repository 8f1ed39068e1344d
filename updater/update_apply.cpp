#include <windows.h>

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
    step::RowDigests digests;
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
                CFileDigest& digest = digests.For(row.digest);
                std::wstring received;
                if (!digest.Acquired() || !step::HashWithRetries(digest, staging, received)) {
                    Log(L"DownloadFiles: hasherror:%s", digest.LastError().c_str());
                    received.clear();
                }
                digestMismatch =
                    received.empty() || !step::EqualsIgnoringCase(received, row.digest);
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
// The whole plan, with the digest of every installed file, goes into the journal before
// the first file is moved; a backup that can't be verified puts back what was moved and
// nothing is replaced.
bool CUpdater::BackupFiles() {
    const std::wstring backupFolder = Format(L"%s\\backup", m_programFolder.c_str());
    ::CreateDirectoryW(backupFolder.c_str(), nullptr);
    step::RowDigests digests;

    // What each row's step will log, found while planning and logged in row order.
    struct Note {
        std::wstring versionError;
        std::wstring hashError;
        bool hashFailed = false;
        const _updateListData* row = nullptr;
    };
    std::vector<_journalEntry> plan;
    std::vector<Note> notes;
    for (const _updateListData& row : m_downloadedSet) {
        if (row.downloadOnly) continue;
        if (!step::Exists(StagingPath(row))) continue;
        _journalEntry entry;
        Note note;
        note.row = &row;
        entry.name = row.name;
        entry.installedPath = InstalledPath(row);
        entry.newDigest = row.digest;
        entry.existed = step::Exists(entry.installedPath);
        if (entry.existed) {
            std::wstring version;
            if (!GetFileVersionString(entry.installedPath, version))
                note.versionError = VersionErrorText();
            entry.backupPath = Format(L"%s\\backup\\%s_%s", m_programFolder.c_str(),
                                      version.c_str(), row.name.c_str());
            CFileDigest& digest = digests.For(row.digest);
            if (!digest.Acquired() ||
                !step::HashWithRetries(digest, entry.installedPath, entry.oldDigest)) {
                note.hashFailed = true;
                note.hashError = digest.LastError();
                entry.oldDigest.clear();
            }
        }
        plan.push_back(std::move(entry));
        notes.push_back(std::move(note));
    }
    if (plan.empty()) return true;
    m_journal.SetPath(JournalPath());
    if (!m_journal.Begin(plan, m_startList)) {
        Log(L"BackupFiles: journal error");
        return false;
    }

    for (size_t i = 0; i < plan.size(); ++i) {
        const _journalEntry& entry = plan[i];
        const Note& note = notes[i];
        if (!entry.existed) continue;
        if (!note.versionError.empty())
            Log(L"BackupFiles: versionerror:%s", note.versionError.c_str());
        if (note.hashFailed) Log(L"BackupFiles: hasherror:%s", note.hashError.c_str());
        Log(L"BackupFiles: org hash:%s", entry.oldDigest.c_str());

        CFileDigest& digest = digests.For(note.row->digest);
        bool saved = false;
        for (int attempt = 0; attempt < kAttempts && !saved; ++attempt) {
            ::CopyFileW(entry.installedPath.c_str(), entry.backupPath.c_str(), FALSE);
            seam::Sleep(kCopyWait);
            std::wstring copy;
            if (!digest.HashFile(entry.backupPath, copy)) {
                Log(L"BackupFiles: hasherror:%s", digest.LastError().c_str());
                continue;
            }
            if (!entry.oldDigest.empty() && step::EqualsIgnoringCase(copy, entry.oldDigest)) {
                Log(L"BackupFiles: dst hash:%s", copy.c_str());
                saved = true;
            }
        }
        bool recorded = saved && m_journal.Record(i, CUpdateJournal::Progress::BackedUp);
        if (recorded && ::DeleteFileW(entry.installedPath.c_str()))
            recorded = m_journal.Record(i, CUpdateJournal::Progress::Removed);
        if (!saved) Log(L"BackupFiles: error");
        if (saved && !recorded) Log(L"BackupFiles: journal error");
        if (!recorded) {
            m_journal.RollBack(L"BackupFiles");
            return false;
        }
    }
    return true;
}

bool CUpdater::UpdateFiles() {
    Log(L"UpdateFiles: start %d file(s)", static_cast<int>(m_downloadedSet.size()));
    step::RowDigests digests;

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

        CFileDigest& digest = digests.For(row.digest);
        std::wstring expected;
        if (!digest.Acquired() || !step::HashWithRetries(digest, staging, expected)) {
            Log(L"UpdateFiles: hasherror:%s", digest.LastError().c_str());
            expected.clear();
        }
        // A staging file changed since its download was verified is never put in place.
        if (!step::EqualsIgnoringCase(expected, row.digest)) expected.clear();

        // Every file put in place must be one the journal can undo.
        const size_t entry = m_journal.Find(installed);
        const bool journaled = entry != static_cast<size_t>(-1) &&
                               m_journal.Record(entry, CUpdateJournal::Progress::Copying);
        bool done = false;
        for (int attempt = 0; attempt < kAttempts && journaled && !done; ++attempt) {
            ::CopyFileW(staging.c_str(), installed.c_str(), FALSE);
            seam::Sleep(kCopyWait);
            std::wstring copy;
            if (!expected.empty() && digest.HashFile(installed, copy) &&
                step::EqualsIgnoringCase(copy, expected)) {
                done = m_journal.Record(entry, CUpdateJournal::Progress::Replaced);
                if (done) ::DeleteFileW(staging.c_str());
            }
        }
        if (!done) {
            Log(L"UpdateFiles: error");
            m_journal.RollBack(L"UpdateFiles");
            return false;
        }
    }
    if (m_journal.Active()) m_journal.Commit();
    return true;
}
