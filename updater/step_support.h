// Small pieces shared by the update steps.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "common/file_digest.h"

namespace step {

// True when a file or a folder exists at the path.
bool Exists(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Digests and image names compare without regard to case, and without any trimming.
bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b);

// HashFile up to five times, one second after each failure (also after the last).
bool HashWithRetries(CFileDigest& digest, const std::wstring& path, std::wstring& out);

// The digest object of a row's algorithm (SHA-256 for 64 digits, MD5 otherwise), each
// acquired on first use and held for the step: one list may mix both kinds of rows.
class RowDigests {
public:
    CFileDigest& For(const std::wstring& rowDigest);

private:
    std::optional<CFileDigest> m_md5;
    std::optional<CFileDigest> m_sha256;
};

// Creates or truncates the file and writes the bytes; false when any of it fails.
bool WriteWholeFile(const std::wstring& path, const void* data, size_t length);

}  // namespace step
