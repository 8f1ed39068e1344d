#include "common/http_client.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <new>

#include "common/text.h"

namespace {

constexpr DWORD kGetConnectFlagsSecure = INTERNET_FLAG_SECURE |
                                         INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                                         INTERNET_FLAG_IGNORE_CERT_CN_INVALID;  // 0x803000
constexpr DWORD kGetRequestFlagsSecure =
    INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;               // 0x4800000
constexpr DWORD kGetRequestFlagsPlain = INTERNET_FLAG_NO_CACHE_WRITE;  // 0x4000000

#if defined(PW_UPDATER)
constexpr DWORD kSecurityFlags = 0x13380;  // also waives weak signatures
#else
constexpr DWORD kSecurityFlags = 0x3380;
#endif

static_assert(kGetConnectFlagsSecure == 0x803000);
static_assert(kGetRequestFlagsSecure == 0x4800000);

// Written once at start-up, before the first request; read by every requesting thread.
std::atomic<bool> g_verifyCertificate{false};

// With certificate checks on, secure connections and requests carry no waiver.
DWORD Waived(DWORD flags) {
    constexpr DWORD kWaivers =
        INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
    return g_verifyCertificate.load() ? flags & ~kWaivers : flags;
}

// The leading decimal number of a header value; 0 when there is none. Saturates instead
// of wrapping, so that a huge announced length stays huge.
int64_t LeadingNumber(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        if (value > (INT64_MAX - 9) / 10) {
            value = INT64_MAX;
            break;
        }
        value = value * 10 + (text[i] - L'0');
    }
    return negative ? -value : value;
}

// The status as a number; false (status 0) when the answer had no readable status line.
// A connection closed before any answer may still leave a "status" of 0 behind.
bool QueryStatusCode(HINTERNET request, DWORD& status) {
    status = 0;
    DWORD size = sizeof(status);
    if (::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                         nullptr) &&
        status >= 100 && status <= 999)
        return true;
    status = 0;
    return false;
}

// The calling thread's last error, never 0: a failure must not read as success.
DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

// The Content-Length header read as text, as its leading number; 0 when absent.
int64_t QueryContentLength(HINTERNET request) {
    std::vector<wchar_t> text(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text.data(), &size, nullptr))
            return LeadingNumber(std::wstring(text.data(), size / sizeof(wchar_t)));
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return 0;
        text.resize(size / sizeof(wchar_t) + 1);
    }
    return 0;
}

// Reads up to `wanted` bytes into `out` and returns how many arrived. The body ends early
// when the connection closes or breaks; both count the same, as a short body.
DWORD ReadBody(HINTERNET request, char* out, DWORD wanted) {
    DWORD got = 0;
    while (got < wanted) {
        DWORD read = 0;
        if (!::InternetReadFile(request, out + got, wanted - got, &read) || read == 0) break;
        got += read;
    }
    return got;
}

#if defined(PW_UPDATER)
// The length counts the terminator.
void SetStringOption(HINTERNET handle, DWORD option, const std::wstring& value) {
    ::InternetSetOptionW(handle, option, const_cast<wchar_t*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1));
}
#endif

void SetSecurityFlagsIgnoringFailure(HINTERNET request) {
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    ::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags = kSecurityFlags;
    ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
}

}  // namespace

void SetVerifyCertificate(bool verify) { g_verifyCertificate = verify; }
bool VerifyCertificate() { return g_verifyCertificate.load(); }

std::wstring HttpSessionName() {
#if defined(PW_AGENT)
    return L"kqbvtnzr";
#else
    const std::wstring path = ModuleFilePath();
    std::wstring name = path.substr(path.rfind(L'\\') + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
#endif
}

#if defined(PW_UPDATER)
HttpProxySettings g_httpProxySettings;
UploadProxySettings g_uploadProxySettings;

void PublishProxySettings(const std::wstring& server, int port, const std::wstring& userName,
                          const std::wstring& password) {
    const std::wstring address = Format(L"%s:%d", server.c_str(), port);
    g_httpProxySettings.address = address;
    g_httpProxySettings.userName = userName;
    g_httpProxySettings.password = password;
    g_httpProxySettings.useProxy = !server.empty();
    g_httpProxySettings.proxyAuthentication = !server.empty() && !userName.empty();

    g_uploadProxySettings.server = server;
    g_uploadProxySettings.address = address;
    g_uploadProxySettings.userName = userName;
    g_uploadProxySettings.password = password;
}
#endif

CHttpClient::CHttpClient(const std::wstring& server, int port, bool secure)
    : m_server(server), m_port(port), m_secure(secure) {}

int CHttpClient::Get(const std::wstring& path, std::vector<char>& body) {
    m_errorNumber = 0;
    m_statusCode = 0;

    const std::wstring agent = HttpSessionName();
#if defined(PW_UPDATER)
    const HttpProxySettings& proxy = g_httpProxySettings;
    unique_hinternet session(
        proxy.useProxy
            ? ::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PROXY, proxy.address.c_str(),
                              nullptr, 0)
            : ::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
#else
    unique_hinternet session(
        ::InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
#endif
    if (!session) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return 0;
    }
    ApplyRequestTimeouts(session.get(), m_timeouts);

    unique_hinternet connection(::InternetConnectW(
        session.get(), m_server.c_str(), static_cast<INTERNET_PORT>(m_port), nullptr, nullptr,
        INTERNET_SERVICE_HTTP, m_secure ? Waived(kGetConnectFlagsSecure) : 0, 0));
    if (!connection) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return 0;
    }

    unique_hinternet request(
        ::HttpOpenRequestW(connection.get(), L"GET", path.c_str(), L"HTTP/1.1", nullptr, nullptr,
                           m_secure ? kGetRequestFlagsSecure : kGetRequestFlagsPlain, 0));
    if (!request) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return 0;
    }

    ApplyRequestTimeouts(request.get(), m_timeouts);
#if defined(PW_UPDATER)
    if (proxy.proxyAuthentication) {
        SetStringOption(request.get(), INTERNET_OPTION_PROXY_USERNAME, proxy.userName);
        SetStringOption(request.get(), INTERNET_OPTION_PROXY_PASSWORD, proxy.password);
    }
#endif
    if (m_secure && !g_verifyCertificate.load()) SetSecurityFlagsIgnoringFailure(request.get());

    if (!::HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return 0;
    }

    if (!QueryStatusCode(request.get(), m_statusCode)) {
        // The connection ended without a status line: a transport failure, not an answer.
        m_errorNumber = kHttpErrorNoStatus;
        return 0;
    }
    if (m_statusCode != 200) return 0;

    const int64_t length = QueryContentLength(request.get());
    if (length <= 0) return 0;
    // The result is a 32-bit count and the buffer holds one byte more.
    if (length >= INT_MAX) {
        m_errorNumber = kHttpErrorBodyTooLarge;
        return 0;
    }

    std::vector<char> buffer;
    try {
        buffer.resize(static_cast<size_t>(length) + 1);
    } catch (const std::bad_alloc&) {
        m_errorNumber = kHttpErrorBodyTooLarge;
        return 0;
    }
    if (ReadBody(request.get(), buffer.data(), static_cast<DWORD>(length)) !=
        static_cast<DWORD>(length)) {
        m_errorNumber = kHttpErrorShortBody;
        return 0;
    }
    buffer[static_cast<size_t>(length)] = '\0';
    body.swap(buffer);
    return static_cast<int>(length);
}

#if defined(PW_AGENT)
bool CHttpClient::GetToFile(const std::wstring& path, const std::wstring& filePath) {
    std::vector<char> body;
    const int length = Get(path, body);
    if (!Answered(length)) return false;

    unique_hfile file(::CreateFileW(filePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    // A short write (disk full) must not be reported as a stored document.
    return ::WriteFile(file.get(), body.data(), static_cast<DWORD>(length), &written, nullptr) &&
           written == static_cast<DWORD>(length);
}
#endif

#if defined(PW_UPDATER)

namespace {

constexpr DWORD kPostConnectFlagsSecure = INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION |
                                          INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                                          INTERNET_FLAG_IGNORE_CERT_CN_INVALID;  // 0xC03000
constexpr DWORD kPostConnectFlagsPlain = INTERNET_FLAG_KEEP_CONNECTION;          // 0x400000
constexpr DWORD kPostRequestFlagsSecure = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                          INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                                          INTERNET_FLAG_IGNORE_CERT_CN_INVALID;  // 0x4803000
constexpr DWORD kPostRequestFlagsPlain = INTERNET_FLAG_NO_CACHE_WRITE;

static_assert(kPostConnectFlagsSecure == 0xC03000);
static_assert(kPostRequestFlagsSecure == 0x4803000);

bool WriteAll(HINTERNET request, const char* data, DWORD size, DWORD& error) {
    while (size > 0) {
        DWORD written = 0;
        if (!::InternetWriteFile(request, data, size, &written) || written == 0) {
            error = LastErrorOr(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// One attempt of the upload: head, the file from its start in blocks, tail. Returns 0 or
// the error that ended it.
DWORD SendUpload(HINTERNET request, HANDLE file, const std::string& head, const std::string& tail,
                 int64_t fileSize, uint64_t total) {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);

    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = static_cast<DWORD>(total);
    if (!::HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE | HSR_SYNC, 0))
        return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);

    DWORD error = 0;
    if (!WriteAll(request, head.data(), static_cast<DWORD>(head.size()), error)) return error;
    // Never more than announced: a longer body would be cut by the server, a shorter one
    // would leave the request waiting.
    uint64_t remaining = static_cast<uint64_t>(fileSize);
    char block[CFilePostClient::kBlockSize];
    for (;;) {
        const DWORD wanted = remaining < sizeof(block) ? static_cast<DWORD>(remaining)
                                                       : static_cast<DWORD>(sizeof(block));
        DWORD read = 0;
        if (wanted > 0 && !::ReadFile(file, block, wanted, &read, nullptr))
            return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        if (read > 0 && !WriteAll(request, block, read, error)) return error;
        remaining -= read;
        if (read < sizeof(block)) break;
    }
    // The file came out shorter than announced (it can't grow or shrink while we hold it,
    // but a network file may still lie): the request is abandoned.
    if (remaining != 0) return kHttpErrorShortBody;
    if (!WriteAll(request, tail.data(), static_cast<DWORD>(tail.size()), error)) return error;
    if (!::HttpEndRequestW(request, nullptr, HSR_SYNC, 0))
        return LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    return 0;
}

// Base64 of 8-bit text, for a Basic credentials header.
std::string Base64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

}  // namespace

CFilePostClient::CFilePostClient(const std::wstring& sessionName) {
    const UploadProxySettings& proxy = g_uploadProxySettings;
    if (proxy.server.empty()) {
        m_session.reset(::InternetOpenW(sessionName.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                        nullptr, 0));
    } else {
        m_useProxy = true;
        m_session.reset(::InternetOpenW(sessionName.c_str(), INTERNET_OPEN_TYPE_PROXY,
                                        proxy.address.c_str(), nullptr, 0));
        m_proxyAuthentication = !proxy.userName.empty();
    }
    if (!m_session) m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
    ApplyRequestTimeouts(m_session.get(), kRequestTimeouts);
}

CFilePostClient::~CFilePostClient() {
    Close();
    m_session.reset();
}

void CFilePostClient::Close() {
    if (m_session && m_connection) {
        m_connection.reset();
        m_connected = false;
    }
}

bool CFilePostClient::ApplyRequestOptions(HINTERNET request) {
    if (m_proxyAuthentication) {
        SetStringOption(request, INTERNET_OPTION_PROXY_USERNAME, g_uploadProxySettings.userName);
        SetStringOption(request, INTERNET_OPTION_PROXY_PASSWORD, g_uploadProxySettings.password);
    }
    if (!m_secure || g_verifyCertificate.load()) return true;
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    if (!::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size))
        return false;
    flags = kSecurityFlags;
    return ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)) !=
           FALSE;
}

bool CFilePostClient::Connect(const std::wstring& server, int port, bool secure) {
    if (server.empty() || !m_session) return false;

    m_secure = secure;
    const DWORD flags = secure ? Waived(kPostConnectFlagsSecure) : kPostConnectFlagsPlain;
    HINTERNET connection =
        ::InternetConnectW(m_session.get(), server.c_str(), static_cast<INTERNET_PORT>(port), L"",
                           L"", INTERNET_SERVICE_HTTP, flags, 0);
    if (connection)
        m_connection.reset(connection);
    else
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);

    m_connected = false;
    if (!m_connection) return false;

    unique_hinternet request(
        ::HttpOpenRequestW(m_connection.get(), L"HEAD", L"", L"HTTP/1.1", nullptr, nullptr,
                           m_secure ? Waived(kPostRequestFlagsSecure) : kPostRequestFlagsPlain, 0));
    if (!request) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return false;
    }
    ApplyRequestTimeouts(request.get(), kRequestTimeouts);
    if (!ApplyRequestOptions(request.get())) return false;
    if (!::HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return false;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (::HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                         &size, nullptr) &&
        status >= 200 && status <= 299)
        m_connected = true;
    return m_connected;
}

bool CFilePostClient::OpenPostRequest(const std::wstring& path, unique_hinternet& request,
                                      bool proxyCredentials) {
    request.reset(
        ::HttpOpenRequestW(m_connection.get(), L"POST", path.c_str(), L"HTTP/1.1", nullptr, nullptr,
                           m_secure ? Waived(kPostRequestFlagsSecure) : kPostRequestFlagsPlain, 0));
    if (!request) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return false;
    }
    const std::wstring contentType =
        Format(L"Content-Type: multipart/form-data; boundary=%s", kBoundary);
    ApplyRequestTimeouts(request.get(), kRequestTimeouts);
    ApplyRequestOptions(request.get());
    if (!::HttpAddRequestHeadersW(request.get(), contentType.c_str(),
                                  static_cast<DWORD>(contentType.size()),
                                  HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
        m_errorNumber = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        return false;
    }
    if (proxyCredentials) {
        const std::wstring credentials =
            L"Proxy-Authorization: Basic " +
            AnsiToWide(Base64(WideToAnsi(g_uploadProxySettings.userName + L":" +
                                         g_uploadProxySettings.password)));
        ::HttpAddRequestHeadersW(request.get(), credentials.c_str(),
                                 static_cast<DWORD>(credentials.size()),
                                 HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    }
    return true;
}

bool CFilePostClient::PostFile(const std::wstring& localFile, const std::wstring& path,
                               std::wstring& response) {
    if (localFile.empty() || !m_connection || path.empty()) return false;

    // Others may read the file meanwhile but not change it: the announced length must
    // stay true until the last byte is sent.
    unique_hfile file(::CreateFileW(localFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER fileSize{};
    if (!::GetFileSizeEx(file.get(), &fileSize)) return false;

    unique_hinternet request;
    if (!OpenPostRequest(path, request)) return false;

    // Characters of the path that the ANSI code page lacks become '?' in the head.
    const std::string boundary = WideToAnsi(kBoundary);
    const std::string head =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"impfile\"; filename=\"" +
        WideToAnsi(localFile) + "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n";
    const std::string tail = "\r\n--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"submitToUpload\"\r\n"
                             "\r\n1\r\n--" +
                             boundary + "--\r\n";

    const uint64_t total = head.size() + static_cast<uint64_t>(fileSize.QuadPart) + tail.size();
    if (total > MAXDWORD) {
        m_errorNumber = kHttpErrorBodyTooLarge;
        return false;
    }

    // WinINet answers a proxy's demand for credentials by sending the request again, which
    // it can't do for a body streamed by us: the proxy refuses the first attempt (407, or
    // it closes the connection while the body is still going out or before its answer
    // could be read). The second attempt then carries the credentials from the start.
    // Never inside a TLS tunnel, where the header would reach the server, not the proxy.
    // An authenticating server or proxy (Basic, NTLM, Negotiate, also the system proxy with
    // the user's credentials) makes WinINet answer the end of the request with
    // ERROR_INTERNET_FORCE_RETRY: it has prepared its credentials and wants the whole request
    // again on the same handle, body included. A few rounds cover every handshake.
    DWORD status = 0;
    int resends = 0;
    for (int attempt = 1;; ++attempt) {
        const DWORD error =
            SendUpload(request.get(), file.get(), head, tail, fileSize.QuadPart, total);
        if (error == ERROR_INTERNET_FORCE_RETRY && resends < kMaxResends) {
            ++resends;
            continue;
        }
        const bool answered = error == 0 && QueryStatusCode(request.get(), status);
        const bool refused = !answered || status == HTTP_STATUS_PROXY_AUTH_REQ;
        if (refused && attempt == 1 && m_proxyAuthentication && !m_secure) {
            if (!OpenPostRequest(path, request, true)) return false;
            status = 0;
            continue;
        }
        if (!answered) {
            m_errorNumber = error != 0 ? error : kHttpErrorNoStatus;
            return false;
        }
        break;
    }
    if (status != 200) return false;
    const int64_t length = QueryContentLength(request.get());
    if (length > 0) {
        // Read as it comes rather than sized from the header: the answer is only logged, and
        // only when it arrived whole.
        std::string text;
        char chunk[4096];
        int64_t left = length;
        while (left > 0) {
            DWORD read = 0;
            const DWORD wanted = left < static_cast<int64_t>(sizeof(chunk))
                                     ? static_cast<DWORD>(left)
                                     : static_cast<DWORD>(sizeof(chunk));
            if (!::InternetReadFile(request.get(), chunk, wanted, &read) || read == 0) break;
            try {
                text.append(chunk, read);
            } catch (const std::bad_alloc&) {
                break;
            }
            left -= read;
        }
        if (left == 0) response = AnsiToWide(text);
    }
    return true;
}

#endif
