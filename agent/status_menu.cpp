#include "agent/status_menu.h"

#include <algorithm>
#include <atomic>

#include "agent/agent_window.h"

namespace {
std::atomic<int> g_currentStatus{0};
std::atomic<bool> g_menuBuilt{false};

// WM_COMMAND carries 16-bit ids, so positions beyond this many can't get an item.
constexpr size_t kMaxStatusItems = 0x10000 - kFirstStatusCommand;

void SetItemState(HMENU menu, UINT commandId, UINT state) {
    MENUITEMINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_STATE | MIIM_ID;
    info.fState = state;
    info.wID = commandId;
    ::SetMenuItemInfoW(menu, commandId, FALSE, &info);
}

void UncheckAllStatusItems(HMENU menu) {
    // The twenty ids the menu has always cleared, and every status item it shows now.
    for (UINT i = 0; i < 20; ++i) SetItemState(menu, kFirstStatusCommand + i, MFS_UNCHECKED);
    const HMENU popup = ::GetSubMenu(menu, 0);
    for (int i = 0; popup && i < ::GetMenuItemCount(popup); ++i) {
        const UINT id = ::GetMenuItemID(popup, i);
        if (id != static_cast<UINT>(-1) && id >= kFirstStatusCommand + 20)
            SetItemState(menu, id, MFS_UNCHECKED);
    }
}
}  // namespace

int CurrentStatus() { return g_currentStatus.load(); }

void SetCurrentStatus(int statusId) { g_currentStatus.store(statusId); }

void MarkStatusMenuForRebuild() { g_menuBuilt.store(false); }

bool StatusMenuBuilt() { return g_menuBuilt.load(); }

void BuildStatusMenu(HMENU menu, HMENU popup, const StatusList& list, int currentStatus) {
    for (int i = ::GetMenuItemCount(popup) - 1; i >= 2; --i) ::RemoveMenu(popup, i, MF_BYPOSITION);
    const size_t count = std::min(list.ids.size(), kMaxStatusItems);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t id = list.ids[i];
        if (id <= 4) continue;
        const auto name = list.names.find(id);
        if (name == list.names.end() || name->second.empty()) continue;
        const UINT command = kFirstStatusCommand + static_cast<UINT>(i);
        ::AppendMenuW(popup, MF_STRING, command, name->second.c_str());
        if (id == static_cast<uint32_t>(currentStatus)) SetItemState(menu, command, MFS_CHECKED);
    }
    g_menuBuilt.store(true);
}

bool IsStatusCommand(UINT commandId, const StatusList& list) {
    return commandId >= kFirstStatusCommand &&
           commandId - kFirstStatusCommand < std::min(list.ids.size(), kMaxStatusItems);
}

void ChooseStatusItem(HMENU menu, UINT commandId, const StatusList& list, HANDLE statusEvent) {
    UncheckAllStatusItems(menu);
    SetItemState(menu, commandId, MFS_CHECKED);
    if (!IsStatusCommand(commandId, list)) return;
    SetCurrentStatus(static_cast<int>(list.ids[commandId - kFirstStatusCommand]));
    ::SetEvent(statusEvent);
}

void SetStatusRequest(HMENU menu, int statusId, HANDLE statusEvent) {
    const std::shared_ptr<const StatusList> list = CurrentStatusList();
    if (list->ids.empty()) {
        SetCurrentStatus(statusId);
        ::SetEvent(statusEvent);
        return;
    }
    const int position = list->PositionOf(static_cast<uint32_t>(statusId));
    if (position < 0) return;
    ChooseStatusItem(menu, kFirstStatusCommand + static_cast<UINT>(position), *list, statusEvent);
}
