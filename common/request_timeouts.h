// Connect, send and receive time-outs of every request both programs make. Without them a
// server that accepts a request and never answers (or a connection left half open by a
// network change) holds the request for WinINet's default, up to an hour on Windows.
#pragma once
#include <windows.h>
#include <wininet.h>

struct RequestTimeouts {
    DWORD connect;  // milliseconds
    DWORD send;
    DWORD receive;
};

// Every ordinary request: status reports, settings, list and file downloads, the upload.
constexpr RequestTimeouts kRequestTimeouts{15000, 30000, 30000};

// The status report at the end of the session. Windows gives an application 5 s to answer
// the end-of-session query before it offers the user to end it: five attempts against a
// silent server, with their 50 ms pauses, stay within that (5 x 900 + 5 x 50 = 4750 ms).
constexpr RequestTimeouts kShutdownRequestTimeouts{900, 900, 900};

// Sets the three time-outs on a WinINet handle; requests opened from a session or
// connection handle start with its values. A time-out then fails the call with
// ERROR_INTERNET_TIMEOUT (12002), a transport failure like any other. Failures of the
// option calls are ignored: the request still goes out, with the default waits.
void ApplyRequestTimeouts(HINTERNET handle, const RequestTimeouts& timeouts);
