// MD5 digests through CryptoAPI, as 32 lower-case hexadecimal digits.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <string>

class CFileDigest {
public:
    CFileDigest();
    ~CFileDigest();
    CFileDigest(const CFileDigest&) = delete;
    CFileDigest& operator=(const CFileDigest&) = delete;

    // Digest of the whole file, read through a fixed buffer under an exclusive open.
    // On failure `out` is left as it was and LastError() tells why.
    bool HashFile(const std::wstring& path, std::wstring& out);
    bool HashBuffer(const void* data, DWORD length, std::wstring& out);

    bool Acquired() const { return m_acquired; }
    const std::wstring& LastError() const { return m_lastError; }

    static constexpr DWORD kReadBlock = 64 * 1024;

private:
    HCRYPTPROV m_provider = 0;
    bool m_acquired = false;
    std::wstring m_lastError;
};
