#include <gtest/gtest.h>

#include "../../util/qvsignal.h"
#include "../../util/qvthread.h"
#include "../../util/qvtick.h"
#include "../../util/socketwait.h"

namespace
{
struct SocketsUp {
    SocketsUp() { SocketStartup(); }
};

uint32_t SetLater(void* p)
{
    SleepMs(50);
    static_cast<CQVSignal*>(p)->Set();
    return 0;
}
} // namespace

// The signal's whole point: a socket wait sees it, together with another socket.
TEST(Signal, SocketIsReadableExactlyWhileSet)
{
    SocketsUp up;
    CQVSignal s;
    ASSERT_TRUE(s.IsValid());
    EXPECT_FALSE(s.IsSet());
    EXPECT_TRUE(SocketWaitPair(s.GetSocket(), QV_WAIT_READ, QV_INVALID_SOCKET, 0, 0).None());
    s.Set();
    s.Set(); // idempotent: one Reset quiets it
    EXPECT_TRUE(s.IsSet());
    EXPECT_EQ(SocketWaitPair(QV_INVALID_SOCKET, 0, s.GetSocket(), QV_WAIT_READ, 1000),
              (SocketPairReady{0, QV_WAIT_READ}));
    EXPECT_TRUE(s.Wait(0));
    s.Reset();
    EXPECT_FALSE(s.IsSet());
    EXPECT_TRUE(SocketWaitPair(s.GetSocket(), QV_WAIT_READ, QV_INVALID_SOCKET, 0, 20).None());
    EXPECT_FALSE(s.Wait(20));
}

TEST(Signal, WaitWakesWhenAnotherThreadSets)
{
    SocketsUp up;
    CQVSignal s;
    CQVThread t;
    uint32_t start = GetTick();
    t.Start(SetLater, &s, 64000);
    EXPECT_TRUE(s.Wait(5000));
    EXPECT_LT(TickSince(start), 4000u);
    EXPECT_TRUE(t.WaitForExit(5000));
}
