// The status list from the configuration document. The setting monitor replaces it while
// the window and the other monitors read it, so readers take an immutable snapshot and a
// new list is swapped in whole: no reader ever sees a half-built list.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct StatusList {
    std::vector<uint32_t> ids;               // document order; an id may appear twice
    std::map<uint32_t, std::wstring> names;  // id -> menu label
    std::map<uint32_t, bool> autoReset;      // id -> automatic events may replace it

    // First position holding the id, or -1.
    int PositionOf(uint32_t id) const;
};

std::shared_ptr<const StatusList> CurrentStatusList();
void ReplaceStatusList(std::shared_ptr<const StatusList> list);
