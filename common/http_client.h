// HTTP GET (both programs) and the multipart log upload (updater) over WinINet.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class CHttpClient {
public:
    CHttpClient(const std::wstring& server, int port, bool secure);

    // GET of a server-absolute path. Returns the body length n > 0 with `body` holding the
    // n bytes and one zero byte (size n + 1); 0 leaves `body` untouched. ErrorNumber() and
    // StatusCode() describe the request afterwards.
    int Get(const std::wstring& path, std::vector<char>& body);
#if defined(PW_AGENT)
    // True when the answered body was written to the file (created or truncated).
    bool GetToFile(const std::wstring& path, const std::wstring& filePath);
#endif

    // The one success test every caller uses.
    bool Answered(int length) const {
        return length != 0 && m_errorNumber == 0 && m_statusCode == 200;
    }
    DWORD ErrorNumber() const { return m_errorNumber; }
    DWORD StatusCode() const { return m_statusCode; }

    DWORD m_errorNumber = 0;
    DWORD m_statusCode = 0;
    std::wstring m_server;
    int m_port = 0;
    bool m_secure = false;
};
