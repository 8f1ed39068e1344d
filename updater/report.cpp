#include "updater/updater.h"

void CUpdater::Complete() {}

void CUpdater::UploadLog(const std::wstring&) {}
