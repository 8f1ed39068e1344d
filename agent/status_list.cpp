#include "agent/status_list.h"

#include <mutex>

namespace {
// Guards only the pointer swap and copy; readers keep their snapshot without the lock.
std::mutex g_listMutex;
std::shared_ptr<const StatusList> g_list = std::make_shared<const StatusList>();
}  // namespace

int StatusList::PositionOf(uint32_t id) const {
    for (size_t i = 0; i < ids.size(); ++i)
        if (ids[i] == id) return static_cast<int>(i);
    return -1;
}

std::shared_ptr<const StatusList> CurrentStatusList() {
    std::lock_guard<std::mutex> lock(g_listMutex);
    return g_list;
}

void ReplaceStatusList(std::shared_ptr<const StatusList> list) {
    if (!list) list = std::make_shared<const StatusList>();
    std::lock_guard<std::mutex> lock(g_listMutex);
    g_list.swap(list);
}
