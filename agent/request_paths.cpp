#include "agent/request_paths.h"

#include <windows.h>

#include "agent/agent_settings.h"
#include "common/text.h"

std::wstring EscapePathSegment(const std::wstring& text) {
    std::string utf8;
    if (!text.empty()) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                            nullptr, 0, nullptr, nullptr);
        if (n > 0) {
            utf8.resize(static_cast<size_t>(n));
            ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0],
                                  n, nullptr, nullptr);
        }
    }
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring out;
    for (const char c : utf8) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b == 0) break;
        const bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                           (b >= '0' && b <= '9') || b == '-' || b == '_' || b == '.' || b == '~';
        if (plain) {
            out += static_cast<wchar_t>(b);
        } else {
            out += L'%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

std::wstring StatusReportPath(int statusId, const std::wstring& consoleUser) {
    const AgentSettings& s = Settings();
    if (s.hostId != 0) return Format(L"%s/%d/%d", s.statusPath.c_str(), s.hostId, statusId);
    return Format(L"%s/%d/%d/%s/%s", s.statusPath.c_str(), 0, statusId,
                  EscapePathSegment(s.computerName).c_str(),
                  EscapePathSegment(consoleUser).c_str());
}

std::wstring VersionReportPath() {
    const AgentSettings& s = Settings();
    if (s.hostId != 0)
        return Format(L"%s/%d/%s", s.versionPath.c_str(), s.hostId, s.productVersion.c_str());
    return Format(L"%s/%d/%s/%s", s.versionPath.c_str(), 0, s.productVersion.c_str(),
                  EscapePathSegment(s.computerName).c_str());
}

namespace {
std::wstring HostPath(const std::wstring& base) {
    const AgentSettings& s = Settings();
    if (s.hostId != 0) return Format(L"%s/%d", base.c_str(), s.hostId);
    return Format(L"%s/%d/%s", base.c_str(), 0, EscapePathSegment(s.computerName).c_str());
}
}  // namespace

std::wstring SettingsCheckPath() { return HostPath(Settings().checkPath); }

std::wstring ConfDocumentPath() { return HostPath(Settings().confPath); }

std::wstring InstallReportPath(const std::wstring& installPath, const std::wstring& computer,
                               const std::wstring& user) {
    return Format(L"%s/%s/%s", installPath.c_str(), EscapePathSegment(computer).c_str(),
                  EscapePathSegment(user).c_str());
}
