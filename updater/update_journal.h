// The replacement journal: what a run is about to replace and how far it got, kept on disk
// so that the next run can put the old files back after a crash, and the rollback that
// both the failing steps and that next run use.
#pragma once
#include <string>
#include <vector>

class CUpdater;

// One file the replacement touches.
struct _journalEntry {
    std::wstring name;
    std::wstring installedPath;
    std::wstring backupPath;  // empty when no installed file was there
    std::wstring oldDigest;   // the installed file's digest before the run
    std::wstring newDigest;   // the row's digest; its length names the algorithm of both
    bool existed = false;     // an installed file was there before the run
    // Progress, each recorded before the next move or copy begins.
    bool backedUp = false;  // backup copy verified
    bool removed = false;   // installed file deleted
    bool copying = false;   // the new file's copy into place has begun
    bool replaced = false;  // the new file is in place and verified
};

class CUpdateJournal {
public:
    enum class Progress { BackedUp, Removed, Copying, Replaced };
    enum class LoadResult { None, Loaded, Unreadable };

    void SetPath(const std::wstring& path) { m_path = path; }

    // Writes the plan to disk; false (nothing written) when it can't be made durable.
    bool Begin(std::vector<_journalEntry> entries, std::vector<std::wstring> startList);
    bool Record(size_t index, Progress progress);
    // Every file is in place: a crash from here on needs no rollback.
    bool Commit();
    LoadResult Load();
    // Deletes the journal unless a rollback left the folder unrepaired.
    void Close();

    bool Active() const { return m_active; }
    bool Committed() const { return m_committed; }
    std::vector<_journalEntry>& Entries() { return m_entries; }
    const std::vector<std::wstring>& StartList() const { return m_startList; }
    // Index of the entry for an installed path; npos when the run did not plan it.
    size_t Find(const std::wstring& installedPath) const;

    // Puts every touched file back as it was before the run (restored from its backup and
    // verified, or removed where the run created it); one "<prefix>: rollback [name]" or
    // "<prefix>: rollback error [name]" line per file. False when any file could not be
    // put back: the journal is then kept for the next run.
    bool RollBack(const wchar_t* prefix);

private:
    bool Save() const;

    std::wstring m_path;
    std::vector<_journalEntry> m_entries;
    std::vector<std::wstring> m_startList;
    bool m_active = false;
    bool m_committed = false;
    bool m_keep = false;
};

// Looks for the journal of a run that died during the replacement and undoes it, then
// starts what that run had stopped. False when the run must not go on (the journal can't
// be read, or a file could not be put back).
bool RecoverInterruptedRun(CUpdater& updater);
