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
// Even when the transport's interruption took the whole stop time, a worker that
// is just leaving gets this long.
const uint32_t EXIT_MIN_WAIT_MS = 100;
} // namespace

struct CTCP_LoopBack::Shared {
    explicit Shared(CXConnection* t)
        : transport(t), listen(QV_INVALID_SOCKET), viewer(QV_INVALID_SOCKET), running(true)
    {
    }
    // Whoever lets go last closes the sockets; by then nobody else is inside them.
    ~Shared()
    {
        CloseSocket(listen);
        CloseSocket(viewer);
    }
    CXConnection* transport;
    QVSOCKET listen; // the worker's alone once it runs
    QVSOCKET viewer; // likewise
    std::atomic<bool> running;
};

CTCP_LoopBack::CTCP_LoopBack(CXConnection* transport)
    : m_pTransport(transport), m_pShared(std::make_shared<Shared>(transport)), m_nPort(0)
{
    memset(&m_ListenAddr, 0, sizeof(m_ListenAddr));

    // Bound to 127.0.0.1 alone: whoever connects first is handed a logged-in
    // controller session, so nobody on the network may be able to.
    QVSOCKET listen = QV_INVALID_SOCKET;
    uint16_t port = LOOPBACK_FIRST_PORT;
    for (int i = 0; i < LOOPBACK_PORT_TRIES; i++, port++) {
        QVSOCKET s = SocketTcp();
        if (s == QV_INVALID_SOCKET) continue;
        if (SocketBind(s, MakeSockAddr(LoopbackAddress(), port))) {
            listen = s;
            break;
        }
        CloseSocket(s);
    }
    // With no free port this is the last one tried plus one, where nothing listens.
    m_nPort = port;
    if (listen != QV_INVALID_SOCKET) {
        // Non-blocking so that a connection withdrawn between the readiness test
        // and accept cannot hold the worker.
        if (SocketListen(listen, 10) && SetNonBlocking(listen)) {
            SocketLocalAddr(listen, &m_ListenAddr);
        } else {
            CloseSocket(listen);
            listen = QV_INVALID_SOCKET;
        }
    }
    m_pShared->listen = listen;
    m_Thread.Start(ThreadProc, new std::shared_ptr<Shared>(m_pShared), BRIDGE_STACK_SIZE);
}

CTCP_LoopBack::~CTCP_LoopBack()
{
    const uint32_t start = GetTick();
    m_pShared->running = false;
    // The worker's own waits are short; only the transport can hold it, and
    // interrupting the transport ends a send or wait in progress at once.
    if (m_pTransport) m_pTransport->Interrupt();
    const uint32_t spent = TickSince(start);
    const uint32_t left = spent < LOOPBACK_STOP_MS ? LOOPBACK_STOP_MS - spent : 0;
    if (!m_Thread.WaitForExit(left > EXIT_MIN_WAIT_MS ? left : EXIT_MIN_WAIT_MS)) {
        // A stream that ignores the interruption keeps the worker; the window does
        // not wait for it. The worker holds what it uses and, once back, sees that
        // it was stopped and leaves without another call into the transport.
        Trace("Loopback bridge: worker still inside the transport after %u ms; left to end on its own",
              (unsigned)TickSince(start));
    }
    // Closes the listener and the viewer now if the worker has ended.
    m_pShared.reset();
    // Ending the bridge ends the controller connection it served. A datagram
    // stream is freed only once the worker, if still inside, has let go of it.
    if (m_pTransport) m_pTransport->Close();
}

uint32_t CTCP_LoopBack::ThreadProc(void* held)
{
    std::shared_ptr<Shared> shared = std::move(*static_cast<std::shared_ptr<Shared>*>(held));
    delete static_cast<std::shared_ptr<Shared>*>(held);
    Run(*shared);
    return 0;
}

void CTCP_LoopBack::Run(Shared& sh)
{
    while (sh.viewer == QV_INVALID_SOCKET) {
        if (!sh.running) return;
        if (sh.listen == QV_INVALID_SOCKET) {
            SleepMs(ACCEPT_WAIT_MS);
            continue;
        }
        if (!SocketReadable(sh.listen, ACCEPT_WAIT_MS)) continue;
        QVSOCKET viewer = SocketAccept(sh.listen, nullptr);
        if (viewer == QV_INVALID_SOCKET) {
            SleepMs(10); // readable but nothing to accept: do not spin on it
            continue;
        }
        // One viewer only: closing the listener makes any further attempt fail.
        CloseSocket(sh.listen);
        sh.listen = QV_INVALID_SOCKET;
        sh.viewer = viewer;
    }
    Bridge(sh);
}

void CTCP_LoopBack::EndBridge(Shared& sh)
{
    CloseSocket(sh.viewer);
    sh.viewer = QV_INVALID_SOCKET;
    if (sh.transport) sh.transport->Close();
}

// Hands bytes to the controller. On a TCP stream the send never waits, so the
// worker always returns to its running flag; *sent may then be fewer than length.
// false: the stream failed (it is closed).
bool CTCP_LoopBack::PushToController(Shared& sh, QVSOCKET controller, const uint8_t* data, int length,
                                     int* sent)
{
    *sent = 0;
    if (controller != QV_INVALID_SOCKET) {
        int n = SocketSendNow(controller, data, length);
        if (n >= 0) {
            *sent = n;
            return true;
        }
        if (SocketErrorWouldBlock(SocketLastError())) return true;
        sh.transport->Close();
        return false;
    }
    if (!sh.transport->Send(data, length)) return false;
    *sent = length;
    return true;
}

void CTCP_LoopBack::Bridge(Shared& sh)
{
    CXConnection* t = sh.transport;
    QVSOCKET viewer = sh.viewer;
    SocketSetNoDelay(viewer);
    // One buffer per direction: a block still waiting for one side never holds
    // up the other direction.
    uint8_t* up = new (std::nothrow) uint8_t[BRIDGE_BUFFER_SIZE];
    uint8_t* down = new (std::nothrow) uint8_t[BRIDGE_BUFFER_SIZE];
    if (!t || !up || !down) {
        delete[] up;
        delete[] down;
        EndBridge(sh);
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

    while (sh.running && !ended) {
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
        // Stopped while waiting in the transport: the destructor may have given
        // up on this worker, so the transport is not touched again.
        if (!sh.running) break;

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
            const bool pushed = PushToController(sh, controller, up + upSent, upLength - upSent, &sent);
            if (!sh.running) break;
            if (!pushed) {
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
            if (!sh.running) break;
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
    // When stopped from outside, the destructor closes the transport and the last
    // holder of the shared state closes the viewer.
    if (ended && sh.running) EndBridge(sh);
}
