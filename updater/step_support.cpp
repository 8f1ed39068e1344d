#include "updater/step_support.h"

#include "common/handles.h"
#include "common/seam.h"

namespace step {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool HashWithRetries(CFileDigest& digest, const std::wstring& path, std::wstring& out) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (digest.HashFile(path, out)) return true;
        seam::Sleep(1000);
    }
    return false;
}

CFileDigest& RowDigests::For(const std::wstring& rowDigest) {
    std::optional<CFileDigest>& slot =
        CFileDigest::KindOf(rowDigest) == DigestKind::Sha256 ? m_sha256 : m_md5;
    if (!slot) slot.emplace(CFileDigest::KindOf(rowDigest));
    return *slot;
}

bool WriteWholeFile(const std::wstring& path, const void* data, size_t length) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const DWORD chunk = static_cast<DWORD>(length < (1u << 20) ? length : (1u << 20));
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes, chunk, &written, nullptr) || written == 0) return false;
        bytes += written;
        length -= written;
    }
    return true;
}

}  // namespace step
