// The current status and the tray menu's status items. Everything here runs on the window
// thread except CurrentStatus(), which any thread may read.
#pragma once
#include <windows.h>

#include "agent/status_list.h"

constexpr UINT kFirstStatusCommand = 32800;
constexpr UINT kReleaseCommand = 32779;
constexpr UINT kExitCommand = 32772;

void SetCurrentStatus(int statusId);

// True while the menu's status items match the status list.
bool StatusMenuBuilt();

// Removes every item after "解除" and the separator, then appends one item per listed id
// above 4 with a non-empty name (command 32800 + position) and checks the current status.
void BuildStatusMenu(HMENU menu, HMENU popup, const StatusList& list, int currentStatus);

// True for a command id that stands for a position of the list.
bool IsStatusCommand(UINT commandId, const StatusList& list);

// A status item was chosen: checks only that item, makes its status current and signals
// the status event. Ids that stand for no position of the list only move the check marks.
void ChooseStatusItem(HMENU menu, UINT commandId, const StatusList& list, HANDLE statusEvent);

// The set-status message: an empty list accepts any id; otherwise the id's first position
// is chosen, and an unlisted id changes nothing.
void SetStatusRequest(HMENU menu, int statusId, HANDLE statusEvent);
