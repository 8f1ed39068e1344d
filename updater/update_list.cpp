#include "common/log_writer.h"
#include "updater/updater.h"

bool CUpdater::DownloadList() {
    if (m_server.empty()) {
        Log(L"DownloadList: server empty");
        return false;
    }
    Log(L"DownloadList: from:%s port:%d ssl:%d", m_server.c_str(), m_port, m_ssl ? 1 : 0);
    return false;
}

bool CUpdater::ReadList() {
    m_listRows.clear();
    return false;
}
