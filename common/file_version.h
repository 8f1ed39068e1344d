// Product versions from version resources, and their comparison.
#pragma once
#include <string>

// The ProductVersion of the file's version resource. On failure `out` is unchanged and
// VersionErrorText() holds the reason.
bool GetFileVersionString(const std::wstring& path, std::wstring& out);

// Text of the last failed GetFileVersionString; empty until one fails.
const std::wstring& VersionErrorText();

// 1 when a is newer than b, 0 when equal, -1 when older. Up to four signed numbers
// separated by dots, or by commas when the dotted reading finds only one.
int CompareVersion(const std::wstring& a, const std::wstring& b);
