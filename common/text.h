// Small text helpers shared by both programs.
#pragma once
#include <windows.h>
#include <cstdarg>
#include <cstdint>
#include <string>

// printf-style formatting with the Microsoft rules: %s takes a wide string, %S a narrow
// one. The result is never cut.
std::wstring FormatV(const wchar_t* format, va_list args);
std::wstring Format(const wchar_t* format, ...);

// 8-bit text in the system ANSI code page <-> UTF-16.
std::wstring AnsiToWide(const char* data, size_t length);
std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);

// Full path of the running executable; empty when it can't be had.
std::wstring ModuleFilePath();
// Everything before the last backslash; empty when there is none.
std::wstring FolderOf(const std::wstring& path);

// The system's description of an error code, without the trailing line end.
std::wstring SystemErrorText(DWORD code);

// Local time of `seconds` (since 1970, UTC) formatted with a strftime pattern; empty
// when the time can't be converted.
std::wstring FormatLocalTime(int64_t seconds, const wchar_t* pattern);
