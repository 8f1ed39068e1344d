#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/file_digest.h"
#include "common/handles.h"
#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/text.h"
#include "updater/step_support.h"
#include "updater/updater.h"

namespace {

// Runs of "|" separate tokens, so neither a leading "|" nor two adjacent ones make an
// empty token. Tokens are not trimmed.
std::vector<std::wstring> Tokenise(const std::wstring& line) {
    std::vector<std::wstring> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == L'|') ++pos;
        if (pos >= line.size()) break;
        const size_t end = line.find(L'|', pos);
        const size_t stop = end == std::wstring::npos ? line.size() : end;
        tokens.push_back(line.substr(pos, stop - pos));
        pos = stop;
    }
    return tokens;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A segment the file system would read as the parent folder: ".." and, because Win32
// drops trailing dots and blanks, "...", ".. " and the like.
bool IsParentSegment(const std::wstring& segment) {
    size_t dots = 0;
    for (wchar_t c : segment) {
        if (c == L'.')
            ++dots;
        else if (c != L' ')
            return false;
    }
    return dots >= 2;
}

bool LeavesFolder(const std::wstring& relative) {
    if (relative.empty()) return false;
    if (IsSeparator(relative[0])) return true;                   // rooted or UNC
    if (relative.find(L':') != std::wstring::npos) return true;  // drive or stream
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < relative.size() && !IsSeparator(relative[end])) ++end;
        if (IsParentSegment(relative.substr(start, end - start))) return true;
        if (end >= relative.size()) return false;
        start = end + 1;
    }
}

// A row may only name a file inside the program folder, directly or in a subfolder.
bool IsSafeRow(const _updateListData& row) {
    for (wchar_t c : row.name)
        if (IsSeparator(c)) return false;
    if (row.name.find_first_not_of(L". ") == std::wstring::npos) return false;
    return !LeavesFolder(row.name) && !LeavesFolder(row.folder);
}

}  // namespace

bool CUpdater::DownloadList() {
    if (m_server.empty()) {
        Log(L"DownloadList: server empty");
        return false;
    }
    Log(L"DownloadList: from:%s port:%d ssl:%d", m_server.c_str(), m_port, m_ssl ? 1 : 0);
    ::CreateDirectoryW(WorkFolder().c_str(), nullptr);

    CHttpClient client(m_server, m_port, m_ssl);
    const std::wstring listFile = Format(L"%s\\list.txt", WorkFolder().c_str());
    for (int attempt = 1;; ++attempt) {
        std::vector<char> body;
        const int length = client.Get(m_listPath, body);
        if (client.Answered(length) && step::WriteWholeFile(listFile, body.data(), length)) break;
        if (client.StatusCode() == 404) {
            Log(L"DownloadList: not found: %s", m_listPath.c_str());
            return false;
        }
        if (attempt == 5) {
            Log(L"DownloadList: connect err:%d httpstatus:%d", client.ErrorNumber(),
                client.StatusCode());
            return false;
        }
        seam::Sleep(10000);
    }

    CFileDigest digest;
    if (!digest.Acquired()) {
        Log(L"DownloadList: hasherror:%s", digest.LastError().c_str());
        return false;
    }
    std::wstring computed;
    if (!step::HashWithRetries(digest, listFile, computed)) {
        Log(L"DownloadList: hasherror:%s", digest.LastError().c_str());
        return false;
    }
    Log(L"DownloadList: hash:%s", computed.c_str());

    for (int attempt = 1;; ++attempt) {
        std::vector<char> body;
        const int length = client.Get(m_listHashPath, body);
        if (client.Answered(length)) {
            const std::wstring received = AnsiToWide(body.data(), std::strlen(body.data()));
            if (step::EqualsIgnoringCase(received, computed)) {
                Log(L"DownloadList Hash: %s", received.c_str());
                return m_publicKey.empty() || VerifyListSignature(listFile);
            }
            if (attempt == 5) {
                Log(L"DownloadList Hash: unmatch");
                return false;
            }
            continue;  // a different digest is asked again at once
        }
        if (client.StatusCode() == 404) {
            Log(L"DownloadList Hash: not found");
            return false;
        }
        if (attempt == 5) {
            Log(L"DownloadList Hash: connect err:%d httpstatus:%d", client.ErrorNumber(),
                client.StatusCode());
            return false;
        }
        seam::Sleep(10000);
    }
}

bool CUpdater::ReadList() {
    m_listRows.clear();
    const std::wstring path =
        Format(L"%s\\%s\\list.txt", m_programFolder.c_str(), m_workFolderName.c_str());
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Log(L"ReadList: open error: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    std::string bytes;
    char block[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0)
        bytes.append(block, read);
    file.reset();

    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        size_t stop = end;
        if (stop > start && bytes[stop - 1] == '\r') --stop;  // CR LF reads as LF
        const std::wstring line = AnsiToWide(bytes.data() + start, stop - start);
        start = end + 1;

        const std::vector<std::wstring> tokens = Tokenise(line);
        if (tokens.size() < 2) continue;
        _updateListData row;
        row.name = tokens[0];
        row.version = tokens[1];
        if (tokens.size() == 3) row.digest = tokens[2];
        if (tokens.size() >= 4) {
            row.folder = tokens[2];
            row.digest = tokens[3];
        }
        if (tokens.size() >= 5) row.downloadOnly = tokens[4] != L"0";
        if (!IsSafeRow(row)) {
            Log(L"ReadList: unsafe path [%s]", line.c_str());
            continue;
        }
        m_listRows.push_back(row);
    }
    return true;
}

std::wstring CUpdater::WorkFolder() const {
    return Format(L"%s\\%s", m_programFolder.c_str(), m_workFolderName.c_str());
}

std::wstring CUpdater::StagingPath(const _updateListData& row) const {
    return Format(L"%s\\%s\\%s", m_programFolder.c_str(), m_workFolderName.c_str(),
                  row.name.c_str());
}

std::wstring CUpdater::InstalledPath(const _updateListData& row) const {
    if (!row.folder.empty() && row.folder != L".")
        return Format(L"%s\\%s\\%s", m_programFolder.c_str(), row.folder.c_str(), row.name.c_str());
    return Format(L"%s\\%s", m_programFolder.c_str(), row.name.c_str());
}
