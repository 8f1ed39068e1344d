// The agent's build of the log writer: a named mutex shared in the session.
#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/log_writer.h"

TEST(AgentLogWriter, DefaultsToDotLogAndSharesTheNamedMutex) {
    EXPECT_EQ(LogFolder(), L".\\log");
    EXPECT_TRUE(LogReady());
    unique_handle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, L"pwlogger"));
    EXPECT_TRUE(mutex);
}
