// Request paths of the agent's server requests. Paths are built as whole strings, never
// cut; names that go into a path segment are percent-escaped.
#pragma once
#include <string>

// Percent-escapes one path segment: the UTF-8 bytes of letters, digits and "-_.~" stay as
// they are, every other byte becomes "%xx" (lower-case hex).
std::wstring EscapePathSegment(const std::wstring& text);

// Each form uses the host id when it is not 0, else 0 and the escaped computer name.
std::wstring StatusReportPath(int statusId, const std::wstring& consoleUser);
std::wstring VersionReportPath();
std::wstring SettingsCheckPath();
std::wstring ConfDocumentPath();
// installPath/computer/user, both names escaped.
std::wstring InstallReportPath(const std::wstring& installPath, const std::wstring& computer,
                               const std::wstring& user);
