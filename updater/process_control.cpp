#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/system_library.h"
#include "common/text.h"
#include "updater/updater.h"
#include "updater/step_support.h"

namespace {

// How long a terminated process may take to end before the run goes on.
constexpr DWORD kTerminateWaitMilliseconds = 10000;

// ".exe" after the first character (case as written) names a program; anything else is a
// service for net.exe.
bool IsProgramEntry(const std::wstring& entry) {
    return entry.find(L".exe", 1) != std::wstring::npos;
}

// Standard input, output and error of a started program: the null device. A command that
// asks a question (net.exe stop of a service with running dependents asks "(Y/N)") reads
// the end of its input and ends at once instead of waiting for an answer nobody gives.
// The handle is inheritable: it is the only one handed to the child.
unique_handle OpenNullDevice() {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE device =
        ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inherit, OPEN_EXISTING, 0, nullptr);
    return unique_handle(device == INVALID_HANDLE_VALUE ? nullptr : device);
}

// Limits what the child inherits to the one null-device handle, whatever other inheritable
// handles the process may hold. Empty where the attribute list can't be made; the child
// then inherits the inheritable handles there are, of which this program makes no other.
class HandleListAttribute {
public:
    explicit HandleListAttribute(HANDLE handle) : handle_(handle) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) return;
        buffer_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            buffer_.clear();
            return;
        }
        if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                         sizeof(handle_), nullptr, nullptr)) {
            ::DeleteProcThreadAttributeList(list);
            buffer_.clear();
        }
    }
    ~HandleListAttribute() {
        if (!buffer_.empty()) ::DeleteProcThreadAttributeList(get());
    }
    HandleListAttribute(const HandleListAttribute&) = delete;
    HandleListAttribute& operator=(const HandleListAttribute&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() {
        return buffer_.empty() ? nullptr
                               : reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    }

private:
    HANDLE handle_;
    std::vector<unsigned char> buffer_;
};

// Starts the command line hidden, its standard handles on the null device, and waits for
// it to end. False with the system error code in `error` when it can't be started.
bool RunAndWait(const std::wstring& commandLine, DWORD& exitCode, DWORD& error) {
    std::wstring buffer = commandLine;  // CreateProcessW may write into the command line
    const unique_handle null = OpenNullDevice();
    if (!null) {
        error = ::GetLastError();
        return false;
    }
    HandleListAttribute handles(null.get());
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = handles.get() ? sizeof(startup) : sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = null.get();
    startup.StartupInfo.hStdOutput = null.get();
    startup.StartupInfo.hStdError = null.get();
    startup.lpAttributeList = handles.get();
    const DWORD flags = NORMAL_PRIORITY_CLASS | (handles.get() ? EXTENDED_STARTUPINFO_PRESENT : 0);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                          &startup.StartupInfo, &info)) {
        error = ::GetLastError();
        return false;
    }
    ::CloseHandle(info.hThread);
    unique_handle process(info.hProcess);
    seam::WaitFor(process.get(), INFINITE);
    exitCode = 0;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return true;
}

// net.exe of the system folder, by its full path: the search order would look in the
// updater's own folder first, where a listed file of that name may lie.
std::wstring NetCommand(const wchar_t* verb, const std::wstring& service) {
    const std::wstring folder = SystemFolder();
    const std::wstring program = folder.empty() ? L"net.exe" : L"\"" + folder + L"\\net.exe\"";
    return Format(L"%s %s %s", program.c_str(), verb, service.c_str());
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
    // SYNCHRONIZE as well, to wait for the end: termination is asynchronous, and the
    // process's files stay mapped until it has ended.
    unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, target));
    if (!process) process.reset(::OpenProcess(PROCESS_TERMINATE, FALSE, target));
    if (!process) return;
    if (!::TerminateProcess(process.get(), 0xFFFFFFFF)) {
        Log(L"fail:[%s]", imageName.c_str());
        return;
    }
    seam::WaitFor(process.get(), kTerminateWaitMilliseconds);
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
            RunLogged(NetCommand(L"stop", entry), entry);
    }
    return true;
}

bool CUpdater::Launcher() {
    for (const std::wstring& entry : m_startList) {
        if (IsProgramEntry(entry)) {
            const std::wstring commandLine = ReplaceAll(entry, L"[EXEPATH]", m_programFolder);
            RunLogged(commandLine, commandLine);
        } else {
            RunLogged(NetCommand(L"start", entry), entry);
        }
    }
    return true;
}
