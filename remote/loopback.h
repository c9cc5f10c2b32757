// Offers a started viewer a local TCP port and pumps bytes between it and the
// session's transport.
#pragma once
#include <atomic>
#include <cstdint>

#include "../util/qvsocket.h"
#include "../util/qvthread.h"

class CXConnection;

const uint16_t LOOPBACK_FIRST_PORT = 22050;
const int LOOPBACK_PORT_TRIES = 1000;

class CTCP_LoopBack
{
  public:
    // Serves the transport given; null serves nothing (a viewer is closed at once).
    // The transport must outlive the bridge.
    explicit CTCP_LoopBack(CXConnection* transport);
    // Ends whatever the worker waits on or sends into (the transport's stream is
    // interrupted), waits for the worker to end, and only then closes the
    // viewer, the listener and the transport.
    virtual ~CTCP_LoopBack();
    uint16_t GetPort() const { return m_nPort; }
    // Where the listener is bound (always 127.0.0.1); family 0 when nothing listens.
    QVSockAddr GetListenAddress() const { return m_ListenAddr; }

  private:
    CTCP_LoopBack(const CTCP_LoopBack&) = delete;
    CTCP_LoopBack& operator=(const CTCP_LoopBack&) = delete;
    static uint32_t ThreadProc(void* self);
    void Run();
    void Bridge();
    void EndBridge();
    bool PushToController(QVSOCKET controller, const uint8_t* data, int length, int* sent);

    CXConnection* m_pTransport;
    QVSOCKET m_hListen;
    QVSOCKET m_hViewer;
    uint16_t m_nPort;
    QVSockAddr m_ListenAddr;
    CQVThread m_Thread;
    std::atomic<bool> m_bRunning;
};
