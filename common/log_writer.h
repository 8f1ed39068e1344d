// The activity log: any thread calls Log(), which stamps and queues the line; one
// background thread appends queued lines to "log.txt" every half second, rotates the
// file past 150 KiB and keeps the 30 newest rotated files.
#pragma once
#include <cstdint>
#include <string>

// printf-style with a wide format (%s takes a wide string). Never touches the disk.
int Log(const wchar_t* format, ...);

// Folder of log.txt; set before LogStart.
void LogSetFolder(const std::wstring& folder);
std::wstring LogFolder();

// While set, every logged line is also kept in memory (the updater uploads it).
void LogSetMirror(bool on);
// All mirrored lines, in logging order, each ending in "\n".
std::wstring LogMirrorText();

// Starts the writer thread unless it already runs.
void LogStart();
// Stops the writer thread, then writes everything still queued.
void LogStop();

// False when the queue lock could not be created at start-up.
bool LogReady();

// Pieces of the writer, exposed for tests and benchmarks.
namespace logwriter {
constexpr int64_t kRotateSize = 153600;
constexpr size_t kKeepRotated = 30;
constexpr size_t kEntriesPerPass = 100;
constexpr unsigned kPassMilliseconds = 500;

std::wstring FormatLine(int code, const std::wstring& message, int64_t time);
// The bytes written for one formatted line: characters up to U+00FF as the byte of the
// same value, anything else as "?", and "\n" as CR LF.
std::string EncodeLine(const std::wstring& line);
// Deletes the oldest rotated files of `folder` until at most 30 remain.
void CleanUp(const std::wstring& folder);
size_t QueuedCount();
}  // namespace logwriter
