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

namespace
{

// One direction of the bridge: a block read from one side and not yet all handed
// to the other. It reads only when empty: back-pressure instead of loss, and a
// block still waiting for one side never holds up the other direction.
struct Direction {
    uint8_t data[BRIDGE_BUFFER_SIZE];
    int length = 0;
    int sent = 0;

    bool Pending() const { return sent < length; }
    void Took(int n)
    {
        length = n;
        sent = 0;
    }
    // n more bytes handed on; an emptied block makes room for the next.
    void Gave(int n)
    {
        sent += n;
        if (sent >= length) sent = length = 0;
    }
    const uint8_t* Rest() const { return data + sent; }
    int RestLength() const { return length - sent; }
};

// How one step of a pass ended.
enum class Step {
    Go,      // on to the next step
    Ended,   // the viewer or the controller left
    Stopped, // the bridge was stopped while the step was inside the transport
};

// Which sides a pass serves.
struct Sides {
    bool viewerReadable;
    bool controllerReadable;
};

Sides ReadableSides(const SocketPairReady& r)
{
    return Sides{(r.a & QV_WAIT_READ) != 0, (r.b & QV_WAIT_READ) != 0};
}

} // namespace

class CTCP_LoopBack::Pump
{
  public:
    explicit Pump(Shared& sh) : m_Shared(sh), m_pTransport(sh.transport), m_hViewer(sh.viewer)
    {
        SocketSetNoDelay(m_hViewer);
        m_bViewerNeverBlocks = SetNonBlocking(m_hViewer);
    }

    // Serves both directions until a side leaves (true) or the bridge is stopped
    // (false). While bytes keep moving, the next pass tries both sides straight
    // away and waits only once neither had anything: one wait per burst, not per
    // block.
    bool Run()
    {
        while (m_Shared.running) {
            const QVSOCKET controller = m_pTransport->GetSocket();
            if (controller != QV_INVALID_SOCKET && controller != m_hNonBlocking) AdoptController(controller);
            const Sides sides = m_bBusy && MayTryAtOnce(controller)
                                    ? Sides{!m_Up.Pending(), !m_Down.Pending()}
                                    : Wait(controller);
            m_bBusy = false;
            // Stopped while waiting in the transport: the destructor may have given
            // up on this worker, so the transport is not touched again.
            if (!m_Shared.running) return false;
            Step step = ViewerToController(sides.viewerReadable, controller);
            if (step == Step::Go) step = ControllerToViewer(sides.controllerReadable, controller);
            if (step != Step::Go) return step == Step::Ended;
        }
        return false;
    }

  private:
    // From here until the bridge closes it, a TCP stream is the bridge's alone.
    // Bytes are forwarded the moment they arrive, so holding small segments back
    // for coalescing would only add delay.
    void AdoptController(QVSOCKET controller)
    {
        m_bControllerNeverBlocks = SetNonBlocking(controller);
        SocketSetNoDelay(controller);
        m_hNonBlocking = controller;
    }

    bool MayTryAtOnce(QVSOCKET controller) const
    {
        return m_bViewerNeverBlocks && (controller == QV_INVALID_SOCKET || m_bControllerNeverBlocks);
    }

    // Waits for whichever side is ready first: a TCP stream and the viewer
    // together, a datagram stream through its readiness socket, or one that offers
    // none by asking it in short waits.
    Sides Wait(QVSOCKET controller)
    {
        const bool upPending = m_Up.Pending();
        const bool downPending = m_Down.Pending();
        const int viewerInterest = (upPending ? 0 : QV_WAIT_READ) | (downPending ? QV_WAIT_WRITE : 0);
        if (controller != QV_INVALID_SOCKET) {
            const int controllerInterest = (downPending ? 0 : QV_WAIT_READ) | (upPending ? QV_WAIT_WRITE : 0);
            return ReadableSides(
                SocketWaitPair(m_hViewer, viewerInterest, controller, controllerInterest, PUMP_WAIT_MS));
        }
        const QVSOCKET ready = m_pTransport->GetReadySocket();
        if (ready != QV_INVALID_SOCKET)
            return ReadableSides(SocketWaitPair(m_hViewer, viewerInterest, ready,
                                                downPending ? 0 : QV_WAIT_READ, PUMP_WAIT_MS));
        SocketPairReady viewer = SocketWaitPair(m_hViewer, viewerInterest, QV_INVALID_SOCKET, 0, 0);
        bool controllerReadable = false;
        if (!downPending)
            controllerReadable = m_pTransport->WaitReadable(viewer.None() ? STREAM_WAIT_MS : 0);
        else if (viewer.None())
            viewer = SocketWaitPair(m_hViewer, viewerInterest, QV_INVALID_SOCKET, 0, STREAM_WAIT_MS);
        return Sides{(viewer.a & QV_WAIT_READ) != 0, controllerReadable};
    }

    Step ViewerToController(bool viewerReadable, QVSOCKET controller)
    {
        if (viewerReadable && !m_Up.Pending()) {
            const int n = SocketRecv(m_hViewer, m_Up.data, BRIDGE_BUFFER_SIZE);
            if (n > 0) {
                m_bBusy = true;
                m_Up.Took(n);
            } else if (n == 0 || !SocketErrorWouldBlock(SocketLastError())) {
                return Step::Ended; // the viewer left
            }
        }
        if (!m_Up.Pending()) return Step::Go;
        int sent = 0;
        const bool pushed = PushToController(controller, &sent);
        if (!m_Shared.running) return Step::Stopped;
        if (!pushed) return Step::Ended;
        if (sent > 0) m_bBusy = true;
        m_Up.Gave(sent);
        return Step::Go;
    }

    // Hands the pending block to the controller. On a TCP stream the send never
    // waits, so the worker always returns to its running flag; *sent may then be
    // fewer than the block. false: the stream failed (it is closed).
    bool PushToController(QVSOCKET controller, int* sent)
    {
        *sent = 0;
        if (controller != QV_INVALID_SOCKET) {
            const int n = SocketSendNow(controller, m_Up.Rest(), m_Up.RestLength());
            if (n >= 0) {
                *sent = n;
                return true;
            }
            if (SocketErrorWouldBlock(SocketLastError())) return true;
            m_pTransport->Close();
            return false;
        }
        if (!m_pTransport->Send(m_Up.Rest(), m_Up.RestLength())) return false;
        *sent = m_Up.RestLength();
        return true;
    }

    Step ControllerToViewer(bool controllerReadable, QVSOCKET controller)
    {
        if (controllerReadable && !m_Down.Pending()) {
            const int n = m_pTransport->Receive(m_Down.data, BRIDGE_BUFFER_SIZE);
            const int err = SocketLastError();
            if (!m_Shared.running) return Step::Stopped;
            if (n > 0) {
                m_bBusy = true;
                m_Down.Took(n);
            } else if (!m_pTransport->IsConnected()) {
                return Step::Ended;
            } else if (n < 0 && controller != QV_INVALID_SOCKET && !SocketErrorWouldBlock(err)) {
                // A reset stream stays open in the transport but will never deliver again.
                return Step::Ended;
            }
        }
        if (!m_Down.Pending()) return Step::Go;
        const int n = SocketSendNow(m_hViewer, m_Down.Rest(), m_Down.RestLength());
        if (n > 0) {
            m_bBusy = true;
            m_Down.Gave(n);
        } else if (n < 0 && !SocketErrorWouldBlock(SocketLastError())) {
            return Step::Ended;
        }
        return Step::Go;
    }

    Shared& m_Shared;
    CXConnection* m_pTransport;
    QVSOCKET m_hViewer;
    Direction m_Up;   // viewer -> controller
    Direction m_Down; // controller -> viewer
    QVSOCKET m_hNonBlocking = QV_INVALID_SOCKET;
    bool m_bControllerNeverBlocks = false;
    bool m_bViewerNeverBlocks = false;
    bool m_bBusy = false;
};

void CTCP_LoopBack::Bridge(Shared& sh)
{
    std::unique_ptr<Pump> pump(sh.transport ? new (std::nothrow) Pump(sh) : nullptr);
    if (!pump) {
        EndBridge(sh);
        return;
    }
    // When stopped from outside, the destructor closes the transport and the last
    // holder of the shared state closes the viewer.
    if (pump->Run() && sh.running) EndBridge(sh);
}
