#include <gtest/gtest.h>

#include "agent/agent_window.h"
#include "agent/status_menu.h"
#include "common/handles.h"

namespace {

// The tray menu as the resource defines it: one popup with "解除" and a separator.
class StatusMenu : public ::testing::Test {
protected:
    void SetUp() override {
        menu.reset(::CreateMenu());
        popup = ::CreatePopupMenu();
        ::AppendMenuW(popup, MF_STRING, kReleaseCommand, L"\u89e3\u9664");
        ::AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(menu.get(), MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"Menu");
        event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        SetCurrentStatus(0);
    }
    void TearDown() override { ReplaceStatusList(nullptr); }

    std::vector<UINT> Items() const {
        std::vector<UINT> ids;
        for (int i = 0; i < ::GetMenuItemCount(popup); ++i)
            ids.push_back(::GetMenuItemID(popup, i));
        return ids;
    }
    std::wstring Text(UINT id) const {
        wchar_t text[64] = {};
        ::GetMenuStringW(menu.get(), id, text, 64, MF_BYCOMMAND);
        return text;
    }
    std::vector<UINT> Checked() const {
        std::vector<UINT> ids;
        for (UINT id = kFirstStatusCommand; id < kFirstStatusCommand + 40; ++id) {
            const UINT state = ::GetMenuState(menu.get(), id, MF_BYCOMMAND);
            if (state != static_cast<UINT>(-1) && (state & MF_CHECKED)) ids.push_back(id);
        }
        return ids;
    }
    bool Signalled() const { return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }

    unique_hmenu menu;
    HMENU popup = nullptr;
    unique_handle event;
};

std::shared_ptr<StatusList> MakeList(
    std::initializer_list<std::pair<uint32_t, const wchar_t*>> entries) {
    auto list = std::make_shared<StatusList>();
    for (const auto& e : entries) {
        list->ids.push_back(e.first);
        if (e.second) list->names[e.first] = e.second;
    }
    return list;
}

TEST_F(StatusMenu, OnlyAgentStatusesGiveAnEmptyStatusPart) {
    BuildStatusMenu(menu.get(), popup, *MakeList({{1, L"a"}, {2, L"b"}, {3, L"c"}, {4, L"d"}}), 1);
    EXPECT_EQ(Items(), (std::vector<UINT>{kReleaseCommand, 0}));
    EXPECT_TRUE(StatusMenuBuilt());
    MarkStatusMenuForRebuild();
    EXPECT_FALSE(StatusMenuBuilt());
}

TEST_F(StatusMenu, ShowsNamedStatusesAboveFourAndChecksTheCurrentOne) {
    BuildStatusMenu(menu.get(), popup,
                    *MakeList({{5, L"Meeting"}, {3, L"Idle"}, {6, L""}, {7, L"Out"}, {8, nullptr}}),
                    7);
    EXPECT_EQ(Items(), (std::vector<UINT>{kReleaseCommand, 0, 32800, 32803}));
    EXPECT_EQ(Text(32800), L"Meeting");
    EXPECT_EQ(Text(32803), L"Out");
    EXPECT_EQ(Checked(), std::vector<UINT>{32803});

    // A rebuild replaces the old status items.
    BuildStatusMenu(menu.get(), popup, *MakeList({{9, L"Home"}}), 1);
    EXPECT_EQ(Items(), (std::vector<UINT>{kReleaseCommand, 0, 32800}));
    EXPECT_EQ(Text(32800), L"Home");
    EXPECT_TRUE(Checked().empty());
}

TEST_F(StatusMenu, EmptyListAcceptsAnyStatus) {
    SetStatusRequest(menu.get(), 42, event.get());
    EXPECT_EQ(CurrentStatus(), 42);
    EXPECT_TRUE(Signalled());
    // Choosing the same status again reports it again.
    SetStatusRequest(menu.get(), 42, event.get());
    EXPECT_TRUE(Signalled());
}

TEST_F(StatusMenu, ListedStatusesOnly) {
    const auto list = MakeList({{1, nullptr}, {5, L"Meeting"}, {3, nullptr}, {7, L"Out"}});
    ReplaceStatusList(list);
    BuildStatusMenu(menu.get(), popup, *list, 0);

    SetStatusRequest(menu.get(), 7, event.get());
    EXPECT_EQ(CurrentStatus(), 7);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(Checked(), std::vector<UINT>{32803});

    SetStatusRequest(menu.get(), 6, event.get());
    EXPECT_EQ(CurrentStatus(), 7);
    EXPECT_FALSE(Signalled());
    EXPECT_EQ(Checked(), std::vector<UINT>{32803});

    // A listed status without an item clears every check mark.
    SetStatusRequest(menu.get(), 3, event.get());
    EXPECT_EQ(CurrentStatus(), 3);
    EXPECT_TRUE(Signalled());
    EXPECT_TRUE(Checked().empty());
}

TEST_F(StatusMenu, EveryShownPositionIsRouted) {
    auto list = std::make_shared<StatusList>();
    for (uint32_t id = 10; id < 40; ++id) {
        list->ids.push_back(id);
        list->names[id] = L"s";
    }
    ReplaceStatusList(list);
    BuildStatusMenu(menu.get(), popup, *list, 0);
    ASSERT_EQ(Items().size(), 32u);

    ASSERT_TRUE(IsStatusCommand(32825, *list));
    ChooseStatusItem(menu.get(), 32825, *list, event.get());
    EXPECT_EQ(CurrentStatus(), 35);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(Checked(), std::vector<UINT>{32825});

    ChooseStatusItem(menu.get(), 32801, *list, event.get());
    EXPECT_EQ(CurrentStatus(), 11);
    EXPECT_EQ(Checked(), std::vector<UINT>{32801});

    EXPECT_FALSE(IsStatusCommand(32830, *list));
    EXPECT_FALSE(IsStatusCommand(kReleaseCommand, *list));

    // A shorter list arrived but the menu wasn't opened since: its old items still get
    // unchecked, and a position the list no longer has changes no status.
    ChooseStatusItem(menu.get(), 32825, *list, event.get());
    const auto shorter = MakeList({{50, L"x"}, {51, L"y"}});
    ChooseStatusItem(menu.get(), 32801, *shorter, event.get());
    EXPECT_EQ(CurrentStatus(), 51);
    EXPECT_EQ(Checked(), std::vector<UINT>{32801});
    ::ResetEvent(event.get());
    ChooseStatusItem(menu.get(), 32825, *shorter, event.get());
    EXPECT_EQ(CurrentStatus(), 51);
    EXPECT_FALSE(Signalled());
}

}  // namespace
