// What a connection attempt reports and asks while it runs: one observer for the
// whole attempt (connect, remote roads, login, version, download, hand-over).
#pragma once
#include <cstdint>

#include "../util/qvsocket.h"

// Longest time any wait of an attempt goes without asking KeepWaiting: Cancel
// must end an attempt within 300 ms, and the window must keep answering.
const uint32_t ATTEMPT_ASK_MS = 100;

class CAttemptObserver
{
  public:
    virtual ~CAttemptObserver() {}
    // A status line for the user (and the connection log).
    virtual void OnStatus(const char* text) = 0;
    // Download progress in bytes; total 0 means unknown.
    virtual void OnProgress(uint32_t done, uint32_t total)
    {
        (void)done;
        (void)total;
    }
    // Asked at every wait, at least every ATTEMPT_ASK_MS: the window side lets its
    // messages through here. false: the user cancelled; the waiting step ends at
    // once, closing what it opened.
    virtual bool KeepWaiting() { return true; }
};

// Reports to an observer that may be null.
void AttemptStatus(CAttemptObserver* observer, const char* text);
bool AttemptKeepWaiting(CAttemptObserver* observer);

enum AttemptWait {
    ATTEMPT_WAIT_READY = 1,     // the socket became readable
    ATTEMPT_WAIT_TIMEOUT = 0,   // the time ran out
    ATTEMPT_WAIT_CANCELLED = -1 // KeepWaiting said no
};
// Waits up to ms for s to become readable, asking the observer in slices of at
// most ATTEMPT_ASK_MS. A null observer means a plain wait.
AttemptWait AttemptWaitReadable(CAttemptObserver* observer, QVSOCKET s, uint32_t ms);
// The same for room to send, or a failure (a refused connect ends the wait).
AttemptWait AttemptWaitWritable(CAttemptObserver* observer, QVSOCKET s, uint32_t ms);
// Sleeps ms, asking the observer in the same slices; false when cancelled.
bool AttemptSleep(CAttemptObserver* observer, uint32_t ms);
