#include <windows.h>

#include <string>
#include <vector>

#include "common/file_version.h"
#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/text.h"
#include "updater/updater.h"

bool CUpdater::Complete() {
    // The highest version among the installed files; the first of equally high ones.
    std::wstring reported;
    for (const _updateListData& row : m_downloadedSet)
        if (CompareVersion(reported, row.version) < 0) reported = row.version;
    if (reported.empty() || m_completePath.empty() || m_hostId == 0) return true;

    const std::wstring path =
        Format(L"%s/%d/%s", m_completePath.c_str(), m_hostId, reported.c_str());
    CHttpClient client(m_server, m_port, m_ssl);
    for (int attempt = 1;; ++attempt) {
        std::vector<char> body;
        const int length = client.Get(path, body);
        if (client.Answered(length)) {
            Log(L"Complete: %s", AnsiToWide(body.data(), static_cast<size_t>(length)).c_str());
            return true;
        }
        if (client.StatusCode() == 404) {
            Log(L"Complete: not found");
            return false;
        }
        if (attempt == 5) {
            Log(L"Complete: connect err:%d httpstatus:%d", client.ErrorNumber(),
                client.StatusCode());
            return false;
        }
        seam::Sleep(1000);
    }
}

bool CUpdater::UploadLog(std::wstring) { return false; }
