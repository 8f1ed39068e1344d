#include "updater/updater.h"

void CUpdater::Terminator() {}

void CUpdater::Launcher() {}
