#include "updater/updater.h"

bool CUpdater::CheckList() {
    m_updateSet.clear();
    return false;
}
