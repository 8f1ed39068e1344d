#include "updater_test_support.h"

#include "common/file_digest.h"
#include "common/log_writer.h"

std::wstring FixturePath(const std::wstring& name) {
    return TestBinFolder() + L"\\fixtures\\" + name;
}

std::wstring Md5(const std::string& bytes) {
    CFileDigest digest;
    std::wstring out;
    digest.HashBuffer(bytes.data(), static_cast<DWORD>(bytes.size()), out);
    return out;
}

std::wstring DigestOf(DigestKind kind, const std::string& bytes) {
    CFileDigest digest(kind);
    std::wstring out;
    digest.HashBuffer(bytes.data(), static_cast<DWORD>(bytes.size()), out);
    return out;
}

std::string KindName(DigestKind kind) { return kind == DigestKind::Sha256 ? "Sha256" : "Md5"; }

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
