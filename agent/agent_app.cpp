#include "agent/agent_app.h"

#include <commctrl.h>
#include <cwctype>

#include "agent/agent_settings.h"
#include "agent/agent_window.h"
#include "agent/conf_document.h"
#include "agent/main_window.h"
#include "agent/request_paths.h"
#include "agent/status_monitor.h"
#include "agent/worker_thread.h"
#include "common/http_client.h"
#include "common/text.h"

namespace {

const wchar_t kInstanceMutexName[] = L"Global\\Agent06159463JSBW";

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The next token from `position`: delimiters there are skipped, the token runs to the next
// delimiter, and `position` moves one past that delimiter; -1 once nothing is left.
std::wstring NextToken(const std::wstring& text, wchar_t delimiter, long long& position) {
    const long long length = static_cast<long long>(text.size());
    if (position >= 0 && position < length) {
        long long from = position;
        while (from < length && text[static_cast<size_t>(from)] == delimiter) ++from;
        if (from < length) {
            long long until = from;
            while (until < length && text[static_cast<size_t>(until)] != delimiter) ++until;
            position = until + 1;
            return text.substr(static_cast<size_t>(from), static_cast<size_t>(until - from));
        }
    }
    position = -1;
    return std::wstring();
}

}  // namespace

std::vector<std::wstring> TokenizeCommandLine(const std::wstring& tail) {
    const std::wstring line = Trim(tail);
    const long long length = static_cast<long long>(line.size());
    std::vector<std::wstring> arguments;
    long long position = 0;
    for (;;) {
        std::wstring token;
        if (position >= 0 && position < length && line[static_cast<size_t>(position)] == L'"') {
            ++position;
            token = NextToken(line, L'"', position);
        } else {
            token = NextToken(line, L' ', position);
        }
        token = Trim(token);
        arguments.push_back(token);
        if (token.empty()) break;
    }
    arguments.pop_back();
    return arguments;
}

CAgentApp::CAgentApp() : m_instanceMutex(::CreateMutexW(nullptr, FALSE, kInstanceMutexName)) {}

CAgentApp::~CAgentApp() {
    ExitInstance();
    // The monitor threads keep using the window's record and events until the process
    // ends, so the window object is never destroyed.
    static_cast<void>(m_mainWindow.release());
}

BOOL CAgentApp::InitInstance(HINSTANCE instance, const std::wstring& commandTail) {
    const std::vector<std::wstring> arguments = TokenizeCommandLine(commandTail);
    if (arguments.empty()) {
        LaunchCopy();
        return FALSE;
    }
    if (arguments[0] == L"installed") {
        ReportInstall();
        return FALSE;
    }
    return StartAgent(instance);
}

void CAgentApp::LaunchCopy() {
    const std::wstring module = ModuleFilePath();

    std::wstring copy;
    const std::wstring localAppData = LocalAppDataFolder();
    if (!localAppData.empty()) {
        const std::wstring dataFolder = EnsureDataFolder(localAppData);
        const std::wstring config = dataFolder + L"\\config.ini";
        ::DeleteFileW(config.c_str());
        const std::wstring installFolder = FolderOf(module);
        if (!installFolder.empty())
            ::CopyFileW((installFolder + L"\\config.ini").c_str(), config.c_str(), FALSE);
        copy = dataFolder + L"\\tmp_Pellwick.exe";
        ::DeleteFileW(copy.c_str());
        ::CopyFileW(module.c_str(), copy.c_str(), FALSE);
    }

    std::wstring commandLine = Format(L"\"%s\" tmp", copy.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                         nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

void CAgentApp::ReportInstall() {
    const std::wstring installFolder = FolderOf(ModuleFilePath());
    if (installFolder.empty()) return;
    const std::wstring config = installFolder + L"\\config.ini";
    wchar_t text[1024] = {};
    ::GetPrivateProfileStringW(L"Config", L"Server", L"", text, 1024, config.c_str());
    const std::wstring server = text;
    const int port =
        static_cast<int>(::GetPrivateProfileIntW(L"Config", L"Port", 80, config.c_str()));
    const bool ssl = ::GetPrivateProfileIntW(L"Config", L"SSL", 0, config.c_str()) != 0;
    SetVerifyCertificate(
        ::GetPrivateProfileIntW(L"Config", L"VerifyCertificate", 0, config.c_str()) != 0);
    ::GetPrivateProfileStringW(L"Server", L"Install", L"/wz/attendance_conf/installlog", text, 1024,
                               config.c_str());
    const std::wstring installPath = text;

    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(computer, &size);

    std::wstring user;
    if (!GetConsoleUserName(user)) return;

    CHttpClient client(server, port, ssl);
    std::vector<char> body;
    client.Get(InstallReportPath(installPath, computer, user), body);
}

BOOL CAgentApp::StartAgent(HINSTANCE instance) {
    if (!m_instanceMutex) return FALSE;
    const DWORD wait = ::WaitForSingleObject(m_instanceMutex.get(), 0);
    // A mutex left abandoned by an agent that crashed is ours now.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return FALSE;
    m_instanceLocked = true;

    INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), 0xFF};
    ::InitCommonControlsEx(&controls);

    m_mainWindow = std::make_unique<CMainWindow>();
    if (!m_mainWindow->Create(instance)) return FALSE;
    StartWorkerThread(IconRegisterThread, &m_mainWindow->Tray());

    const DWORD levels[] = {0x4FF, 0x4F0, 0x400, 0x3FF, 0x3F0};
    for (const DWORD level : levels)
        if (::SetProcessShutdownParameters(level, 0)) break;
    ::ShutdownBlockReasonCreate(m_mainWindow->Handle(), L"ステータス通知中...");

    const int startup = Settings().startupStatus;
    ::SendMessageW(m_mainWindow->Handle(), WM_SET_STATUS,
                   static_cast<WPARAM>(IsAutoReset(startup) ? 1 : startup), 0);
    return TRUE;
}

void CAgentApp::ExitInstance() {
    if (m_instanceLocked) ::ReleaseMutex(m_instanceMutex.get());
    m_instanceLocked = false;
}

int CAgentApp::Run() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
