#include <gtest/gtest.h>
#include <objbase.h>

#include <thread>

#include "agent/agent_settings.h"
#include "agent/conf_document.h"
#include "agent/status_list.h"
#include "agent_test_support.h"

namespace {

class ConfDocument : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitialize(nullptr);
        SetBaseline();
    }
    void TearDown() override {
        ReplaceStatusList(nullptr);
        ::CoUninitialize();
    }
    // Values that no document below sets, so that "unchanged" is visible.
    void SetBaseline() {
        Settings().threshold = 111;
        Settings().cycle = 222;
        Settings().startDay = L"01:02:03";
        auto list = std::make_shared<StatusList>();
        list->ids = {99};
        list->names[99] = L"base";
        list->autoReset[99] = false;
        ReplaceStatusList(list);
    }
    void Apply(const std::string& xml) {
        WriteBytes(folders.dataFile(L"conf.xml"), xml);
        ApplyConfDocument();
    }

    AgentFolders folders;
};

std::string Doc(const std::string& statuses, const std::string& head = std::string()) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + head + "<config>" + statuses +
           "</config>";
}

std::string Statuses(const std::string& items) { return "<status>" + items + "</status>"; }

TEST_F(ConfDocument, MissingDocumentChangesNothing) {
    ApplyConfDocument();
    EXPECT_EQ(Settings().threshold, 111);
    EXPECT_EQ(CurrentStatusList()->ids, std::vector<uint32_t>{99});
}

TEST_F(ConfDocument, ReadsEveryValue) {
    Apply(
        Doc("<timecontrol start_day=\"08:30:00\"/><timecontrol start_day=\"09:00:00\"/>"
            "<grpattendconf threshold=\"300\" cycle=\"60\"/><grpattendconf threshold=\"5\"/>" +
            Statuses("<workstatus id=\"1\" name=\"\xe5\x9c\xa8\xe5\xb8\xad\" autoreset=\"1\"/>"
                     "<workstatus id=\"5\" name=\"\xe4\xbc\x9a\xe8\xad\xb0\" autoreset=\"0\">"
                     "text is ignored</workstatus>"
                     "<workstatus id=\"6\" name=\"Out\" extra=\"x\"/>")));
    EXPECT_EQ(Settings().startDay, L"08:30:00");
    EXPECT_EQ(Settings().threshold, 300);
    EXPECT_EQ(Settings().cycle, 60);
    const auto list = CurrentStatusList();
    EXPECT_EQ(list->ids, (std::vector<uint32_t>{1, 5, 6}));
    EXPECT_EQ(list->names.at(1), L"\u5728\u5e2d");
    EXPECT_EQ(list->names.at(5), L"\u4f1a\u8b70");
    EXPECT_EQ(list->names.at(6), L"Out");
    EXPECT_TRUE(IsAutoReset(1));
    EXPECT_FALSE(IsAutoReset(5));
    EXPECT_TRUE(IsAutoReset(6));
    EXPECT_TRUE(IsAutoReset(42));
}

TEST_F(ConfDocument, AttributeRules) {
    Apply(Doc("<timecontrol/><grpattendconf cycle=\"abc\"/>" +
              Statuses("<workstatus name=\"no id\"/>"
                       "<workstatus id=\"7\"/>"
                       "<workstatus id=\"10\" name=\"a\" autoreset=\"0\"/>"
                       "<workstatus id=\"11\" name=\"b\" autoreset=\"2\"/>"
                       "<workstatus id=\"12\" name=\"c\" autoreset=\"yes\"/>"
                       "<workstatus id=\"13\" name=\"d\" autoreset=\"1\"/>"
                       "<workstatus id=\"14\" name=\"e\" autoreset=\" 1\"/>"
                       "<workstatus id=\"15\" name=\"f\"/>"
                       "<workstatus id=\"abc\" name=\"zero\"/>"
                       "<workstatus id=\"-3\" name=\"negative\" autoreset=\"0\"/>"
                       "<workstatus id=\"20\" name=\"\"/>")));
    EXPECT_EQ(Settings().startDay, L"01:02:03");
    EXPECT_EQ(Settings().threshold, 111);
    EXPECT_EQ(Settings().cycle, 0);
    const auto list = CurrentStatusList();
    EXPECT_EQ(list->ids, (std::vector<uint32_t>{7, 10, 11, 12, 13, 14, 15, 0, 4294967293u, 20}));
    EXPECT_EQ(list->names.count(7), 0u);
    EXPECT_TRUE(IsAutoReset(7));
    const struct {
        int id;
        bool autoReset;
    } flags[] = {{10, false}, {11, false}, {12, false}, {13, true},
                 {14, true},  {15, true},  {0, true},   {-3, false}};
    for (const auto& f : flags) EXPECT_EQ(IsAutoReset(f.id), f.autoReset) << f.id;
    EXPECT_EQ(list->names.at(4294967293u), L"negative");
    EXPECT_EQ(list->names.at(20), L"");
}

TEST_F(ConfDocument, LaterDuplicateReplacesNameAndFlagOnlyWithAName) {
    Apply(
        Doc(Statuses("<workstatus id=\"5\" name=\"A\" autoreset=\"0\"/>"
                     "<workstatus id=\"5\" name=\"B\" autoreset=\"1\"/>"
                     "<workstatus id=\"6\" name=\"C\" autoreset=\"0\"/>"
                     "<workstatus id=\"6\"/>")));
    const auto list = CurrentStatusList();
    EXPECT_EQ(list->ids, (std::vector<uint32_t>{5, 5, 6, 6}));
    EXPECT_EQ(list->names.at(5), L"B");
    EXPECT_TRUE(IsAutoReset(5));
    EXPECT_EQ(list->names.at(6), L"C");
    EXPECT_FALSE(IsAutoReset(6));
}

TEST_F(ConfDocument, DocumentsThatChangeNothingOrOnlyEmptyTheList) {
    const struct {
        const char* what;
        std::string xml;
        bool listEmptied;
    } cases[] = {
        {"root not config",
         "<other><grpattendconf threshold=\"5\"/><status><workstatus id=\"5\" name=\"x\"/>"
         "</status></other>",
         true},
        {"no workstatus", Doc("<status/>"), true},
        {"not well-formed", Doc("<grpattendconf threshold=\"5\">"), false},
        {"empty file", "", false},
        {"not XML", "\x89PNG\r\n\x1a\n", false},
    };
    for (const auto& c : cases) {
        SetBaseline();
        Apply(c.xml);
        EXPECT_EQ(Settings().threshold, 111) << c.what;
        EXPECT_EQ(Settings().cycle, 222) << c.what;
        EXPECT_EQ(Settings().startDay, L"01:02:03") << c.what;
        EXPECT_EQ(CurrentStatusList()->ids.empty(), c.listEmptied) << c.what;
    }
}

TEST_F(ConfDocument, AcceptsADocumentTypeDeclaration) {
    Apply(Doc(Statuses("<workstatus id=\"8\" name=\"&room;\"/>"),
              "<!DOCTYPE config [<!ENTITY room \"Meeting\">]>\r\n"));
    const auto list = CurrentStatusList();
    ASSERT_EQ(list->ids, std::vector<uint32_t>{8});
    EXPECT_EQ(list->names.at(8), L"Meeting");
}

TEST_F(ConfDocument, FetchesNoExternalEntity) {
    WriteBytes(folders.dataFile(L"secret.txt"), "SECRET");
    std::string url = "file:///" + Narrow(folders.dataFile(L"secret.txt"));
    for (char& c : url)
        if (c == '\\') c = '/';
    Apply(Doc(Statuses("<workstatus id=\"8\" name=\"x&ext;\"/>"),
              "<!DOCTYPE config [<!ENTITY ext SYSTEM \"" + url + "\">]>\r\n"));
    const auto list = CurrentStatusList();
    const auto name = list->names.find(8);
    if (name != list->names.end()) {
        EXPECT_EQ(name->second.find(L"SECRET"), std::wstring::npos);
    }
}

TEST_F(ConfDocument, EntityBombLeavesThePreviousValues) {
    std::string head = "<!DOCTYPE config [<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 9; ++i) {
        const std::string reference = "&l" + std::to_string(i - 1) + ";";
        head.append("<!ENTITY l").append(std::to_string(i)).append(" \"");
        for (int j = 0; j < 10; ++j) head.append(reference);
        head.append("\">");
    }
    head += "]>\r\n";
    Apply(Doc("<grpattendconf threshold=\"5\"/>" + Statuses("<workstatus id=\"8\" name=\"&l9;\"/>"),
              head));
    EXPECT_EQ(Settings().threshold, 111);
    EXPECT_EQ(CurrentStatusList()->ids, std::vector<uint32_t>{99});
}

TEST_F(ConfDocument, ReadersNeverSeeAHalfBuiltList) {
    const std::string small =
        Doc(Statuses("<workstatus id=\"5\" name=\"a\" autoreset=\"0\"/>"
                     "<workstatus id=\"6\" name=\"b\" autoreset=\"0\"/>"));
    std::string items;
    for (int id = 10; id < 60; ++id)
        items += "<workstatus id=\"" + std::to_string(id) + "\" name=\"n\" autoreset=\"1\"/>";
    const std::string large = Doc(Statuses(items));

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                const auto list = CurrentStatusList();
                const size_t n = list->ids.size();
                const bool whole = (n == 1 && list->ids[0] == 99) ||
                                   (n == 2 && list->names.size() == 2 && !list->autoReset.at(5)) ||
                                   (n == 50 && list->names.size() == 50 && list->ids[49] == 59);
                if (!whole) ++torn;
                ++reads;
            }
        });
    }
    for (int i = 0; i < 60; ++i) Apply(i % 2 ? small : large);
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
}

}  // namespace
