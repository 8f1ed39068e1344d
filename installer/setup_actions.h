// Shared between the custom actions' files; the actions themselves are exported by name
// (setup_actions.def) and declared by the package's CustomAction table.
#pragma once
#include <string>

#include "installer/msi_session.h"

namespace setup {

// Checks UPDATETIME and UPDATEDELAY (or the values of the installed package, or the
// defaults) and forms the data of CreateUpdateTask; false after logging why.
bool PrepareUpdateTask(MSIHANDLE install, const std::wstring& folder, std::wstring* data);

}  // namespace setup
