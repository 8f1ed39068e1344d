#include <gtest/gtest.h>

#include "updater_test_support.h"

namespace {

// Rows without a version, or HostID 0, send nothing: no request, no wait, no line.
TEST(Complete, NothingToReport) {
    TempDir dir;
    LogCapture log;
    FakeClock clock;
    CUpdater updater(dir.path());
    updater.m_server = L"127.0.0.1";
    updater.m_port = 1;  // nothing listens: a request would fail and be retried
    updater.m_completePath = L"/pw/complete";
    updater.m_downloadedSet = {Row(L"a", L"0", L""), Row(L"b", L"0", L"")};
    EXPECT_TRUE(updater.Complete());

    updater.m_downloadedSet = {Row(L"a", L"1.0.0.1", L"")};
    updater.m_hostId = 0;
    EXPECT_TRUE(updater.Complete());
    updater.m_hostId = 5;
    updater.m_completePath.clear();
    EXPECT_TRUE(updater.Complete());

    EXPECT_EQ(clock.sleeps.load(), 0);
    EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
