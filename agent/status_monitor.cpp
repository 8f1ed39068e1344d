#include "agent/status_monitor.h"

#include <wtsapi32.h>

#include <vector>

#include "agent/agent_settings.h"
#include "agent/agent_window.h"
#include "agent/request_paths.h"
#include "common/http_client.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "common/text.h"

bool GetConsoleUserName(std::wstring& name) {
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) return false;
    const DWORD console = ::WTSGetActiveConsoleSessionId();
    bool ok = true;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t* user = nullptr;
        DWORD bytes = 0;
        if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId,
                                           WTSUserName, &user, &bytes)) {
            ok = false;
            break;
        }
        const bool found = sessions[i].SessionId == console;
        if (found) name = user ? user : L"";
        ::WTSFreeMemory(user);
        if (found) break;
    }
    ::WTSFreeMemory(sessions);
    return ok;
}

bool ReportStatus(int statusId, std::wstring& errorText, std::wstring& body,
                  const RequestTimeouts& timeouts) {
    std::wstring user;
    GetConsoleUserName(user);
    body.clear();
    const AgentSettings& s = Settings();
    CHttpClient client(s.server, s.port, s.ssl);
    client.m_timeouts = timeouts;
    std::vector<char> bytes;
    const int n = client.Get(StatusReportPath(statusId, user), bytes);
    if (client.Answered(n)) {
        body = AnsiToWide(bytes.data(), static_cast<size_t>(n));
        if (body == L"1") return true;
    }
    errorText = Format(L"%d[%d]", static_cast<int>(client.StatusCode()),
                       static_cast<int>(client.ErrorNumber()));
    return false;
}

void ReportCurrentStatus(HANDLE statusEvent, const std::wstring& statusIniPath) {
    Log(L"change status: %d", CurrentStatus());
    std::wstring errorText;
    std::wstring body;
    if (!ReportStatus(CurrentStatus(), errorText, body)) {
        Log(L"send error: %s %s", errorText.c_str(), body.c_str());
        // "-1" and "-2" are the server's final refusals; anything else may pass later.
        if (body != L"-1" && body != L"-2") {
            seam::Sleep(1000);
            ::SetEvent(statusEvent);
        }
    }
    ::WritePrivateProfileStringW(L"Status", L"Current", Format(L"%d", CurrentStatus()).c_str(),
                                 statusIniPath.c_str());
    seam::Sleep(10);
}

DWORD WINAPI StatusMonitorThread(void* statusEvent) {
    const HANDLE event = static_cast<HANDLE>(statusEvent);
    Log(L"start: status monitor");
    const std::wstring statusIni = Settings().dataFolder + L"\\status.ini";
    while (::WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
        ReportCurrentStatus(event, statusIni);
    Log(L"end: status monitor");
    return 0;
}
