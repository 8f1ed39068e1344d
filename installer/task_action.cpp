// The updater's scheduled task: LocalSystem, at start-up and once a day with a random delay,
// registered from a task XML with schtasks so that Windows 7 to 11 read the same definition.
#include <string>

#include "installer/msi_session.h"
#include "installer/setup_actions.h"

namespace {

const wchar_t kTaskName[] = L"Pellwick updater";
constexpr DWORD kSchtasksWait = 60000;
constexpr int kMaxDelayMinutes = 1440;

bool ParseNumber(const std::wstring& text, int maximum, int* value) {
    if (text.empty() || text.size() > 4) return false;
    int number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + (c - L'0');
    }
    if (number > maximum) return false;
    *value = number;
    return true;
}

// "H:MM" or "HH:MM", 24-hour clock; normalised to "HH:MM".
bool ParseTime(const std::wstring& text, std::wstring* normalised) {
    const size_t colon = text.find(L':');
    int hours = 0, minutes = 0;
    if (colon == std::wstring::npos || colon == 0 || colon > 2 || text.size() - colon - 1 != 2 ||
        !ParseNumber(text.substr(0, colon), 23, &hours) ||
        !ParseNumber(text.substr(colon + 1), 59, &minutes)) {
        return false;
    }
    wchar_t buffer[8];
    buffer[0] = static_cast<wchar_t>(L'0' + hours / 10);
    buffer[1] = static_cast<wchar_t>(L'0' + hours % 10);
    buffer[2] = L':';
    buffer[3] = static_cast<wchar_t>(L'0' + minutes / 10);
    buffer[4] = static_cast<wchar_t>(L'0' + minutes % 10);
    buffer[5] = L'\0';
    *normalised = buffer;
    return true;
}

std::wstring XmlEscape(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
            case L'&':
                out += L"&amp;";
                break;
            case L'<':
                out += L"&lt;";
                break;
            case L'>':
                out += L"&gt;";
                break;
            case L'"':
                out += L"&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::wstring TaskXml(const std::wstring& folder, const std::wstring& time, int delay) {
    const std::wstring updater = setup::JoinPath(folder, L"updater.exe");
    std::wstring xml =
        L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
        L"<Task version=\"1.2\" "
        L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
        L"  <RegistrationInfo>\r\n"
        L"    <Description>Brings the Pellwick programs up to date.</Description>\r\n"
        L"  </RegistrationInfo>\r\n"
        L"  <Triggers>\r\n"
        L"    <BootTrigger>\r\n"
        L"      <Enabled>true</Enabled>\r\n"
        L"    </BootTrigger>\r\n"
        L"    <CalendarTrigger>\r\n"
        L"      <StartBoundary>2020-01-01T" +
        time +
        L":00</StartBoundary>\r\n"
        L"      <Enabled>true</Enabled>\r\n";
    if (delay > 0)
        xml += L"      <RandomDelay>PT" + std::to_wstring(delay) + L"M</RandomDelay>\r\n";
    xml +=
        L"      <ScheduleByDay>\r\n"
        L"        <DaysInterval>1</DaysInterval>\r\n"
        L"      </ScheduleByDay>\r\n"
        L"    </CalendarTrigger>\r\n"
        L"  </Triggers>\r\n"
        L"  <Principals>\r\n"
        L"    <Principal id=\"System\">\r\n"
        L"      <UserId>S-1-5-18</UserId>\r\n"
        L"      <RunLevel>HighestAvailable</RunLevel>\r\n"
        L"    </Principal>\r\n"
        L"  </Principals>\r\n"
        L"  <Settings>\r\n"
        L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
        L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
        L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
        L"    <StartWhenAvailable>true</StartWhenAvailable>\r\n"
        L"    <ExecutionTimeLimit>PT2H</ExecutionTimeLimit>\r\n"
        L"    <Enabled>true</Enabled>\r\n"
        L"  </Settings>\r\n"
        L"  <Actions Context=\"System\">\r\n"
        L"    <Exec>\r\n"
        L"      <Command>" +
        XmlEscape(updater) +
        L"</Command>\r\n"
        L"      <WorkingDirectory>" +
        XmlEscape(folder) +
        L"</WorkingDirectory>\r\n"
        L"    </Exec>\r\n"
        L"  </Actions>\r\n"
        L"</Task>\r\n";
    return xml;
}

bool WriteUtf16File(const std::wstring& path, const std::wstring& text) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file) return false;
    const std::wstring bytes = L"\xFEFF" + text;
    const DWORD size = static_cast<DWORD>(bytes.size() * sizeof(wchar_t));
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), size, &written, nullptr) && written == size;
}

UINT RemoveTask(MSIHANDLE install) {
    DWORD code = 0;
    const std::wstring command =
        L"\"" + setup::SystemProgram(L"schtasks.exe") + L"\" /delete /tn \"" + kTaskName + L"\" /f";
    if (!setup::RunHidden(command, kSchtasksWait, &code) || code != 0) {
        setup::Log(install,
                   L"DeleteUpdateTask: schtasks /delete ended with " + std::to_wstring(code));
    }
    return ERROR_SUCCESS;
}

}  // namespace

namespace setup {

bool PrepareUpdateTask(MSIHANDLE install, const std::wstring& folder, std::wstring* data) {
    std::wstring time = Property(install, L"UPDATETIME");
    std::wstring delay = Property(install, L"UPDATEDELAY");
    if (time.empty()) time = setup::Remembered(L"UpdateTime");
    if (time.empty()) time = L"03:00";
    if (delay.empty()) delay = setup::Remembered(L"UpdateDelay");
    if (delay.empty()) delay = L"60";
    std::wstring normalised;
    if (!ParseTime(time, &normalised)) {
        Log(install,
            L"PrepareUpdateTask: UPDATETIME must be a time of day such as 03:00, not " + time);
        return false;
    }
    int minutes = 0;
    if (!ParseNumber(delay, kMaxDelayMinutes, &minutes)) {
        Log(install, L"PrepareUpdateTask: UPDATEDELAY must be a number of minutes from 0 to " +
                         std::to_wstring(kMaxDelayMinutes) + L", not " + delay);
        return false;
    }
    // The Registry table writes these for the next upgrade or repair.
    SetProperty(install, L"PW_UPDATETIME", normalised);
    SetProperty(install, L"PW_UPDATEDELAY", std::to_wstring(minutes));
    *data = JoinRecords({{folder, normalised, std::to_wstring(minutes)}});
    return true;
}

}  // namespace setup

// Deferred, as LocalSystem: replaces a task of the same name (upgrade, repair).
extern "C" UINT __stdcall CreateUpdateTask(MSIHANDLE install) {
    const auto records = setup::SplitRecords(setup::Property(install, L"CustomActionData"));
    if (records.size() != 1 || records[0].size() != 3) {
        setup::Log(install, L"CreateUpdateTask: no task data");
        return ERROR_INSTALL_FAILURE;
    }
    const setup::Record& task = records[0];
    int delay = 0;
    if (!ParseNumber(task[2], kMaxDelayMinutes, &delay)) {
        setup::Log(install, L"CreateUpdateTask: bad delay " + task[2]);
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring xml = TaskXml(task[0], task[1], delay);
    // The definition goes to the log: it is what Windows was asked to register.
    setup::Log(install, L"CreateUpdateTask: task definition\r\n" + xml);
    wchar_t tempFolder[MAX_PATH + 1] = L"";
    wchar_t xmlPath[MAX_PATH + 1] = L"";
    if (!::GetTempPathW(MAX_PATH + 1, tempFolder) ||
        !::GetTempFileNameW(tempFolder, L"pwt", 0, xmlPath) || !WriteUtf16File(xmlPath, xml)) {
        setup::Log(install, L"CreateUpdateTask: cannot write the task definition (error " +
                                std::to_wstring(::GetLastError()) + L")");
        if (xmlPath[0]) ::DeleteFileW(xmlPath);
        return ERROR_INSTALL_FAILURE;
    }
    DWORD code = 0;
    const std::wstring command = L"\"" + setup::SystemProgram(L"schtasks.exe") +
                                 L"\" /create /tn \"" + kTaskName + L"\" /xml \"" + xmlPath +
                                 L"\" /f";
    const bool ran = setup::RunHidden(command, kSchtasksWait, &code);
    ::DeleteFileW(xmlPath);
    if (!ran || code != 0) {
        setup::Log(install, L"CreateUpdateTask: schtasks /create failed (" +
                                std::wstring(ran ? L"exit code " : L"not run, error ") +
                                std::to_wstring(ran ? code : ::GetLastError()) + L")");
        return ERROR_INSTALL_FAILURE;
    }
    setup::Log(install, L"CreateUpdateTask: registered \"" + std::wstring(kTaskName) +
                            L"\" daily at " + task[1] + L" with up to " + task[2] +
                            L" minutes' delay, and at start-up");
    return ERROR_SUCCESS;
}

// Deferred, as LocalSystem, at removal and as the rollback of CreateUpdateTask.
extern "C" UINT __stdcall DeleteUpdateTask(MSIHANDLE install) { return RemoveTask(install); }
