#include "updater/updater.h"

bool CUpdater::DownloadFiles() {
    m_downloadedSet.clear();
    return false;
}

bool CUpdater::BackupFiles() { return false; }

bool CUpdater::UpdateFiles() { return false; }
