// Offers a started viewer a local TCP port and pumps bytes between it and the
// session's transport.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "../util/qvsocket.h"
#include "../util/qvthread.h"

class CXConnection;

const uint16_t LOOPBACK_FIRST_PORT = 22050;
const int LOOPBACK_PORT_TRIES = 1000;

// How long the destructor waits for the worker. The worker's own waits are far
// shorter; only a transport that does not return holds it longer, and then the
// window that destroys the bridge must not wait with it.
const uint32_t LOOPBACK_STOP_MS = 1000;

class CTCP_LoopBack
{
  public:
    // Serves the transport given; null serves nothing (a viewer is closed at once).
    // The transport must outlive the bridge's worker: the session's transport
    // lives as long as the program.
    explicit CTCP_LoopBack(CXConnection* transport);
    // Ends whatever the worker waits on or sends into (the transport's stream is
    // interrupted), waits up to LOOPBACK_STOP_MS for the worker, and closes the
    // transport. The viewer and the listener are closed by whichever of the two
    // lets go of them last: at once when the worker has ended, otherwise by the
    // worker when it comes back, without touching the transport again.
    virtual ~CTCP_LoopBack();
    uint16_t GetPort() const { return m_nPort; }
    // Where the listener is bound (always 127.0.0.1); family 0 when nothing listens.
    QVSockAddr GetListenAddress() const { return m_ListenAddr; }

  private:
    struct Shared;
    class Pump; // the worker's two directions, once a viewer is connected
    CTCP_LoopBack(const CTCP_LoopBack&) = delete;
    CTCP_LoopBack& operator=(const CTCP_LoopBack&) = delete;
    static uint32_t ThreadProc(void* held);
    static void Run(Shared& shared);
    static void Bridge(Shared& shared);
    static void EndBridge(Shared& shared);

    CXConnection* m_pTransport;
    // What the worker uses, held by the bridge and by the worker alike.
    std::shared_ptr<Shared> m_pShared;
    uint16_t m_nPort;
    QVSockAddr m_ListenAddr;
    CQVThread m_Thread;
};
