// Link stand-in until the HTTP client lands: every request fails like an unreachable
// server.
#include "common/http_client.h"

CHttpClient::CHttpClient(const std::wstring& server, int port, bool secure)
    : m_server(server), m_port(port), m_secure(secure) {}

int CHttpClient::Get(const std::wstring&, std::vector<char>&) {
    m_errorNumber = 12029;
    m_statusCode = 0;
    return 0;
}
