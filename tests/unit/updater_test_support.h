// Helpers of the updater's step tests: captured log lines, fixture files, digests.
#pragma once
#include <string>
#include <vector>

#include "common/file_digest.h"
#include "test_support.h"
#include "updater/updater.h"

// Keeps every line logged while it lives; the log file goes to a temporary folder.
// A built fixture file (bin\fixtures\NAME).
std::wstring FixturePath(const std::wstring& name);
// Lower-case MD5 of the bytes.
std::wstring Md5(const std::string& bytes);
std::wstring Md5OfFile(const std::wstring& path);
// Lower-case digest of the bytes in either algorithm (SHA-256: 64 digits).
std::wstring DigestOf(DigestKind kind, const std::string& bytes);
// Names a digest kind in parameterised test names.
std::string KindName(DigestKind kind);

_updateListData Row(const std::wstring& name, const std::wstring& version,
                    const std::wstring& digest, const std::wstring& folder = L"",
                    bool downloadOnly = false);

std::wstring Upper(std::wstring text);

// Prints a line list in a failure message.
std::string Dump(const std::vector<std::wstring>& lines);
