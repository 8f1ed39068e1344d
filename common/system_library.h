// Libraries and programs of the system folder, never found through the search order
// (which looks in the program's own folder, or the current one, first).
#pragma once
#include <windows.h>

#include <string>

// The system folder without a trailing backslash (SysWOW64 for a 32-bit program on a
// 64-bit Windows); empty when it can't be read.
std::wstring SystemFolder();

// Loads a DLL of the system folder only. Where LOAD_LIBRARY_SEARCH_SYSTEM32 is unknown
// (Windows 7 without KB2533623 answers ERROR_INVALID_PARAMETER), the DLL is loaded by its
// full path in the system folder instead. nullptr when it can't be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);
