#include "updater_test_support.h"

#include "common/file_digest.h"
#include "common/log_writer.h"

LogCapture::LogCapture() {
    LogSetFolder(folder_.path());
    LogSetMirror(true);
}

LogCapture::~LogCapture() {
    LogStop();  // flushes what is queued and empties the mirror
    LogSetMirror(false);
}

std::vector<std::wstring> LogCapture::Lines() const {
    std::vector<std::wstring> lines;
    const std::wstring text = LogMirrorText();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        const size_t mark = line.find(L"|-|");
        if (mark != std::wstring::npos) line = line.substr(mark + 3);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::wstring> LogCapture::LinesStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> out;
    for (const std::wstring& line : Lines())
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
}

bool LogCapture::Has(const std::wstring& line) const {
    for (const std::wstring& l : Lines())
        if (l == line) return true;
    return false;
}

std::wstring FixturePath(const std::wstring& name) {
    return TestBinFolder() + L"\\fixtures\\" + name;
}

std::wstring Md5(const std::string& bytes) {
    CFileDigest digest;
    std::wstring out;
    digest.HashBuffer(bytes.data(), static_cast<DWORD>(bytes.size()), out);
    return out;
}

std::wstring Md5OfFile(const std::wstring& path) { return Md5(ReadBytes(path)); }

_updateListData Row(const std::wstring& name, const std::wstring& version,
                    const std::wstring& digest, const std::wstring& folder, bool downloadOnly) {
    _updateListData row;
    row.name = name;
    row.version = version;
    row.digest = digest;
    row.folder = folder;
    row.downloadOnly = downloadOnly;
    return row;
}

std::string Dump(const std::vector<std::wstring>& lines) {
    std::string out;
    for (const std::wstring& line : lines) out += "  " + Narrow(line) + "\n";
    return out;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(::towupper(c));
    return text;
}
