#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/xconnection.h"
#include "remote/loopback.h"
#include "remote/netaddr.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"
#include "tests/support/fakestream.h"
#include "tests/support/tcppair.h"

namespace
{

// Sockets must be started before any test runs (Windows Sockets needs it).
const bool kSocketsStarted = SocketStartup();

QVSOCKET Connect(uint32_t addr, uint16_t port)
{
    return ConnectTcp(addr, port);
}

bool SendAll(QVSOCKET s, const std::string& data)
{
    return SocketSend(s, data.data(), (int)data.size()) == (int)data.size();
}

// A controller reached over TCP: the transport adopts one end, the test holds the other.
struct TcpController {
    CXConnection conn{"servers.txt"};
    QVSOCKET peer = QV_INVALID_SOCKET;
    TcpController()
    {
        QVSOCKET mine;
        EXPECT_TRUE(MakeTcpPair(&peer, &mine));
        conn.AdoptSocket(mine);
    }
    ~TcpController() { CloseSocket(peer); }
};

TEST(LoopbackBridge, ListensOnLoopbackOnlyAndSkipsATakenPort)
{
    QVSOCKET blocker = SocketTcp();
    SocketBind(blocker, MakeSockAddr(LoopbackAddress(), LOOPBACK_FIRST_PORT));
    QVSOCKET probe = SocketTcp();
    bool nextFree = SocketBind(probe, MakeSockAddr(LoopbackAddress(), LOOPBACK_FIRST_PORT + 1));
    CloseSocket(probe);

    TcpController ctl;
    {
        CTCP_LoopBack bridge(&ctl.conn);
        EXPECT_GT(bridge.GetPort(), LOOPBACK_FIRST_PORT);
        EXPECT_LT(bridge.GetPort(), LOOPBACK_FIRST_PORT + LOOPBACK_PORT_TRIES);
        if (nextFree) {
            EXPECT_EQ(bridge.GetPort(), LOOPBACK_FIRST_PORT + 1);
        }
        QVSockAddr bound = bridge.GetListenAddress();
        EXPECT_EQ(bound.family, 2);
        EXPECT_EQ(bound.addr, LoopbackAddress());
        EXPECT_EQ(SockAddrPort(bound), bridge.GetPort());

        // Another local address of this machine must not reach the listener.
        uint32_t mask = 0, address = 0;
        if (FindAdapterAddress(0, &mask, &address)) {
            QVSOCKET outsider = Connect(address, bridge.GetPort());
            EXPECT_EQ(outsider, QV_INVALID_SOCKET) << FormatIPv4(address);
            CloseSocket(outsider);
        }
        // The bridge still serves its viewer on 127.0.0.1.
        QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
        ASSERT_NE(viewer, QV_INVALID_SOCKET);
        EXPECT_TRUE(SendAll(viewer, "hello"));
        EXPECT_EQ(RecvExact(ctl.peer, 5), "hello");
        CloseSocket(viewer);
    }
    CloseSocket(blocker);
}

TEST(LoopbackBridge, ServesOneViewerAndRefusesTheNext)
{
    TcpController ctl;
    CTCP_LoopBack bridge(&ctl.conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(SendAll(viewer, "ping"));
    ASSERT_EQ(RecvExact(ctl.peer, 4), "ping");

    QVSOCKET second = Connect(LoopbackAddress(), bridge.GetPort());
    EXPECT_EQ(second, QV_INVALID_SOCKET);
    CloseSocket(second);

    ASSERT_TRUE(SendAll(ctl.peer, "pong"));
    EXPECT_EQ(RecvExact(viewer, 4), "pong");
    CloseSocket(viewer);
}

TEST(LoopbackBridge, ViewerLeavingEndsTheControllerConnection)
{
    TcpController ctl;
    CTCP_LoopBack bridge(&ctl.conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(SendAll(viewer, "last words"));
    CloseSocket(viewer);
    EXPECT_EQ(RecvExact(ctl.peer, 10), "last words");
    EXPECT_TRUE(SeesEnd(ctl.peer));
}

TEST(LoopbackBridge, ControllerFailureClosesTheViewer)
{
    TcpController ctl;
    CTCP_LoopBack bridge(&ctl.conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(SendAll(ctl.peer, "goodbye"));
    CloseSocket(ctl.peer);
    ctl.peer = QV_INVALID_SOCKET;
    EXPECT_EQ(RecvExact(viewer, 7), "goodbye");
    EXPECT_TRUE(SeesEnd(viewer));
    CloseSocket(viewer);
}

TEST(LoopbackBridge, DestroyedBeforeAnyViewerStopsPromptlyAndClosesTransport)
{
    TcpController ctl;
    auto bridge = std::make_unique<CTCP_LoopBack>(&ctl.conn);
    SleepMs(30);
    uint32_t start = GetTick();
    bridge.reset();
    uint32_t took = TickSince(start);
    EXPECT_LT(took, 600u);
    EXPECT_TRUE(SeesEnd(ctl.peer));
    EXPECT_FALSE(ctl.conn.IsConnected());
}

TEST(LoopbackBridge, WithoutTransportTheViewerIsClosed)
{
    CTCP_LoopBack bridge(nullptr);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    EXPECT_TRUE(SeesEnd(viewer));
    CloseSocket(viewer);
}

// Pseudo-random bytes that differ per stream, so swapped or repeated blocks show.
std::string Pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = (char)(x >> 24);
    }
    return s;
}

TEST(LoopbackBridge, CarriesMegabytesBothWaysAtOnceIntact)
{
    TcpController ctl;
    CTCP_LoopBack bridge(&ctl.conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);

    const size_t kSize = 4 * 1024 * 1024 + 12345;
    const std::string toController = Pattern(kSize, 0x1234567);
    const std::string toViewer = Pattern(kSize, 0x7654321);
    std::string atController, atViewer;
    // Uneven chunk sizes on both sides, all four ends busy at the same time.
    auto writer = [](QVSOCKET s, const std::string* data, int chunk) {
        for (size_t off = 0; off < data->size(); off += (size_t)chunk) {
            int n = (int)std::min((size_t)chunk, data->size() - off);
            if (SocketSend(s, data->data() + off, n) != n) return;
        }
    };
    std::thread w1(writer, viewer, &toController, 7001);
    std::thread w2(writer, ctl.peer, &toViewer, 65536 + 3);
    std::thread r1([&] { atController = RecvExact(ctl.peer, kSize, 60000); });
    std::thread r2([&] { atViewer = RecvExact(viewer, kSize, 60000); });
    w1.join();
    w2.join();
    r1.join();
    r2.join();
    ASSERT_EQ(atController.size(), kSize);
    ASSERT_EQ(atViewer.size(), kSize);
    EXPECT_TRUE(atController == toController);
    EXPECT_TRUE(atViewer == toViewer);
    CloseSocket(viewer);
}

// Both kinds of datagram stream: one with a readiness socket (waited on together
// with the viewer) and one without (watched in short steps).
class DatagramBridge : public ::testing::TestWithParam<bool>
{
  protected:
    std::shared_ptr<CFakeStream> stream = std::make_shared<CFakeStream>();
    CXConnection conn{"servers.txt"};
    void SetUp() override
    {
        stream->SetOffersReadySocket(GetParam());
        conn.InstallClient(stream);
    }
};

TEST_P(DatagramBridge, RelaysBothWaysAndTheControllerLeavingClosesTheViewer)
{
    CTCP_LoopBack bridge(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);

    ASSERT_TRUE(SendAll(viewer, "request"));
    EXPECT_EQ(stream->Sent(7, 5000), "request");

    const std::string bulk = Pattern(1500000, 99);
    for (size_t off = 0; off < bulk.size(); off += 30000)
        stream->Push(bulk.substr(off, 30000));
    EXPECT_TRUE(RecvExact(viewer, bulk.size(), 20000) == bulk);

    stream->Drop();
    EXPECT_TRUE(SeesEnd(viewer));
    CloseSocket(viewer);
}

TEST_P(DatagramBridge, ViewerLeavingClosesTheStream)
{
    CTCP_LoopBack bridge(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(SendAll(viewer, "x"));
    EXPECT_EQ(stream->Sent(1, 5000), "x");
    CloseSocket(viewer);
    EXPECT_TRUE(stream->WaitClosed(3000));
}

// A send into a stream whose peer keeps its window shut holds the worker; the
// bridge going away ends that send and waits for the worker before anything is
// freed (the address sanitizer catches a worker left inside freed memory).
TEST_P(DatagramBridge, DestroyedDuringABlockedSendEndsItAndWaitsForTheWorker)
{
    stream->SetSendBlocks(true);
    std::weak_ptr<CFakeStream> watch = stream;
    auto bridge = std::make_unique<CTCP_LoopBack>(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge->GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(SendAll(viewer, "stuck"));
    uint32_t start = GetTick();
    while (stream->GetStats().sends == 0 && TickSince(start) < 5000)
        SleepMs(5);
    ASSERT_EQ(stream->GetStats().sends, 1u);

    start = GetTick();
    bridge.reset();
    EXPECT_LT(TickSince(start), 2000u);
    EXPECT_TRUE(stream->WasClosed());
    EXPECT_FALSE(conn.IsConnected());
    stream.reset();
    EXPECT_TRUE(watch.expired()); // nobody holds it any more: freed after the worker left
    CloseSocket(viewer);
}

// The window thread closing the transport while the worker is inside the stream
// (the order the application used to rely on luck for): the stream is shut down
// at once but freed only by the last thread to let go. Run under the thread
// sanitizer.
TEST_P(DatagramBridge, CloseWhileTheWorkerIsInsideTheStreamIsSafe)
{
    auto bridge = std::make_unique<CTCP_LoopBack>(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge->GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    std::atomic<bool> stop{false};
    std::thread feeder([&, controller = stream] {
        const std::string chunk(4096, 'c');
        while (!stop) {
            controller->Push(chunk);
            SocketSend(viewer, "v", 1);
            SleepMs(1);
        }
    });
    SleepMs(50);
    std::weak_ptr<CFakeStream> watch = stream;
    stream.reset(); // from here the transport, the worker and the feeder hold it
    conn.Close();
    EXPECT_TRUE(SeesEnd(viewer, 3000) || !conn.IsConnected());
    stop = true;
    feeder.join();
    bridge.reset();
    EXPECT_TRUE(watch.expired());
    CloseSocket(viewer);
}

INSTANTIATE_TEST_SUITE_P(ReadySocket, DatagramBridge, ::testing::Values(true, false));

// A stream whose Receive does not come back until the test lets it, closed or
// not: a transport that breaks its own bounds.
class StuckStream : public CDatagramStream
{
  public:
    bool Send(const void*, int) override { return true; }
    int Receive(void*, int) override
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        m_bEntered = true;
        m_Changed.notify_all();
        m_Changed.wait_for(hold, std::chrono::seconds(30), [this] { return m_bReleased; });
        return 0;
    }
    bool WaitReadable(uint32_t) override { return true; }
    bool IsUp() override { return true; }
    void Close() override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_bClosed = true;
    }
    QVSOCKET GetReadySocket() override { return QV_INVALID_SOCKET; }

    bool WaitEntered(uint32_t ms)
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, std::chrono::milliseconds(ms), [this] { return m_bEntered; });
    }
    bool WasClosed()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_bClosed;
    }
    void Release()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_bReleased = true;
        m_Changed.notify_all();
    }

  private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_bEntered = false, m_bClosed = false, m_bReleased = false;
};

// The window that destroys the bridge waits about a second for a worker held in
// the transport, not as long as the transport holds it; the worker, once back,
// closes the viewer and lets go of the stream without another call into it.
TEST(LoopbackBridge, DestroyedWhileTheWorkerIsStuckInTheStreamReturnsWithinItsBound)
{
    auto stream = std::make_shared<StuckStream>();
    std::weak_ptr<StuckStream> watch = stream;
    CXConnection conn{"servers.txt"}; // outlives the worker, as the session's transport does
    conn.InstallClient(stream);
    auto bridge = std::make_unique<CTCP_LoopBack>(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge->GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(stream->WaitEntered(5000));

    const uint32_t start = GetTick();
    bridge.reset();
    // Generous: the wait itself is LOOPBACK_STOP_MS.
    EXPECT_LT(TickSince(start), 3 * LOOPBACK_STOP_MS);
    EXPECT_TRUE(stream->WasClosed());
    EXPECT_FALSE(conn.IsConnected());

    stream->Release();
    stream.reset();
    EXPECT_TRUE(SeesEnd(viewer, 10000));
    const uint32_t released = GetTick();
    while (!watch.expired() && TickSince(released) < 10000)
        SleepMs(10);
    EXPECT_TRUE(watch.expired());
    CloseSocket(viewer);
}

} // namespace
