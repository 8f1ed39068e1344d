#include "updater/update_journal.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/file_digest.h"
#include "common/handles.h"
#include "common/log_writer.h"
#include "common/seam.h"
#include "updater/step_support.h"
#include "updater/updater.h"

// The journal is UTF-8 text, one record per line, fields separated by tabs (a character
// no Windows path holds). It is always rewritten whole through a temporary file that is
// flushed and then renamed over it, so that a crash leaves either the previous or the
// next journal, never part of one. The last line "end" marks a complete journal.

namespace {

constexpr int kAttempts = 5;
constexpr DWORD kRetryWait = 2000;
constexpr char kHeader[] = "pwjournal 1";

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                              nullptr, nullptr);
    return out;
}

bool FromUtf8(const std::string& text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return false;
    out.resize(static_cast<size_t>(size));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                 static_cast<int>(text.size()), &out[0], size) == size;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(
            text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

const char* ProgressName(CUpdateJournal::Progress progress) {
    switch (progress) {
        case CUpdateJournal::Progress::BackedUp:
            return "backedup";
        case CUpdateJournal::Progress::Removed:
            return "removed";
        case CUpdateJournal::Progress::Copying:
            return "copying";
        case CUpdateJournal::Progress::Replaced:
            return "replaced";
    }
    return "";
}

bool Matches(const std::wstring& path, const std::wstring& digestText) {
    CFileDigest digest(CFileDigest::KindOf(digestText));
    std::wstring actual;
    return !digestText.empty() && digest.HashFile(path, actual) &&
           step::EqualsIgnoringCase(actual, digestText);
}

// Copies the backup back over whatever is at the installed path until the result matches
// the old digest.
bool Restore(const _journalEntry& entry) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) seam::Sleep(kRetryWait);
        ::CopyFileW(entry.backupPath.c_str(), entry.installedPath.c_str(), FALSE);
        if (Matches(entry.installedPath, entry.oldDigest)) return true;
    }
    return false;
}

bool RemoveCreated(const _journalEntry& entry) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) seam::Sleep(kRetryWait);
        if (::DeleteFileW(entry.installedPath.c_str()) || !step::Exists(entry.installedPath))
            return true;
    }
    return false;
}

}  // namespace

std::wstring CUpdater::JournalPath() const { return WorkFolder() + L"\\journal.txt"; }

bool CUpdateJournal::Begin(std::vector<_journalEntry> entries,
                           std::vector<std::wstring> startList) {
    m_entries = std::move(entries);
    m_startList = std::move(startList);
    m_committed = false;
    m_keep = false;
    m_active = Save();
    return m_active;
}

bool CUpdateJournal::Record(size_t index, Progress progress) {
    if (!m_active || index >= m_entries.size()) return false;
    _journalEntry& entry = m_entries[index];
    switch (progress) {
        case Progress::BackedUp:
            entry.backedUp = true;
            break;
        case Progress::Removed:
            entry.removed = true;
            break;
        case Progress::Copying:
            entry.copying = true;
            break;
        case Progress::Replaced:
            entry.replaced = true;
            break;
    }
    return Save();
}

bool CUpdateJournal::Commit() {
    if (!m_active) return false;
    m_committed = true;
    return Save();
}

size_t CUpdateJournal::Find(const std::wstring& installedPath) const {
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].installedPath == installedPath) return i;
    return static_cast<size_t>(-1);
}

void CUpdateJournal::Close() {
    if (m_active && !m_keep) ::DeleteFileW(m_path.c_str());
    m_active = false;
}

bool CUpdateJournal::Save() const {
    std::string text = std::string(kHeader) + "\r\n";
    for (const std::wstring& start : m_startList) text += "start\t" + ToUtf8(start) + "\r\n";
    for (const _journalEntry& e : m_entries) {
        text += "file\t" + std::string(e.existed ? "1" : "0") + "\t" + ToUtf8(e.name) + "\t" +
                ToUtf8(e.installedPath) + "\t" + ToUtf8(e.backupPath) + "\t" + ToUtf8(e.oldDigest) +
                "\t" + ToUtf8(e.newDigest) + "\r\n";
    }
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const _journalEntry& e = m_entries[i];
        const std::pair<bool, Progress> steps[] = {{e.backedUp, Progress::BackedUp},
                                                   {e.removed, Progress::Removed},
                                                   {e.copying, Progress::Copying},
                                                   {e.replaced, Progress::Replaced}};
        for (const auto& [done, progress] : steps)
            if (done) text += "done\t" + std::to_string(i) + "\t" + ProgressName(progress) + "\r\n";
    }
    if (m_committed) text += "committed\r\n";
    text += "end\r\n";

    const std::wstring temporary = m_path + L".tmp";
    {
        unique_hfile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) ||
            written != text.size() || !::FlushFileBuffers(file.get()))
            return false;
    }
    return ::MoveFileExW(temporary.c_str(), m_path.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

CUpdateJournal::LoadResult CUpdateJournal::Load() {
    m_entries.clear();
    m_startList.clear();
    m_committed = false;
    m_keep = false;
    m_active = false;
    unique_hfile file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? LoadResult::None
                   : LoadResult::Unreadable;
    }
    // A journal names a few hundred files at most; anything far larger is not one.
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (16 << 20))
        return LoadResult::Unreadable;
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() &&
        (!::ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) ||
         read != text.size()))
        return LoadResult::Unreadable;

    std::vector<std::string> lines = Split(text, '\n');
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lines.size() < 3 || lines.front() != kHeader || lines.back() != "" ||
        lines[lines.size() - 2] != "end")
        return LoadResult::Unreadable;
    for (size_t n = 1; n + 2 < lines.size(); ++n) {
        const std::vector<std::string> fields = Split(lines[n], '\t');
        if (fields[0] == "start" && fields.size() == 2) {
            std::wstring entry;
            if (!FromUtf8(fields[1], entry)) return LoadResult::Unreadable;
            m_startList.push_back(entry);
        } else if (fields[0] == "file" && fields.size() == 7 &&
                   (fields[1] == "0" || fields[1] == "1")) {
            _journalEntry e;
            e.existed = fields[1] == "1";
            if (!FromUtf8(fields[2], e.name) || !FromUtf8(fields[3], e.installedPath) ||
                !FromUtf8(fields[4], e.backupPath) || !FromUtf8(fields[5], e.oldDigest) ||
                !FromUtf8(fields[6], e.newDigest) || e.installedPath.empty() ||
                (e.existed && (e.backupPath.empty() || e.oldDigest.empty())))
                return LoadResult::Unreadable;
            m_entries.push_back(e);
        } else if (fields[0] == "done" && fields.size() == 3) {
            char* end = nullptr;
            const unsigned long index = std::strtoul(fields[1].c_str(), &end, 10);
            if (fields[1].empty() || *end != '\0' || index >= m_entries.size())
                return LoadResult::Unreadable;
            _journalEntry& e = m_entries[index];
            if (fields[2] == "backedup")
                e.backedUp = true;
            else if (fields[2] == "removed")
                e.removed = true;
            else if (fields[2] == "copying")
                e.copying = true;
            else if (fields[2] == "replaced")
                e.replaced = true;
            else
                return LoadResult::Unreadable;
        } else if (fields[0] == "committed" && fields.size() == 1) {
            m_committed = true;
        } else {
            return LoadResult::Unreadable;
        }
    }
    m_active = true;
    return LoadResult::Loaded;
}

bool CUpdateJournal::RollBack(const wchar_t* prefix) {
    bool complete = true;
    for (const _journalEntry& entry : m_entries) {
        bool ok = true;
        if (entry.existed) {
            // Until the verified backup was recorded, the installed file was never touched.
            if (!entry.backedUp) continue;
            if (Matches(entry.installedPath, entry.oldDigest)) continue;
            ok = Restore(entry);
        } else {
            if (!entry.copying || !step::Exists(entry.installedPath)) continue;
            ok = RemoveCreated(entry);
        }
        if (ok) {
            Log(L"%s: rollback [%s]", prefix, entry.name.c_str());
        } else {
            Log(L"%s: rollback error [%s]", prefix, entry.name.c_str());
            complete = false;
        }
    }
    if (!complete) m_keep = true;
    return complete;
}

bool RecoverInterruptedRun(CUpdater& updater) {
    CUpdateJournal& journal = updater.m_journal;
    journal.SetPath(updater.JournalPath());
    switch (journal.Load()) {
        case CUpdateJournal::LoadResult::None:
            return true;
        case CUpdateJournal::LoadResult::Unreadable:
            // Kept for whoever looks into it; without it nothing can be safely put back.
            Log(L"Recover: journal unreadable");
            return false;
        case CUpdateJournal::LoadResult::Loaded:
            break;
    }
    Log(L"Recover: start %d file(s)", static_cast<int>(journal.Entries().size()));
    bool repaired = true;
    if (journal.Committed())
        Log(L"Recover: committed");
    else
        repaired = journal.RollBack(L"Recover");
    journal.Close();  // kept when a file could not be put back: the next run tries again
    Log(repaired ? L"Recover: done" : L"Recover: journal kept");
    // What the dead run had stopped runs again, as that run would have started it.
    std::vector<std::wstring> current = updater.m_startList;
    updater.m_startList = journal.StartList();
    Log(L"Launcher: ");
    updater.Launcher();
    updater.m_startList = std::move(current);
    return repaired;
}
