#include "common/file_digest.h"

#include <vector>

#include "common/handles.h"
#include "common/text.h"

namespace {

bool HexDigest(HCRYPTHASH hash, std::wstring& out, std::wstring& error) {
    BYTE value[32];
    DWORD length = sizeof(value);
    if (!::CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0)) {
        error = Format(L"CryptGetHashParam failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    out.clear();
    for (DWORD i = 0; i < length; ++i) {
        out += kDigits[value[i] >> 4];
        out += kDigits[value[i] & 0x0F];
    }
    return true;
}

ALG_ID Algorithm(DigestKind kind) { return kind == DigestKind::Sha256 ? CALG_SHA_256 : CALG_MD5; }

}  // namespace

// SHA-256 needs the AES provider; MD5 keeps the full RSA provider it has always used.
CFileDigest::CFileDigest(DigestKind kind) : m_kind(kind) {
    const DWORD type = kind == DigestKind::Sha256 ? PROV_RSA_AES : PROV_RSA_FULL;
    if (::CryptAcquireContextW(&m_provider, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT)) {
        m_acquired = true;
    } else {
        m_provider = 0;
        m_lastError =
            Format(L"CryptAcquireContext failed : %d", static_cast<int>(::GetLastError()));
    }
}

DigestKind CFileDigest::KindOf(const std::wstring& digestText) {
    return digestText.size() == 64 ? DigestKind::Sha256 : DigestKind::Md5;
}

CFileDigest::~CFileDigest() {
    if (m_provider != 0) ::CryptReleaseContext(m_provider, 0);
}

bool CFileDigest::HashBuffer(const void* data, DWORD length, std::wstring& out) {
    out.clear();
    m_lastError.clear();
    if (!m_acquired) return false;
    unique_hcrypthash hash;
    if (!::CryptCreateHash(m_provider, Algorithm(m_kind), 0, 0, hash.put())) {
        m_lastError = Format(L"CryptCreateHash failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    if (!::CryptHashData(hash.get(), static_cast<const BYTE*>(data), length, 0)) {
        m_lastError = Format(L"CryptHashData failed: %d", static_cast<int>(::GetLastError()));
        return false;
    }
    return HexDigest(hash.get(), out, m_lastError);
}

bool CFileDigest::HashFile(const std::wstring& path, std::wstring& out) {
    // No sharing: a file that someone still writes or holds is not digested.
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        std::wstring reason = SystemErrorText(::GetLastError());
        if (reason.size() > 1024) reason.resize(1024);
        m_lastError = L"Couldn't open source file: " + reason;
        return false;
    }
    m_lastError.clear();
    if (!m_acquired) {
        out.clear();
        return false;
    }
    unique_hcrypthash hash;
    if (!::CryptCreateHash(m_provider, Algorithm(m_kind), 0, 0, hash.put())) {
        m_lastError = Format(L"CryptCreateHash failed: %d", static_cast<int>(::GetLastError()));
        out.clear();
        return false;
    }
    // Streamed through one fixed block: memory does not grow with the file, and every
    // byte of files beyond 4 GiB is digested.
    std::vector<BYTE> block(kReadBlock);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), block.data(), kReadBlock, &read, nullptr) || read == 0) break;
        if (!::CryptHashData(hash.get(), block.data(), read, 0)) {
            m_lastError = Format(L"CryptHashData failed: %d", static_cast<int>(::GetLastError()));
            out.clear();
            return false;
        }
    }
    std::wstring digest;
    if (!HexDigest(hash.get(), digest, m_lastError)) {
        out.clear();
        return false;
    }
    out = digest;
    return true;
}
