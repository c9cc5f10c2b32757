#include "attempt.h"

#include "../util/qvtick.h"
#include "../util/socketwait.h"

void AttemptStatus(CAttemptObserver* observer, const char* text)
{
    if (observer) observer->OnStatus(text);
}

bool AttemptKeepWaiting(CAttemptObserver* observer)
{
    return !observer || observer->KeepWaiting();
}

static AttemptWait WaitFor(CAttemptObserver* observer, QVSOCKET s, int interest, uint32_t ms)
{
    uint32_t start = GetTick();
    for (;;) {
        if (!AttemptKeepWaiting(observer)) return ATTEMPT_WAIT_CANCELLED;
        uint32_t spent = TickSince(start);
        uint32_t left = spent >= ms ? 0 : ms - spent;
        uint32_t slice = (observer && left > ATTEMPT_ASK_MS) ? ATTEMPT_ASK_MS : left;
        if (SocketWaitPair(s, interest, QV_INVALID_SOCKET, 0, slice).a & interest) return ATTEMPT_WAIT_READY;
        if (TickSince(start) >= ms) return ATTEMPT_WAIT_TIMEOUT;
        if (s == QV_INVALID_SOCKET) SleepMs(slice); // nothing to wait on, still keep time
    }
}

AttemptWait AttemptWaitReadable(CAttemptObserver* observer, QVSOCKET s, uint32_t ms)
{
    return WaitFor(observer, s, QV_WAIT_READ, ms);
}

AttemptWait AttemptWaitWritable(CAttemptObserver* observer, QVSOCKET s, uint32_t ms)
{
    return WaitFor(observer, s, QV_WAIT_WRITE, ms);
}

bool AttemptSleep(CAttemptObserver* observer, uint32_t ms)
{
    uint32_t start = GetTick();
    for (;;) {
        if (!AttemptKeepWaiting(observer)) return false;
        uint32_t spent = TickSince(start);
        if (spent >= ms) return true;
        uint32_t left = ms - spent;
        SleepMs(observer && left > ATTEMPT_ASK_MS ? ATTEMPT_ASK_MS : left);
    }
}
