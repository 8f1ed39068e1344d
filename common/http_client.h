// HTTP GET (both programs) and the multipart log upload (updater) over WinINet.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/request_timeouts.h"

// Error numbers of failures that WinINet itself doesn't report as errors. They are
// stable and never 0, so that a caller's success test (error number 0) can't take them
// for success. Every other failure carries the platform's own code.
// The body ended before the announced Content-Length bytes had arrived: nothing is
// handed out, a truncated download is never taken for a whole one.
constexpr DWORD kHttpErrorShortBody = ERROR_HANDLE_EOF;  // 38
// The announced Content-Length can't be held in memory (more than fits a 32-bit
// process, or the allocation failed).
constexpr DWORD kHttpErrorBodyTooLarge = ERROR_NOT_ENOUGH_MEMORY;  // 8
// The connection ended without a readable status line; the status code stays 0.
constexpr DWORD kHttpErrorNoStatus = ERROR_HTTP_INVALID_SERVER_RESPONSE;  // 12152

class CHttpClient {
public:
    CHttpClient(const std::wstring& server, int port, bool secure);

    // GET of a server-absolute path. Returns the body length n > 0 with `body` holding the
    // n bytes and one zero byte (size n + 1); 0 leaves `body` untouched. ErrorNumber() and
    // StatusCode() describe the request afterwards. Only a 200 answer with a positive
    // Content-Length whose bytes all arrive gives n; a non-200 status, or a 200 without
    // Content-Length (chunked) or with 0, gives 0 with error number 0.
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
    RequestTimeouts m_timeouts = kRequestTimeouts;
    std::wstring m_server;
    int m_port = 0;
    bool m_secure = false;
};

// config.ini's VerifyCertificate, published once at start-up before the first request.
// Off: secure requests accept any certificate. On: they keep the platform's certificate
// checks, and a certificate that fails them ends the request with WinINet's error number.
void SetVerifyCertificate(bool verify);
bool VerifyCertificate();

// The session name WinINet sends as User-Agent: "kqbvtnzr" in the agent; in the updater
// the base name of the running executable without extension ("tmp_Updater" for its
// working copy).
std::wstring HttpSessionName();

#if defined(PW_UPDATER)

// Proxy of plain requests (CHttpClient::Get).
struct HttpProxySettings {
    std::wstring address;  // "%s:%d" with proxy server and port
    std::wstring userName;
    std::wstring password;
    bool useProxy = false;             // proxy server not empty
    bool proxyAuthentication = false;  // proxy server and user name not empty
};

// Proxy of the upload (CFilePostClient's session, HEAD and POST).
struct UploadProxySettings {
    std::wstring server;
    std::wstring address;  // "%s:%d" with proxy server and port
    std::wstring userName;
    std::wstring password;
};

// Written once by the updater's run object before its first request, only read after.
extern HttpProxySettings g_httpProxySettings;
extern UploadProxySettings g_uploadProxySettings;

// Fills both sets from the values of proxy.ini.
void PublishProxySettings(const std::wstring& server, int port, const std::wstring& userName,
                          const std::wstring& password);

// One session and one connection for the log upload: Connect proves the server with a
// HEAD of its root, PostFile sends one file as multipart/form-data.
class CFilePostClient {
public:
    static constexpr const wchar_t* kBoundary = L"-----AJHFOUEIHDJISO";
    static constexpr DWORD kBlockSize = 1024;
    // How often the body is sent again when WinINet asks for it (authentication).
    static constexpr int kMaxResends = 3;

    // Opens the session under `sessionName` with the upload proxy settings.
    explicit CFilePostClient(const std::wstring& sessionName);
    ~CFilePostClient();
    CFilePostClient(const CFilePostClient&) = delete;
    CFilePostClient& operator=(const CFilePostClient&) = delete;

    // True when the HEAD of the server root was answered with a 2xx status.
    bool Connect(const std::wstring& server, int port, bool secure);
    // True when the POST was answered 200; `response` then holds the answer's text (left
    // unchanged when the answer has no body).
    bool PostFile(const std::wstring& localFile, const std::wstring& path, std::wstring& response);
    // Per-request options shared by HEAD and POST: proxy credentials, security flags.
    bool ApplyRequestOptions(HINTERNET request);
    // Closes the connection; the session stays open until destruction.
    void Close();

    // A POST request for `path` with the request options and the multipart content type;
    // with `proxyCredentials`, Basic credentials for the proxy from the first byte on.
    bool OpenPostRequest(const std::wstring& path, unique_hinternet& request,
                         bool proxyCredentials = false);

    bool Connected() const { return m_connected; }
    DWORD ErrorNumber() const { return m_errorNumber; }

    unique_hinternet m_session;
    bool m_connected = false;
    bool m_secure = false;
    bool m_useProxy = false;
    bool m_proxyAuthentication = false;
    unique_hinternet m_connection;
    DWORD m_errorNumber = 0;
};

#endif
