#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/file_version.h"
#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/text.h"
#include "updater/step_support.h"
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

bool CUpdater::UploadLog(std::wstring text) {
    if (m_server.empty() || m_logPath.empty()) return false;

    // The same bytes as the log file: 8-bit characters with CR LF line ends.
    const std::wstring file = Format(L"%s\\logtmp.txt", m_programFolder.c_str());
    const std::string bytes = logwriter::EncodeLine(text);
    if (!step::WriteWholeFile(file, bytes.data(), bytes.size())) return false;

    const std::wstring path = Format(L"%s/%d", m_logPath.c_str(), m_hostId);
    CFilePostClient client(L"filepost_session");
    if (!client.m_session) {
        // The log text has been taken already: the console is the only place left.
        std::printf("fail:%lx\n", static_cast<unsigned long>(client.ErrorNumber()));
        std::fflush(stdout);
        return false;
    }
    bool result = false;
    if (client.Connect(m_server, m_port, m_ssl)) {
        std::wstring response;
        result = client.PostFile(file, path, response);
    }
    client.Close();
    return result;
}
