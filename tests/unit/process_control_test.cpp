#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <regex>
#include <thread>

#include "common/handles.h"
#include "common/text.h"
#include "updater_test_support.h"

namespace {

// A copy of the fixture program under a name no other test uses.
struct ProgramFolder {
    TempDir dir;
    std::wstring name = Format(L"pwproc_%u.exe", ::GetCurrentProcessId());
    std::wstring path = dir / name;
    ProgramFolder() { ::CopyFileW(FixturePath(L"fixture_proc.exe").c_str(), path.c_str(), FALSE); }

    unique_handle Start(const std::wstring& arguments) const {
        std::wstring commandLine = L"\"" + path + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info))
            return unique_handle();
        ::CloseHandle(info.hThread);
        return unique_handle(info.hProcess);
    }
};

DWORD FirstProcessNamed(const std::wstring& name) {
    unique_snapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) return entry.th32ProcessID;
    return 0;
}

bool WaitUntilListed(const std::wstring& name, int count) {
    for (int i = 0; i < 500; ++i) {
        int found = 0;
        unique_snapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
             more = ::Process32NextW(snapshot.get(), &entry))
            if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) ++found;
        if (found >= count) return true;
        ::Sleep(10);
    }
    return false;
}

DWORD ExitCodeAfter(HANDLE process, DWORD milliseconds) {
    if (::WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    return code;
}

// "fail:[TEXT](N)" with any non-zero N.
bool IsFailLine(const std::wstring& line, const std::wstring& text) {
    const std::wstring head = L"fail:[" + text + L"](";
    if (line.compare(0, head.size(), head) != 0 || line.back() != L')') return false;
    const std::wstring code = line.substr(head.size(), line.size() - head.size() - 1);
    return !code.empty() && code != L"0" &&
           code.find_first_not_of(L"-0123456789") == std::wstring::npos;
}

TEST(Terminator, OnlyTheFirstMatchingProcessIsTerminated) {
    ProgramFolder program;
    LogCapture log;
    unique_handle one = program.Start(L"wait 60000");
    unique_handle two = program.Start(L"wait 60000");
    ASSERT_TRUE(one && two);
    ASSERT_TRUE(WaitUntilListed(program.name, 2));
    const DWORD first = FirstProcessNamed(program.name);

    CUpdater updater(program.dir.path());
    // Letter case differs, but ".exe" stays lower case (".EXE" would name a service).
    std::wstring upper = program.name;
    for (size_t i = 0; i + 4 < upper.size(); ++i)
        upper[i] = static_cast<wchar_t>(::towupper(upper[i]));
    // A folder never matches a snapshot's name; a program not running is no error; the
    // name matches without regard to case.
    updater.m_stopList = {program.path, L"pw_not_running_at_all.exe", upper};
    EXPECT_TRUE(updater.Terminator());

    HANDLE killed = ::GetProcessId(one.get()) == first ? one.get() : two.get();
    HANDLE spared = killed == one.get() ? two.get() : one.get();
    // Waited for: it has ended by the time the step returns.
    EXPECT_EQ(ExitCodeAfter(killed, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ExitCodeAfter(killed, 10000), 0xFFFFFFFFu);
    EXPECT_EQ(ExitCodeAfter(spared, 200), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_TRUE(log.Lines().empty()) << Dump(log.Lines());
    ::TerminateProcess(spared, 0);
}

TEST(Launcher, ProgramEntriesRunWithTheProgramFolderAndAreWaitedFor) {
    ProgramFolder program;
    LogCapture log;
    CUpdater updater(program.dir.path());
    const std::wstring folder = program.dir.path();
    updater.m_startList = {
        L"[EXEPATH]\\" + program.name + L" marker [EXEPATH]\\started.txt wait 300",
        L"[EXEPATH]\\" + program.name + L" exit 3",
        L"[EXEPATH]\\pw_missing_program.exe",
    };
    EXPECT_TRUE(updater.Launcher());

    // Waited for: the marker exists as soon as the step returns.
    EXPECT_TRUE(FileExists(program.dir / L"started.txt"));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u) << Dump(lines);
    EXPECT_EQ(lines[0], L"fail:[" + folder + L"\\" + program.name + L" exit 3](3)");
    // A command that can't start at all: its command line and the system's error code.
    EXPECT_EQ(lines[1], L"fail:[" + folder + L"\\pw_missing_program.exe](2)");
}

TEST(ProcessControl, EntriesWithoutLowerCaseExeAreServices) {
    TempDir dir;
    LogCapture log;
    CUpdater updater(dir.path());
    updater.m_stopList = {L"PW_NO_SUCH.EXE", L".exe"};
    updater.m_startList = {L"[EXEPATH]pw_no_service"};
    updater.Terminator();
    updater.Launcher();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u) << Dump(lines);
    EXPECT_TRUE(IsFailLine(lines[0], L"PW_NO_SUCH.EXE")) << Narrow(lines[0]);
    EXPECT_TRUE(IsFailLine(lines[1], L".exe")) << Narrow(lines[1]);
    EXPECT_TRUE(IsFailLine(lines[2], L"[EXEPATH]pw_no_service")) << Narrow(lines[2]);
}

// A real service, registered for the test and removed after it.
class TestService {
public:
    // `dependsOn`: the name of a service this one needs (empty: none).
    explicit TestService(const std::wstring& suffix = L"", const std::wstring& dependsOn = L"")
        : name(Format(L"PwTestService%u%s", ::GetCurrentProcessId(), suffix.c_str())) {
        manager_ = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        // A list of names, each ended by a zero, the list by one more.
        std::wstring dependencies = dependsOn;
        dependencies.push_back(L'\0');
        const std::wstring binary = L"\"" + FixturePath(L"fixture_service.exe") + L"\"";
        if (manager_)
            service_ = ::CreateServiceW(
                manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr,
                dependsOn.empty() ? nullptr : dependencies.c_str(), nullptr, nullptr);
    }
    ~TestService() {
        if (service_) {
            SERVICE_STATUS status{};
            ::ControlService(service_, SERVICE_CONTROL_STOP, &status);
            ::DeleteService(service_);
            ::CloseServiceHandle(service_);
        }
        if (manager_) ::CloseServiceHandle(manager_);
    }
    bool Registered() const { return service_ != nullptr; }
    // Starts and stops the service once with net.exe itself. Where the prefix runs two
    // service managers (a second "wineboot -i"), net.exe may ask the one that doesn't know
    // the new service; the test then can't tell anything about the steps and is skipped.
    bool NetControlsIt() const {
        const DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < 8000) {
            if (Net(L"start") && WaitFor(SERVICE_RUNNING) && Net(L"stop") &&
                WaitFor(SERVICE_STOPPED))
                return true;
            ::Sleep(200);
        }
        return false;
    }
    DWORD State() const {
        SERVICE_STATUS status{};
        return ::QueryServiceStatus(service_, &status) ? status.dwCurrentState : 0;
    }

    const std::wstring name;

    bool Net(const wchar_t* verb) const {
        std::wstring commandLine = Format(L"net.exe %s %s", verb, name.c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info))
            return false;
        ::CloseHandle(info.hThread);
        unique_handle process(info.hProcess);
        if (::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.get(), 1);
            return false;
        }
        DWORD code = 1;
        ::GetExitCodeProcess(process.get(), &code);
        return code == 0;
    }

private:
    bool WaitFor(DWORD state) const {
        for (int i = 0; i < 100 && State() != state; ++i) ::Sleep(50);
        return State() == state;
    }
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

TEST(ProcessControl, RealServiceIsStartedAndStoppedThroughNet) {
    TestService service;
    ASSERT_TRUE(service.Registered()) << ::GetLastError();
    if (!service.NetControlsIt()) GTEST_SKIP() << "net.exe can't reach the service manager";
    TempDir dir;
    LogCapture log;
    CUpdater updater(dir.path());
    updater.m_startList = {service.name};
    updater.m_stopList = {service.name};

    updater.Launcher();
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    updater.Terminator();
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(log.Lines().empty()) << Dump(log.Lines());

    // Stopping it again fails, and the step says so.
    updater.Terminator();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << Dump(lines);
    EXPECT_TRUE(IsFailLine(lines[0], service.name)) << Narrow(lines[0]);
}

// A stop that would ask (a service with a running dependent service) must not wait for an
// answer: net.exe either stops both or ends with its failure code at once; the step ends.
TEST(ProcessControl, StopOfAServiceWithARunningDependentEnds) {
    TestService base(L"b");
    TestService dependent(L"d", base.name);
    ASSERT_TRUE(base.Registered() && dependent.Registered()) << ::GetLastError();
    if (!base.NetControlsIt()) GTEST_SKIP() << "net.exe can't reach the service manager";
    // Both started by hand: Wine's service manager doesn't start a dependency by itself.
    ASSERT_TRUE(base.Net(L"start"));
    for (int i = 0; i < 100 && base.State() != SERVICE_RUNNING; ++i) ::Sleep(50);
    ASSERT_TRUE(dependent.Net(L"start"));
    for (int i = 0; i < 100 && dependent.State() != SERVICE_RUNNING; ++i) ::Sleep(50);
    ASSERT_EQ(dependent.State(), static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_EQ(base.State(), static_cast<DWORD>(SERVICE_RUNNING));

    TempDir dir;
    LogCapture log;
    CUpdater updater(dir.path());
    updater.m_stopList = {base.name, L"pw_next_entry_still_tried"};
    EXPECT_TRUE(updater.Terminator());
    const auto lines = log.Lines();
    // Either net.exe stopped the dependent too, or it refused and said so; the next entry
    // was tried either way.
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(IsFailLine(lines.back(), L"pw_next_entry_still_tried")) << Dump(lines);
    if (lines.size() == 2)
        EXPECT_TRUE(IsFailLine(lines[0], base.name)) << Dump(lines);
    else
        EXPECT_EQ(base.State(), static_cast<DWORD>(SERVICE_STOPPED)) << Dump(lines);
}

// A started command has no interactive input: one that asks a question reads the end of the
// null device and ends, although the updater's own input is a pipe nobody writes to.
TEST(ProcessControl, StartedCommandsReadTheNullDevice) {
    ProgramFolder program;
    LogCapture log;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    unique_handle reader(readEnd), writer(writeEnd);
    const HANDLE previous = ::GetStdHandle(STD_INPUT_HANDLE);
    ::SetStdHandle(STD_INPUT_HANDLE, reader.get());

    CUpdater updater(program.dir.path());
    updater.m_startList = {L"[EXEPATH]\\" + program.name + L" ask [EXEPATH]\\asked.txt"};
    std::atomic<bool> done{false};
    std::thread run([&] {
        updater.Launcher();
        done = true;
    });
    for (int i = 0; i < 300 && !done; ++i) ::Sleep(50);
    const bool ended = done;
    if (!ended) {  // release the child so that the test itself ends
        DWORD written = 0;
        ::WriteFile(writer.get(), "N\r\n", 3, &written, nullptr);
    }
    run.join();
    ::SetStdHandle(STD_INPUT_HANDLE, previous);

    EXPECT_TRUE(ended) << "the command waited for an answer";
    EXPECT_EQ(ReadBytes(program.dir / L"asked.txt"), "nul");
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << Dump(lines);
    EXPECT_EQ(lines[0], L"fail:[" + program.dir.path() + L"\\" + program.name + L" ask " +
                            program.dir.path() + L"\\asked.txt](2)");
}

// net.exe is the system's, never one in the current folder (or the updater's own).
TEST(ProcessControl, NetIsTakenFromTheSystemFolder) {
    TempDir dir;
    ASSERT_TRUE(
        ::CopyFileW(FixturePath(L"fixture_proc.exe").c_str(), (dir / L"net.exe").c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
    LogCapture log;
    CUpdater updater(dir.path());
    updater.m_stopList = {L"pw_no_such_service"};
    updater.Terminator();
    ::SetCurrentDirectoryW(previous);
    EXPECT_FALSE(FileExists(dir / L"net_ran.txt"));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << Dump(lines);
    EXPECT_TRUE(IsFailLine(lines[0], L"pw_no_such_service")) << Narrow(lines[0]);
}

}  // namespace
