// Removal, as LocalSystem: the agents that the tray's exit command could not reach (other
// users' sessions, other desktops, a removal run by a management tool in session 0) are
// ended, so that none keeps reporting for a removed installation. An agent is known by the
// full path of its image, never by its name alone: a program of the same name elsewhere is
// left alone.
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <utility>
#include <vector>

#include "common/seam.h"
#include "installer/msi_session.h"

namespace {

const wchar_t kCopyName[] = L"tmp_Pellwick.exe";
const wchar_t kInstalledName[] = L"Pellwick.exe";
// Each user's running copy sits in that user's %LOCALAPPDATA%\TAVRIK\Brenlo, wherever the
// profile is.
const wchar_t kCopySuffix[] = L"\\TAVRIK\\Brenlo\\tmp_Pellwick.exe";
// The agents of the remover's session were asked to close just before; a moment more for
// those still on their way out, then the rest are ended.
constexpr DWORD kGraceWait = 3000;
constexpr DWORD kEndWait = 10000;
constexpr DWORD kPoll = 100;
// What an ended agent's exit code says: its product was removed.
constexpr UINT kEndedCode = ERROR_PRODUCT_UNINSTALLED;

bool SameText(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && SameText(text.substr(text.size() - end.size()), end);
}

// The same file named with long names throughout (the install folder may be given short).
std::wstring LongPath(const std::wstring& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD size =
            ::GetLongPathNameW(path.c_str(), &buffer[0], static_cast<DWORD>(buffer.size()));
        if (size == 0) return path;
        if (size < buffer.size()) return buffer.substr(0, size);
        buffer.resize(size);
    }
    return path;
}

// The Win32 path of the process's image; for 32-bit and 64-bit processes alike.
std::wstring ImagePath(HANDLE process) {
    for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 2) {
        std::wstring buffer(capacity, L'\0');
        DWORD size = capacity;
        if (::QueryFullProcessImageNameW(process, 0, &buffer[0], &size))
            return buffer.substr(0, size);
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    }
    return std::wstring();
}

bool Ended(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

struct Agent {
    unique_handle process;
    DWORD id = 0;
    std::wstring image;
};

class AgentEnder {
public:
    AgentEnder(MSIHANDLE install, const std::wstring& folder)
        : install_(install), installed_(LongPath(setup::JoinPath(folder, kInstalledName))) {}

    // The running agents: each user's copy, and the installed program itself if something
    // runs it directly.
    void Find() {
        unique_snapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot) {
            Log(L"cannot list the processes (error " + std::to_wstring(::GetLastError()) + L")");
            return;
        }
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
             more = ::Process32NextW(snapshot.get(), &entry)) {
            if (!SameText(entry.szExeFile, kCopyName) && !SameText(entry.szExeFile, kInstalledName))
                continue;
            Consider(entry.th32ProcessID);
        }
    }

    // Waits until every agent found has ended or `milliseconds` have passed; forgets those
    // that ended.
    void WaitForEnd(DWORD milliseconds) {
        const DWORD start = seam::TickCount();
        while (!agents_.empty()) {
            std::vector<Agent> running;
            for (Agent& agent : agents_)
                if (!Ended(agent.process.get())) running.push_back(std::move(agent));
            agents_.swap(running);
            if (agents_.empty() || seam::TickCount() - start >= milliseconds) break;
            seam::Sleep(kPoll);
        }
    }

    void EndTheRest() {
        if (agents_.empty()) {
            Log(L"no agent left running");
            return;
        }
        std::vector<Agent> ending;
        std::vector<std::pair<DWORD, std::wstring>> ended;
        for (Agent& agent : agents_) {
            if (::TerminateProcess(agent.process.get(), kEndedCode) || Ended(agent.process.get())) {
                ended.emplace_back(agent.id, Describe(agent));
                ending.push_back(std::move(agent));
            } else {
                Log(L"cannot end process " + Describe(agent) + L" (error " +
                    std::to_wstring(::GetLastError()) + L")");
            }
        }
        // Ending is asynchronous: the process is gone once its handle is signalled.
        agents_.swap(ending);
        WaitForEnd(kEndWait);
        for (const auto& agent : ended) {
            bool running = false;
            for (const Agent& left : agents_) running = running || left.id == agent.first;
            Log((running ? L"process did not end in time: " : L"ended process ") + agent.second);
        }
    }

private:
    void Consider(DWORD id) {
        if (id == ::GetCurrentProcessId()) return;
        unique_handle process(::OpenProcess(
            PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (!process) {
            // A process that ended since the snapshot is no longer there to open.
            const DWORD error = ::GetLastError();
            if (error != ERROR_INVALID_PARAMETER)
                Log(L"cannot open process " + std::to_wstring(id) + L" (error " +
                    std::to_wstring(error) + L")");
            return;
        }
        // The handle holds the process: its path can't change to another's under it.
        const std::wstring image = ImagePath(process.get());
        if (image.empty() || Ended(process.get())) return;
        if (!EndsWith(image, kCopySuffix) && !SameText(LongPath(image), installed_)) return;
        Agent agent;
        agent.process = std::move(process);
        agent.id = id;
        agent.image = image;
        agents_.push_back(std::move(agent));
    }

    static std::wstring Describe(const Agent& agent) {
        return std::to_wstring(agent.id) + L", " + agent.image;
    }

    void Log(const std::wstring& text) { setup::Log(install_, L"EndAgents: " + text); }

    MSIHANDLE install_;
    std::wstring installed_;
    std::vector<Agent> agents_;
};

}  // namespace

// Deferred, without impersonation: LocalSystem may end a process in any session. Its failure
// never fails the removal.
extern "C" UINT __stdcall EndAgents(MSIHANDLE install) {
    const std::wstring folder = setup::Property(install, L"CustomActionData");
    if (folder.empty()) {
        setup::Log(install, L"EndAgents: no install folder");
        return ERROR_SUCCESS;
    }
    AgentEnder ender(install, folder);
    ender.Find();
    ender.WaitForEnd(kGraceWait);
    ender.EndTheRest();
    return ERROR_SUCCESS;
}
