// Removal: the running agents close as through their tray menu, and the install folder
// loses what the updater and the settings left in it. Users' data folders are theirs.
#include <string>
#include <vector>

#include "common/seam.h"
#include "installer/msi_session.h"
#include "resource.h"

namespace {

// The agent's hidden main window, matched by class and title so that no other program's
// "status" window gets the command.
const wchar_t kAgentClass[] = L"PellwickStatusWindow";
const wchar_t kAgentTitle[] = L"ステータス";
constexpr DWORD kCloseWait = 15000;

const wchar_t* const kLeftoverFiles[] = {L"config.ini", L"update.ini", L"proxy.ini", L"logtmp.txt",
                                         L"tmp_Updater.exe"};
const wchar_t* const kLeftoverFolders[] = {L"updatetmp", L"backup", L"updatelog"};

BOOL CALLBACK CollectAgent(HWND hwnd, LPARAM param) {
    wchar_t name[64] = L"";
    wchar_t title[64] = L"";
    if (::GetClassNameW(hwnd, name, 64) && wcscmp(name, kAgentClass) == 0 &&
        ::GetWindowTextW(hwnd, title, 64) && wcscmp(title, kAgentTitle) == 0) {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    }
    return TRUE;
}

class Remover {
public:
    explicit Remover(MSIHANDLE install) : install_(install) {}

    void File(const std::wstring& path) {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND ||
            ::GetLastError() == ERROR_PATH_NOT_FOUND) {
            return;
        }
        Later(path);
    }

    // Links inside the tree are removed, never followed: the tree holds only what the
    // updater put there.
    void Tree(const std::wstring& folder) {
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return File(folder);
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            WIN32_FIND_DATAW found = {};
            unique_hfind find(::FindFirstFileW(setup::JoinPath(folder, L"*").c_str(), &found));
            if (find) {
                do {
                    const std::wstring name = found.cFileName;
                    if (name == L"." || name == L"..") continue;
                    Tree(setup::JoinPath(folder, name));
                } while (::FindNextFileW(find.get(), &found));
            }
        }
        ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::RemoveDirectoryW(folder.c_str())) Later(folder);
    }

private:
    // A file in use (an update run still going) goes at the next start of Windows.
    void Later(const std::wstring& path) {
        const DWORD error = ::GetLastError();
        const bool later = ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        setup::Log(install_, L"RemoveLeftovers: cannot remove " + path + L" (error " +
                                 std::to_wstring(error) + L")" +
                                 (later ? L"; removed at the next restart" : L""));
    }

    MSIHANDLE install_;
};

}  // namespace

// Immediate, in the context of the user who removes the package: a deferred action runs
// as LocalSystem in session 0 and can't reach the windows of a user's desktop.
extern "C" UINT __stdcall CloseAgents(MSIHANDLE install) {
    std::vector<HWND> agents;
    ::EnumWindows(CollectAgent, reinterpret_cast<LPARAM>(&agents));
    for (HWND hwnd : agents) ::PostMessageW(hwnd, WM_COMMAND, ID_APP_EXIT_CMD, 0);
    const DWORD start = seam::TickCount();
    size_t running = agents.size();
    while (running > 0 && seam::TickCount() - start < kCloseWait) {
        seam::Sleep(100);
        running = 0;
        for (HWND hwnd : agents)
            if (::IsWindow(hwnd)) ++running;
    }
    setup::Log(install, L"CloseAgents: asked " + std::to_wstring(agents.size()) +
                            L" agent(s) to close; " + std::to_wstring(running) + L" still running");
    return ERROR_SUCCESS;
}

// Deferred, as LocalSystem, before the package's own files go.
extern "C" UINT __stdcall RemoveLeftovers(MSIHANDLE install) {
    const std::wstring folder = setup::Property(install, L"CustomActionData");
    if (folder.empty()) {
        setup::Log(install, L"RemoveLeftovers: no install folder");
        return ERROR_SUCCESS;
    }
    Remover remove(install);
    for (const wchar_t* name : kLeftoverFiles) remove.File(setup::JoinPath(folder, name));
    for (const wchar_t* name : kLeftoverFolders) remove.Tree(setup::JoinPath(folder, name));
    return ERROR_SUCCESS;
}

// Immediate, before anything changes: an older package never replaces a newer one. The
// reason goes to the log of a silent installation and to the screen of an interactive one.
extern "C" UINT __stdcall RefuseDowngrade(MSIHANDLE install) {
    const std::wstring text = L"RefuseDowngrade: a newer version of Pellwick is installed (" +
                              setup::Property(install, L"WIX_DOWNGRADE_DETECTED") +
                              L"); this package, version " +
                              setup::Property(install, L"ProductVersion") + L", changes nothing";
    setup::Log(install, text);
    unique_msihandle record(::MsiCreateRecord(1));
    if (record) {
        ::MsiRecordSetStringW(record.get(), 0, L"[1]");
        ::MsiRecordSetStringW(record.get(), 1, text.c_str());
        ::MsiProcessMessage(install, INSTALLMESSAGE_ERROR, record.get());
    }
    return ERROR_INSTALL_FAILURE;
}
