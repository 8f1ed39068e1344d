// Small pieces shared by the update steps.
#pragma once
#include <windows.h>

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

// Creates or truncates the file and writes the bytes; false when any of it fails.
bool WriteWholeFile(const std::wstring& path, const void* data, size_t length);

}  // namespace step
