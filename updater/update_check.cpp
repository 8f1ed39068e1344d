#include <string>

#include "common/file_digest.h"
#include "common/file_version.h"
#include "common/log_writer.h"
#include "updater/step_support.h"
#include "updater/updater.h"

namespace {

// Digest of the installed file compared with the row's; false (and a log line) when the
// digest can't be computed, so that the row is left alone.
bool DigestDiffers(step::RowDigests& digests, const std::wstring& path, const _updateListData& row,
                   std::wstring& installed, bool& differs) {
    CFileDigest& digest = digests.For(row.digest);
    if (!digest.Acquired() || !step::HashWithRetries(digest, path, installed)) {
        Log(L"CheckList: hasherror:%s", digest.LastError().c_str());
        return false;
    }
    differs = !step::EqualsIgnoringCase(installed, row.digest);
    return true;
}

}  // namespace

bool CUpdater::CheckList() {
    Log(L"CheckList: %d", static_cast<int>(m_listRows.size()));
    step::RowDigests digest;
    m_updateSet.clear();

    for (const _updateListData& row : m_listRows) {
        const std::wstring path = InstalledPath(row);
        if (!step::Exists(path)) {
            Log(L"CheckList: new file [%s]", row.name.c_str());
            m_updateSet.push_back(row);
            continue;
        }
        std::wstring installedDigest;
        bool differs = false;
        if (row.version == L"0") {
            if (DigestDiffers(digest, path, row, installedDigest, differs) && differs) {
                Log(L"CheckList: overwrite [%s]%s", row.name.c_str(), installedDigest.c_str());
                m_updateSet.push_back(row);
            }
            continue;
        }
        std::wstring installedVersion;
        if (!GetFileVersionString(path, installedVersion))
            Log(L"CheckList: versionerror:%s", VersionErrorText().c_str());
        const int order = CompareVersion(row.version, installedVersion);
        if (order > 0) {
            Log(L"CheckList: %s -> %s [%s]", installedVersion.c_str(), row.version.c_str(),
                row.name.c_str());
            m_updateSet.push_back(row);
        } else if (order == 0) {
            if (DigestDiffers(digest, path, row, installedDigest, differs) && differs) {
                Log(L"CheckList: overwrite2 [%s]%s", row.name.c_str(), installedDigest.c_str());
                m_updateSet.push_back(row);
            }
        }
    }

    if (m_updateSet.empty()) Log(L"CheckList: 0");
    return !m_updateSet.empty();
}
