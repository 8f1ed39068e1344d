// File digests through CryptoAPI as lower-case hexadecimal text: MD5 (32 digits) or
// SHA-256 (64 digits).
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <string>

enum class DigestKind { Md5, Sha256 };

class CFileDigest {
public:
    explicit CFileDigest(DigestKind kind = DigestKind::Md5);
    ~CFileDigest();
    CFileDigest(const CFileDigest&) = delete;
    CFileDigest& operator=(const CFileDigest&) = delete;

    // A digest text of 64 digits names SHA-256; anything else is taken for MD5.
    static DigestKind KindOf(const std::wstring& digestText);

    // Digest of the whole file, read through a fixed buffer under an exclusive open.
    // On failure `out` is left as it was and LastError() tells why.
    bool HashFile(const std::wstring& path, std::wstring& out);
    bool HashBuffer(const void* data, DWORD length, std::wstring& out);

    DigestKind Kind() const { return m_kind; }
    bool Acquired() const { return m_acquired; }
    const std::wstring& LastError() const { return m_lastError; }

    static constexpr DWORD kReadBlock = 64 * 1024;

private:
    HCRYPTPROV m_provider = 0;
    bool m_acquired = false;
    std::wstring m_lastError;
    DigestKind m_kind = DigestKind::Md5;
};
