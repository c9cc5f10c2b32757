// A manual-reset event that a socket wait can take part in: while the signal is
// set, its socket is readable. Windows can only wait on sockets and events
// together through per-socket event bindings that change the socket's mode, and
// POSIX condition variables cannot be polled at all; a datagram on a private
// loopback pair works the same on both and with every socket wait we have.
#pragma once
#include <cstdint>

#include "qvsocket.h"
#include "qvthread.h"

class CQVSignal
{
  public:
    CQVSignal(); // not set; IsValid() is false when no loopback pair could be made
    ~CQVSignal();
    bool IsValid() const { return m_hRx != QV_INVALID_SOCKET; }
    void Set();   // idempotent: a set signal holds one datagram, never more
    void Reset(); // drains the socket, so a stray wake-up never stays readable
    bool IsSet() const;
    // True when the signal is (or becomes) set within ms. Does not reset.
    bool Wait(uint32_t ms);
    // Readable while the signal is set; give it to SocketWaitPair with QV_WAIT_READ.
    QVSOCKET GetSocket() const { return m_hRx; }

  private:
    CQVSignal(const CQVSignal&) = delete;
    CQVSignal& operator=(const CQVSignal&) = delete;
    void Drain();

    mutable CQVCritical m_Lock;
    QVSOCKET m_hRx; // receives the wake-up datagram
    QVSOCKET m_hTx; // sends it, connected to m_hRx
    bool m_bSet;
};
