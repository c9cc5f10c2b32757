// The loopback bridge: one local viewer connection relayed to the controller
// transport, both directions served as soon as either side is ready.
#include "loopback.h"

#include <cstring>
#include <new>

#include "../protocol/xconnection.h"
#include "../util/qvtick.h"
#include "../util/trace.h"
#include "../util/socketwait.h"

namespace
{
const int BRIDGE_BUFFER_SIZE = 64000;
const uint32_t BRIDGE_STACK_SIZE = 256000;
const uint32_t ACCEPT_WAIT_MS = 100;
// Longest wait between two looks at the running flag while bridging.
const uint32_t PUMP_WAIT_MS = 50;
// A datagram stream that offers no readiness socket cannot be waited on together
// with the viewer; this bounds how long viewer data may wait while it is watched.
const uint32_t STREAM_WAIT_MS = 5;
const uint32_t EXIT_WAIT_MS = 5000;
} // namespace

CTCP_LoopBack::CTCP_LoopBack(CXConnection* transport)
    : m_pTransport(transport), m_hListen(QV_INVALID_SOCKET), m_hViewer(QV_INVALID_SOCKET), m_nPort(0),
      m_bRunning(true)
{
    memset(&m_ListenAddr, 0, sizeof(m_ListenAddr));

    // Bound to 127.0.0.1 alone: whoever connects first is handed a logged-in
    // controller session, so nobody on the network may be able to.
    uint16_t port = LOOPBACK_FIRST_PORT;
    for (int i = 0; i < LOOPBACK_PORT_TRIES; i++, port++) {
        QVSOCKET s = SocketTcp();
        if (s == QV_INVALID_SOCKET) continue;
        if (SocketBind(s, MakeSockAddr(LoopbackAddress(), port))) {
            m_hListen = s;
            break;
        }
        CloseSocket(s);
    }
    // With no free port this is the last one tried plus one, where nothing listens.
    m_nPort = port;
    if (m_hListen != QV_INVALID_SOCKET) {
        // Non-blocking so that a connection withdrawn between the readiness test
        // and accept cannot hold the worker.
        if (SocketListen(m_hListen, 10) && SetNonBlocking(m_hListen)) {
            SocketLocalAddr(m_hListen, &m_ListenAddr);
        } else {
            CloseSocket(m_hListen);
            m_hListen = QV_INVALID_SOCKET;
        }
    }
    m_Thread.Start(ThreadProc, this, BRIDGE_STACK_SIZE);
}

CTCP_LoopBack::~CTCP_LoopBack()
{
    m_bRunning = false;
    // The worker's own waits are short; only a send into the transport can hold
    // it, and interrupting the transport ends that send at once. Nothing is
    // released before the worker has left: it may be inside any of it.
    if (m_pTransport) m_pTransport->Interrupt();
    while (!m_Thread.WaitForExit(EXIT_WAIT_MS)) {
        Trace("Loopback bridge: worker still running after %u ms", (unsigned)EXIT_WAIT_MS);
        if (m_pTransport) m_pTransport->Interrupt();
    }
    CloseSocket(m_hListen);
    m_hListen = QV_INVALID_SOCKET;
    CloseSocket(m_hViewer);
    m_hViewer = QV_INVALID_SOCKET;
    // Ending the bridge ends the controller connection it served.
    if (m_pTransport) m_pTransport->Close();
}

uint32_t CTCP_LoopBack::ThreadProc(void* self)
{
    static_cast<CTCP_LoopBack*>(self)->Run();
    return 0;
}

void CTCP_LoopBack::Run()
{
    while (m_hViewer == QV_INVALID_SOCKET) {
        if (!m_bRunning) return;
        if (m_hListen == QV_INVALID_SOCKET) {
            SleepMs(ACCEPT_WAIT_MS);
            continue;
        }
        if (!SocketReadable(m_hListen, ACCEPT_WAIT_MS)) continue;
        QVSOCKET viewer = SocketAccept(m_hListen, nullptr);
        if (viewer == QV_INVALID_SOCKET) {
            SleepMs(10); // readable but nothing to accept: do not spin on it
            continue;
        }
        // One viewer only: closing the listener makes any further attempt fail.
        CloseSocket(m_hListen);
        m_hListen = QV_INVALID_SOCKET;
        m_hViewer = viewer;
    }
    Bridge();
}

void CTCP_LoopBack::EndBridge()
{
    CloseSocket(m_hViewer);
    m_hViewer = QV_INVALID_SOCKET;
    if (m_pTransport) m_pTransport->Close();
}

// Hands bytes to the controller. On a TCP stream the send never waits, so the
// worker always returns to its running flag; *sent may then be fewer than length.
// false: the stream failed (it is closed).
bool CTCP_LoopBack::PushToController(QVSOCKET controller, const uint8_t* data, int length, int* sent)
{
    *sent = 0;
    if (controller != QV_INVALID_SOCKET) {
        int n = SocketSendNow(controller, data, length);
        if (n >= 0) {
            *sent = n;
            return true;
        }
        if (SocketErrorWouldBlock(SocketLastError())) return true;
        m_pTransport->Close();
        return false;
    }
    if (!m_pTransport->Send(data, length)) return false;
    *sent = length;
    return true;
}

void CTCP_LoopBack::Bridge()
{
    CXConnection* t = m_pTransport;
    QVSOCKET viewer = m_hViewer;
    SocketSetNoDelay(viewer);
    // One buffer per direction: a block still waiting for one side never holds
    // up the other direction.
    uint8_t* up = new (std::nothrow) uint8_t[BRIDGE_BUFFER_SIZE];
    uint8_t* down = new (std::nothrow) uint8_t[BRIDGE_BUFFER_SIZE];
    if (!t || !up || !down) {
        delete[] up;
        delete[] down;
        EndBridge();
        return;
    }
    int upLength = 0, upSent = 0;     // viewer -> controller
    int downLength = 0, downSent = 0; // controller -> viewer
    QVSOCKET nonBlocking = QV_INVALID_SOCKET;
    bool controllerNeverBlocks = false;
    const bool viewerNeverBlocks = SetNonBlocking(viewer);
    // While bytes keep moving, the next pass tries both sides straight away and
    // waits only once neither had anything: one wait per burst, not per block.
    bool busy = false;
    bool ended = false;

    while (m_bRunning && !ended) {
        QVSOCKET controller = t->GetSocket();
        // A datagram stream is waited on through its readiness socket.
        QVSOCKET ready = controller == QV_INVALID_SOCKET ? t->GetReadySocket() : QV_INVALID_SOCKET;
        if (controller != QV_INVALID_SOCKET && controller != nonBlocking) {
            // From here until the bridge closes it, the stream is the bridge's alone.
            // Bytes are forwarded the moment they arrive, so holding small segments
            // back for coalescing would only add delay.
            controllerNeverBlocks = SetNonBlocking(controller);
            SocketSetNoDelay(controller);
            nonBlocking = controller;
        }
        bool mayTryAtOnce = viewerNeverBlocks && (controller == QV_INVALID_SOCKET || controllerNeverBlocks);
        bool upPending = upSent < upLength;
        bool downPending = downSent < downLength;
        // A direction reads only when its buffer is empty: back-pressure instead of loss.
        int viewerInterest = (upPending ? 0 : QV_WAIT_READ) | (downPending ? QV_WAIT_WRITE : 0);
        bool viewerReadable = false;
        bool controllerReadable = false;
        if (busy && mayTryAtOnce) {
            viewerReadable = !upPending;
            controllerReadable = !downPending;
        } else if (controller != QV_INVALID_SOCKET) {
            int controllerInterest = (downPending ? 0 : QV_WAIT_READ) | (upPending ? QV_WAIT_WRITE : 0);
            int r = SocketWaitPair(viewer, viewerInterest, controller, controllerInterest, PUMP_WAIT_MS);
            viewerReadable = (r & QV_WAIT_READ) != 0;
            controllerReadable = ((r >> 2) & QV_WAIT_READ) != 0;
        } else if (ready != QV_INVALID_SOCKET) {
            int r =
                SocketWaitPair(viewer, viewerInterest, ready, downPending ? 0 : QV_WAIT_READ, PUMP_WAIT_MS);
            viewerReadable = (r & QV_WAIT_READ) != 0;
            controllerReadable = ((r >> 2) & QV_WAIT_READ) != 0;
        } else {
            int r = SocketWaitPair(viewer, viewerInterest, QV_INVALID_SOCKET, 0, 0);
            if (!downPending)
                controllerReadable = t->WaitReadable(r ? 0 : STREAM_WAIT_MS);
            else if (!r)
                r = SocketWaitPair(viewer, viewerInterest, QV_INVALID_SOCKET, 0, STREAM_WAIT_MS);
            viewerReadable = (r & QV_WAIT_READ) != 0;
        }
        busy = false;

        if (viewerReadable && !upPending) {
            int n = SocketRecv(viewer, up, BRIDGE_BUFFER_SIZE);
            if (n > 0) {
                busy = true;
                upLength = n;
                upSent = 0;
            } else if (n == 0 || !SocketErrorWouldBlock(SocketLastError())) {
                ended = true; // the viewer left
            }
        }
        if (!ended && upSent < upLength) {
            int sent = 0;
            if (!PushToController(controller, up + upSent, upLength - upSent, &sent)) {
                ended = true;
            } else {
                upSent += sent;
                if (sent > 0) busy = true;
                if (upSent >= upLength) upSent = upLength = 0;
            }
        }

        if (!ended && controllerReadable && downSent >= downLength) {
            int n = t->Receive(down, BRIDGE_BUFFER_SIZE);
            int err = SocketLastError();
            if (n > 0) {
                busy = true;
                downLength = n;
                downSent = 0;
            } else if (!t->IsConnected()) {
                ended = true;
            } else if (n < 0 && controller != QV_INVALID_SOCKET && !SocketErrorWouldBlock(err)) {
                // A reset stream stays open in the transport but will never deliver again.
                ended = true;
            }
        }
        if (!ended && downSent < downLength) {
            int n = SocketSendNow(viewer, down + downSent, downLength - downSent);
            if (n > 0) {
                busy = true;
                downSent += n;
                if (downSent >= downLength) downSent = downLength = 0;
            } else if (n < 0 && !SocketErrorWouldBlock(SocketLastError())) {
                ended = true;
            }
        }
    }
    delete[] up;
    delete[] down;
    // When stopped from outside the destructor closes everything instead.
    if (ended) EndBridge();
}
