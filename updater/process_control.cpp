#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "common/handles.h"
#include "common/log_writer.h"
#include "common/text.h"
#include "updater/updater.h"
#include "updater/step_support.h"

namespace {

// ".exe" after the first character (case as written) names a program; anything else is a
// service for net.exe.
bool IsProgramEntry(const std::wstring& entry) {
    return entry.find(L".exe", 1) != std::wstring::npos;
}

// Starts the command line hidden and waits for it to end. False with the system error
// code in `error` when it can't be started.
bool RunAndWait(const std::wstring& commandLine, DWORD& exitCode, DWORD& error) {
    std::wstring buffer = commandLine;  // CreateProcessW may write into the command line
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                          nullptr, nullptr, &startup, &info)) {
        error = ::GetLastError();
        return false;
    }
    ::CloseHandle(info.hThread);
    unique_handle process(info.hProcess);
    ::WaitForSingleObject(process.get(), INFINITE);
    exitCode = 0;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return true;
}

// Runs the command; logs "fail:[%s](%d)" with `shown` and the exit code when it ends
// with another code than 0, or with the command line and the system error code when it
// can't be started at all.
void RunLogged(const std::wstring& commandLine, const std::wstring& shown) {
    DWORD exitCode = 0, error = 0;
    if (!RunAndWait(commandLine, exitCode, error))
        Log(L"fail:[%s](%d)", commandLine.c_str(), static_cast<int>(error));
    else if (exitCode != 0)
        Log(L"fail:[%s](%d)", shown.c_str(), static_cast<int>(exitCode));
}

void TerminateFirst(const std::wstring& imageName) {
    DWORD target = 0;
    bool found = false;
    {
        unique_snapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot) return;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
             more = ::Process32NextW(snapshot.get(), &entry)) {
            if (step::EqualsIgnoringCase(imageName, entry.szExeFile)) {
                target = entry.th32ProcessID;
                found = true;
                break;
            }
        }
    }
    if (!found) return;
    unique_handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, target));
    if (!process) return;
    if (!::TerminateProcess(process.get(), 0xFFFFFFFF)) Log(L"fail:[%s]", imageName.c_str());
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& what, const std::wstring& with) {
    for (size_t pos = text.find(what); pos != std::wstring::npos;
         pos = text.find(what, pos + with.size()))
        text.replace(pos, what.size(), with);
    return text;
}

}  // namespace

bool CUpdater::Terminator() {
    for (const std::wstring& entry : m_stopList) {
        if (IsProgramEntry(entry))
            TerminateFirst(entry);
        else
            RunLogged(Format(L"net.exe stop %s", entry.c_str()), entry);
    }
    return true;
}

bool CUpdater::Launcher() {
    for (const std::wstring& entry : m_startList) {
        if (IsProgramEntry(entry)) {
            const std::wstring commandLine = ReplaceAll(entry, L"[EXEPATH]", m_programFolder);
            RunLogged(commandLine, commandLine);
        } else {
            RunLogged(Format(L"net.exe start %s", entry.c_str()), entry);
        }
    }
    return true;
}
