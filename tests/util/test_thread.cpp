#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "util/qvthread.h"
#include "util/qvtick.h"

namespace
{

typedef std::chrono::steady_clock Clock;

long long MsSince(Clock::time_point t0)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A worker that runs until its owner releases it, the way the bridge and the
// datagram client poll their own stop state.
struct Worker {
    std::atomic<bool> bStop{false};
    std::atomic<bool> bStarted{false};
    std::atomic<int> nRuns{0};
    void* pSeen = nullptr;
};

uint32_t RunUntilStopped(void* p)
{
    Worker* w = static_cast<Worker*>(p);
    w->pSeen = p;
    w->bStarted = true;
    while (!w->bStop)
        SleepMs(5);
    w->nRuns++;
    return 0;
}

uint32_t ReturnAtOnce(void* p)
{
    static_cast<Worker*>(p)->nRuns++;
    return 0;
}

uint32_t ReturnStillActiveCode(void*)
{
    return 259;
}

} // namespace

TEST(Critical, RecursiveLockIsFreeAfterMatchingUnlocks)
{
    CQVCritical lock;
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(lock.Unlock());

    struct Ctx {
        CQVCritical* lock;
        CQVSemaphore got;
    } ctx;
    ctx.lock = &lock;
    CQVThread t;
    t.Start(
        [](void* p) -> uint32_t {
            Ctx* c = static_cast<Ctx*>(p);
            c->lock->Lock();
            c->got.Set();
            c->lock->Unlock();
            return 0;
        },
        &ctx, 256000);
    EXPECT_TRUE(ctx.got.Wait(5000)) << "another thread could not take the lock";
    EXPECT_TRUE(t.WaitForExit(5000));
}

TEST(Critical, KeepsOtherThreadsOutWhileHeld)
{
    struct Ctx {
        CQVCritical lock;
        long counter = 0;
    } ctx;
    auto bump = [](void* p) -> uint32_t {
        Ctx* c = static_cast<Ctx*>(p);
        for (int i = 0; i < 20000; i++) {
            c->lock.Lock();
            c->lock.Lock();
            c->counter++;
            c->lock.Unlock();
            c->lock.Unlock();
        }
        return 0;
    };
    CQVThread a, b;
    a.Start(bump, &ctx, 256000);
    b.Start(bump, &ctx, 256000);
    ASSERT_TRUE(a.WaitForExit(20000));
    ASSERT_TRUE(b.WaitForExit(20000));
    EXPECT_EQ(ctx.counter, 40000);
}

TEST(Semaphore, ManualResetSemantics)
{
    CQVSemaphore ev;
    Clock::time_point t0 = Clock::now();
    EXPECT_FALSE(ev.Wait(0));
    EXPECT_LT(MsSince(t0), 50);

    t0 = Clock::now();
    EXPECT_FALSE(ev.Wait(60));
    EXPECT_GE(MsSince(t0), 45);

    EXPECT_TRUE(ev.Set());
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(ev.Wait(0)) << "a wait must not reset the event";
    EXPECT_TRUE(ev.Set()); // setting twice is harmless
    EXPECT_TRUE(ev.Wait(1000));

    EXPECT_TRUE(ev.Reset());
    EXPECT_FALSE(ev.Wait(0));
    EXPECT_TRUE(ev.Reset());
    EXPECT_FALSE(ev.Wait(10));
}

TEST(Semaphore, SetFromAnotherThreadWakesEveryWaiter)
{
    struct Ctx {
        CQVSemaphore go;
        std::atomic<int> woke{0};
    } ctx;
    auto waiter = [](void* p) -> uint32_t {
        Ctx* c = static_cast<Ctx*>(p);
        if (c->go.Wait(10000)) c->woke++;
        return 0;
    };
    CQVThread a, b, c;
    a.Start(waiter, &ctx, 256000);
    b.Start(waiter, &ctx, 256000);
    c.Start(waiter, &ctx, 256000);
    SleepMs(50);
    Clock::time_point t0 = Clock::now();
    ctx.go.Set();
    EXPECT_TRUE(a.WaitForExit(5000));
    EXPECT_TRUE(b.WaitForExit(5000));
    EXPECT_TRUE(c.WaitForExit(5000));
    EXPECT_EQ(ctx.woke.load(), 3);
    EXPECT_LT(MsSince(t0), 5000);
}

TEST(Thread, NeverStartedCountsAsEndedAtOnce)
{
    CQVThread t;
    EXPECT_FALSE(t.IsRunning());
    Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(t.WaitForExit(1000));
    EXPECT_LT(MsSince(t0), 50) << "no thread: no poll, no sleep";
    EXPECT_EQ(t.GetThreadId(), 0u);
}

TEST(Thread, RunsRoutineWithParameterAndTidiesUpAfterIt)
{
    Worker w;
    CQVThread t;
    t.Start(RunUntilStopped, &w, 256000);
    EXPECT_NE(t.GetThreadId(), 0u);
    for (int i = 0; i < 500 && !w.bStarted; i++)
        SleepMs(10);
    ASSERT_TRUE(w.bStarted.load());
    EXPECT_EQ(w.pSeen, &w);
    EXPECT_TRUE(t.IsRunning());

    w.bStop = true;
    EXPECT_TRUE(t.WaitForExit(5000));
    EXPECT_EQ(w.nRuns.load(), 1);
    EXPECT_EQ(t.GetThreadId(), 0u) << "the ended thread is forgotten";
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.WaitForExit(0));
}

TEST(Thread, WaitGivesUpOnThreadThatIgnoresItsStop)
{
    Worker w;
    CQVThread t;
    t.Start(RunUntilStopped, &w, 256000);
    Clock::time_point t0 = Clock::now();
    EXPECT_FALSE(t.WaitForExit(1000));
    long long waited = MsSince(t0);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 2500);
    EXPECT_TRUE(t.IsRunning()) << "nothing is forced to end";

    w.bStop = true;
    EXPECT_TRUE(t.WaitForExit(5000));
}

TEST(Thread, WaitAcrossTickWrapNeitherEndsEarlyNorHangs)
{
    Worker w;
    CQVThread t;
    t.Start(RunUntilStopped, &w, 256000);
    // Put the tick 300 ms before its wrap, so the wait's deadline lies beyond it.
    SetTickOffsetForTest(0);
    uint32_t raw = GetTick();
    SetTickOffsetForTest(0u - raw - 300u);
    Clock::time_point t0 = Clock::now();
    bool ended = t.WaitForExit(1000);
    long long waited = MsSince(t0);
    uint32_t after = GetTick();
    SetTickOffsetForTest(0);

    EXPECT_FALSE(ended);
    EXPECT_LT(after, 0x80000000u) << "the counter did wrap during the wait";
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 2500);

    w.bStop = true;
    EXPECT_TRUE(t.WaitForExit(5000));
}

TEST(Thread, RoutineReturningStillActiveCodeIsStillSeenToEnd)
{
    CQVThread t;
    t.Start(ReturnStillActiveCode, nullptr, 256000);
    EXPECT_TRUE(t.WaitForExit(5000));
    EXPECT_FALSE(t.IsRunning());
}

TEST(Thread, RestartWhileRunningLeavesOldThreadUnsupervised)
{
    Worker old, next;
    CQVThread t;
    t.Start(RunUntilStopped, &old, 256000);
    for (int i = 0; i < 500 && !old.bStarted; i++)
        SleepMs(10);
    t.Start(ReturnAtOnce, &next, 256000);
    EXPECT_TRUE(t.WaitForExit(5000));
    EXPECT_EQ(next.nRuns.load(), 1);
    EXPECT_EQ(old.nRuns.load(), 0) << "the first thread was not stopped";

    old.bStop = true;
    for (int i = 0; i < 500 && old.nRuns == 0; i++)
        SleepMs(10);
    EXPECT_EQ(old.nRuns.load(), 1) << "the first thread ran on to its end";
}

TEST(Thread, StackReservationHoldsLargeFrames)
{
    struct Ctx {
        std::atomic<uint32_t> sum{0};
    } ctx;
    CQVThread t;
    t.Start(
        [](void* p) -> uint32_t {
            volatile uint8_t block[160000];
            for (size_t i = 0; i < sizeof(block); i += 512)
                block[i] = (uint8_t)i;
            uint32_t s = 0;
            for (size_t i = 0; i < sizeof(block); i += 512)
                s += block[i];
            static_cast<Ctx*>(p)->sum = s + 1;
            return 0;
        },
        &ctx, 256000);
    EXPECT_TRUE(t.WaitForExit(5000));
    EXPECT_NE(ctx.sum.load(), 0u);
}
