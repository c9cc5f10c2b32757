#include <gtest/gtest.h>

#include "../../protocol/attempt.h"
#include "../../util/qvtick.h"

namespace
{
// Says no once it has been asked `allow` times; counts the questions.
struct CancelAfter : CAttemptObserver {
    int allow, asked = 0;
    explicit CancelAfter(int n) : allow(n) {}
    void OnStatus(const char*) override {}
    bool KeepWaiting() override { return ++asked <= allow; }
};
} // namespace

// Every wait of an attempt asks often enough that Cancel ends it long before its
// own time-out, and a cancelled wait says so instead of looking like a time-out.
TEST(AttemptWait, CancelEndsAWaitWithinOneSlice)
{
    SocketStartup();
    QVSOCKET s = SocketUdp();
    ASSERT_TRUE(SocketBind(s, MakeSockAddr(LoopbackAddress(), 0)));
    CancelAfter cancel(3);
    uint32_t start = GetTick();
    EXPECT_EQ(AttemptWaitReadable(&cancel, s, 10000), ATTEMPT_WAIT_CANCELLED);
    EXPECT_LT(TickSince(start), 2000u);
    EXPECT_EQ(cancel.asked, 4);

    CancelAfter sleeper(2);
    start = GetTick();
    EXPECT_FALSE(AttemptSleep(&sleeper, 10000));
    EXPECT_LT(TickSince(start), 2000u);

    CancelAfter patient(1000000);
    // Ten slices' time, three asks expected: a loaded machine stretches slices,
    // but a wait that asked only at its start would still fail.
    EXPECT_EQ(AttemptWaitReadable(&patient, s, 10 * ATTEMPT_ASK_MS), ATTEMPT_WAIT_TIMEOUT);
    EXPECT_GE(patient.asked, 3);
    EXPECT_EQ(AttemptWaitReadable(nullptr, s, 0), ATTEMPT_WAIT_TIMEOUT);

    QVSOCKET tx = SocketUdp();
    QVSockAddr to;
    ASSERT_TRUE(SocketLocalAddr(s, &to));
    ASSERT_EQ(SocketSendTo(tx, "x", 1, to), 1);
    EXPECT_EQ(AttemptWaitReadable(&patient, s, 5000), ATTEMPT_WAIT_READY);
    CloseSocket(tx);
    CloseSocket(s);
}
