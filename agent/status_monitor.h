// Status reporting: the status monitor thread and the one report it repeats.
#pragma once
#include <windows.h>

#include <string>

#include "common/request_timeouts.h"

// One GET of the status path. True when the server answered exactly "1"; otherwise
// errorText is "%d[%d]" (HTTP status, error number). body is the answer, "" without one.
bool ReportStatus(int statusId, std::wstring& errorText, std::wstring& body,
                  const RequestTimeouts& timeouts = kRequestTimeouts);

// The user name of the session on the physical console; true with `name` unchanged when no
// session is there, false when the sessions can't be read.
bool GetConsoleUserName(std::wstring& name);

// One wake of the status monitor: reports the current status, asks for a repeat a second
// later unless the server refused it, and records the status in status.ini.
void ReportCurrentStatus(HANDLE statusEvent, const std::wstring& statusIniPath);

// Parameter: the status event. Runs for the life of the process.
DWORD WINAPI StatusMonitorThread(void* statusEvent);
