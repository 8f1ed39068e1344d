// What every custom action of the package needs: properties, the installer log, the
// data handed to deferred actions, child programs with a time limit.
#pragma once
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "common/handles.h"

namespace handle_traits {
PW_HANDLE_TRAITS(msihandle, MSIHANDLE, 0, ::MsiCloseHandle(h));
}  // namespace handle_traits
using unique_msihandle = unique_any<handle_traits::msihandle>;

namespace setup {

// Empty when the property is not set (Windows Installer makes no difference).
std::wstring Property(MSIHANDLE install, const wchar_t* name);
bool SetProperty(MSIHANDLE install, const wchar_t* name, const std::wstring& value);

// One line in the installer log (msiexec /l*v). Wine formats the text once more, so the
// callers keep square brackets out of it.
void Log(MSIHANDLE install, const std::wstring& text);

// Deferred actions get their data as one text: records on lines, fields separated by tabs.
using Record = std::vector<std::wstring>;
std::wstring JoinRecords(const std::vector<Record>& records);
std::vector<Record> SplitRecords(const std::wstring& text);

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Runs a command line without a window and waits at most `milliseconds`; false when it
// can't start or outlives the wait (it is then ended). The exit code goes to *exitCode.
bool RunHidden(const std::wstring& commandLine, DWORD milliseconds, DWORD* exitCode);

// A value the package remembers in HKLM\Software\TAVRIK\Brenlo (install folder, schedule);
// empty when there is none.
std::wstring Remembered(const wchar_t* name);

// Windows' own folder of system programs (not redirected for a 32-bit caller: the
// redirection applies when the path is used).
std::wstring SystemProgram(const wchar_t* name);

}  // namespace setup
