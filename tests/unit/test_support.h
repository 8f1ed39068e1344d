// Helpers shared by the unit tests: temporary folders, whole-file I/O, a fake clock.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "common/seam.h"

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
// Folder of the running test executable.
std::wstring TestBinFolder();
std::string Narrow(const std::wstring& text);

// A clock whose "now" is set by the test; Sleep is counted, may run a hook, and sleeps
// only one real millisecond so that waiting threads still yield.
class FakeClock : public seam::Clock {
public:
    FakeClock();
    ~FakeClock() override;
    void Sleep(DWORD milliseconds) override;
    int64_t Now() override { return now.load(); }
    DWORD TickCount() override { return tick.load(); }
    // Counted and hooked like Sleep, without dispatching anything.
    void SleepDispatching(DWORD milliseconds) override { Sleep(milliseconds); }
    // Request time-outs capped at requestTimeoutCap milliseconds when that is not 0.
    DWORD RequestTimeout(DWORD milliseconds) override {
        const DWORD cap = requestTimeoutCap.load();
        return cap != 0 && milliseconds > cap ? cap : milliseconds;
    }

    std::atomic<int64_t> now{1796634303};  // 2026-12-07 09:05:03 UTC
    std::atomic<DWORD> tick{0};
    std::atomic<int> sleeps{0};
    std::atomic<DWORD> sleptMilliseconds{0};
    std::function<void(DWORD)> onSleep;
    std::atomic<DWORD> requestTimeoutCap{0};

private:
    seam::Clock* previous_;
};

// Mirrors the log writer for one test: every line logged meanwhile, and the writer's files
// in a folder of its own. The destructor stops the writer.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    // The mirrored text as it stands.
    std::wstring Text() const;
    // The messages, without time stamp and code.
    std::vector<std::wstring> Lines() const;
    // The messages that begin with `prefix`.
    std::vector<std::wstring> LinesStartingWith(const std::wstring& prefix) const;
    bool Has(const std::wstring& line) const;

private:
    TempDir folder_;
};
