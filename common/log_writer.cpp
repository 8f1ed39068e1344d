#include "common/log_writer.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "common/handles.h"
#include "common/seam.h"
#include "common/sort_string_array.h"
#include "common/text.h"

namespace {

const wchar_t kFileName[] = L"log.txt";

struct LogEntry {
    int code;
    std::wstring message;
    int64_t time;
};

// The queue lock: the agent shares a named mutex with whoever else logs in its session;
// the updater keeps it inside the process.
class QueueLock {
public:
#if defined(PW_AGENT)
    QueueLock() : mutex_(::CreateMutexW(nullptr, FALSE, L"pwlogger")) {}
    bool Created() const { return static_cast<bool>(mutex_); }
    bool Acquire() {
        if (!mutex_) return false;
        const DWORD r = ::WaitForSingleObject(mutex_.get(), INFINITE);
        // A mutex abandoned by a thread that ended while holding it is still ours now.
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void Release() { ::ReleaseMutex(mutex_.get()); }

private:
    unique_handle mutex_;
#else
    bool Created() const { return true; }
    bool Acquire() {
        cs_.Enter();
        return true;
    }
    void Release() { cs_.Leave(); }

private:
    CriticalSection cs_;
#endif
};

struct WriterState {
    QueueLock queueLock;
    std::deque<LogEntry> queue;  // guarded by queueLock
#if defined(PW_AGENT)
    std::wstring folder = L".\\log";
#else
    std::wstring folder = L".\\updatelog";
#endif
    std::mutex folderMutex;  // guards folder
    std::atomic<bool> running{false};
    unique_handle thread;  // touched only by the starting and stopping thread
    std::atomic<bool> mirror{false};
    std::mutex mirrorMutex;  // guards mirrorList
    std::vector<std::wstring> mirrorList;
};

WriterState& State() {
    static WriterState state;
    return state;
}

// The lock exists from static initialisation on, before any thread can log.
const bool g_stateCreated = (State(), true);

std::wstring CurrentFolder() {
    std::lock_guard<std::mutex> guard(State().folderMutex);
    return State().folder;
}

// Moves up to `limit` entries (all when 0) from the queue, formatted.
std::vector<std::wstring> TakeLines(size_t limit) {
    std::vector<std::wstring> lines;
    WriterState& s = State();
    if (!s.queueLock.Acquire()) return lines;
    while (!s.queue.empty() && (limit == 0 || lines.size() < limit)) {
        const LogEntry& e = s.queue.front();
        lines.push_back(logwriter::FormatLine(e.code, e.message, e.time));
        s.queue.pop_front();
    }
    s.queueLock.Release();
    return lines;
}

unique_hfile OpenLogFile(const std::wstring& folder) {
    const std::wstring path = Format(L"%s\\%s", folder.c_str(), kFileName);
    return unique_hfile(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Appends the lines to the open file, closes it, and rotates it when it has grown past
// the limit.
void WriteAndRotate(unique_hfile file, const std::wstring& folder,
                    const std::vector<std::wstring>& lines) {
    std::string bytes;
    for (const std::wstring& line : lines) bytes += logwriter::EncodeLine(line);
    LARGE_INTEGER zero{};
    ::SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
    // Write in slices so that a huge final flush never asks for a single giant write.
    size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data() + offset, chunk, &written, nullptr) ||
            written == 0)
            break;
        offset += written;
    }
    LARGE_INTEGER size{};
    const bool sized = ::GetFileSizeEx(file.get(), &size) != 0;
    file.reset();
    if (!sized || size.QuadPart <= logwriter::kRotateSize) return;

    const std::wstring current = Format(L"%s\\%s", folder.c_str(), kFileName);
    const std::wstring stamp = FormatLocalTime(seam::Now(), L"%Y%m%d_%H%M%S");
    const std::wstring rotated = Format(L"%s\\%s_%s", folder.c_str(), stamp.c_str(), kFileName);
    // Without replacement: a name already taken in this second leaves the file for a later
    // pass.
    ::MoveFileW(current.c_str(), rotated.c_str());
    logwriter::CleanUp(folder);
}

void FilePass(const std::vector<std::wstring>& lines) {
    const std::wstring folder = CurrentFolder();
    unique_hfile file = OpenLogFile(folder);
    if (!file) return;  // the lines of this pass are lost; the next pass tries again
    WriteAndRotate(std::move(file), folder, lines);
}

DWORD WINAPI WriterThread(void*) {
    WriterState& s = State();
    ::CreateDirectoryW(CurrentFolder().c_str(), nullptr);
    while (s.running.load()) {
        std::vector<std::wstring> lines = TakeLines(logwriter::kEntriesPerPass);
        if (!lines.empty()) FilePass(lines);
        seam::Sleep(logwriter::kPassMilliseconds);
    }
    return 0;
}

void FinalFlush() {
    if (logwriter::QueuedCount() == 0) return;
    const std::wstring folder = CurrentFolder();
    unique_hfile file = OpenLogFile(folder);
    if (!file) return;
    // Everything still queued: lines logged in the last half second must not be lost.
    const std::vector<std::wstring> lines = TakeLines(0);
    WriteAndRotate(std::move(file), folder, lines);
}

}  // namespace

int Log(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogEntry entry{-1, FormatV(format, args), seam::Now()};
    va_end(args);

    WriterState& s = State();
    std::wstring mirrored;
    if (s.mirror.load()) mirrored = logwriter::FormatLine(entry.code, entry.message, entry.time);
    if (s.queueLock.Acquire()) {
        s.queue.push_back(std::move(entry));
        s.queueLock.Release();
    }
    if (!mirrored.empty()) {
        std::lock_guard<std::mutex> guard(s.mirrorMutex);
        s.mirrorList.push_back(std::move(mirrored));
    }
    return 0;
}

void LogSetFolder(const std::wstring& folder) {
    std::lock_guard<std::mutex> guard(State().folderMutex);
    State().folder = folder;
}

std::wstring LogFolder() { return CurrentFolder(); }

void LogSetMirror(bool on) { State().mirror.store(on); }

std::wstring LogMirrorText() {
    WriterState& s = State();
    std::lock_guard<std::mutex> guard(s.mirrorMutex);
    std::wstring text;
    for (const std::wstring& line : s.mirrorList) text += line;
    return text;
}

void LogStart() {
    WriterState& s = State();
    s.running.store(true);
    if (s.thread) return;
    DWORD id = 0;
    s.thread.reset(::CreateThread(nullptr, 0, WriterThread, nullptr, CREATE_SUSPENDED, &id));
    if (s.thread) ::ResumeThread(s.thread.get());
}

void LogStop() {
    WriterState& s = State();
    s.running.store(false);
    {
        std::lock_guard<std::mutex> guard(s.mirrorMutex);
        s.mirrorList.clear();
    }
    if (s.thread) {
        ::WaitForSingleObject(s.thread.get(), INFINITE);
        s.thread.reset();
    }
    FinalFlush();
}

bool LogReady() { return State().queueLock.Created(); }

namespace logwriter {

std::wstring FormatLine(int code, const std::wstring& message, int64_t time) {
    const std::wstring stamp = FormatLocalTime(time, L"%Y/%m/%d %H:%M:%S");
    if (code < 0) return Format(L"%s|-|%s\n", stamp.c_str(), message.c_str());
    return Format(L"%s|%d|%s\n", stamp.c_str(), code, message.c_str());
}

std::string EncodeLine(const std::wstring& line) {
    std::string bytes;
    bytes.reserve(line.size() + 2);
    for (size_t i = 0; i < line.size(); ++i) {
        const wchar_t c = line[i];
        if (c == L'\n') {
            bytes += "\r\n";
        } else if (c <= 0xFF) {
            bytes += static_cast<char>(c);
        } else {
            // A surrogate pair is one character: one "?".
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < line.size() && line[i + 1] >= 0xDC00 &&
                line[i + 1] <= 0xDFFF)
                ++i;
            bytes += '?';
        }
    }
    return bytes;
}

void CleanUp(const std::wstring& folder) {
    const std::wstring pattern = Format(L"%s\\*_%s", folder.c_str(), kFileName);
    CSortStringArray names;
    WIN32_FIND_DATAW data;
    unique_hfind find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    find.reset();
    if (names.size() <= kKeepRotated) return;
    names.Sort();  // oldest first: the names begin with their time stamp
    for (size_t i = 0; i < names.size() - kKeepRotated; ++i)
        ::DeleteFileW(Format(L"%s\\%s", folder.c_str(), names[i].c_str()).c_str());
}

size_t QueuedCount() {
    WriterState& s = State();
    if (!s.queueLock.Acquire()) return 0;
    const size_t n = s.queue.size();
    s.queueLock.Release();
    return n;
}

}  // namespace logwriter
