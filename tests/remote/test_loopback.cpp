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

#include "protocol/qvserver.h"
#include "protocol/xconnection.h"
#include "remote/loopback.h"
#include "remote/netaddr.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"

namespace {

// Sockets must be started before any test runs (Windows Sockets needs it).
const bool kSocketsStarted = SocketStartup();

// Two ends of one TCP connection on 127.0.0.1.
bool MakeTcpPair(QVSOCKET* a, QVSOCKET* b)
{
    *a = *b = QV_INVALID_SOCKET;
    QVSOCKET l = SocketTcp();
    QVSockAddr addr;
    bool ok = l != QV_INVALID_SOCKET && SocketBind(l, MakeSockAddr(LoopbackAddress(), 0)) && SocketListen(l, 1) &&
              SocketLocalAddr(l, &addr);
    if (ok) {
        *a = SocketTcp();
        ok = SocketConnect(*a, addr);
        if (ok) *b = SocketAccept(l, nullptr);
        ok = ok && *b != QV_INVALID_SOCKET;
    }
    CloseSocket(l);
    if (!ok) {
        CloseSocket(*a);
        CloseSocket(*b);
    }
    return ok;
}

QVSOCKET Connect(uint32_t addr, uint16_t port)
{
    QVSOCKET s = SocketTcp();
    if (s != QV_INVALID_SOCKET && SocketConnect(s, MakeSockAddr(addr, port))) return s;
    CloseSocket(s);
    return QV_INVALID_SOCKET;
}

bool SendAll(QVSOCKET s, const std::string& data)
{
    return SocketSend(s, data.data(), (int)data.size()) == (int)data.size();
}

// Exactly n bytes within the time, or what arrived before the stream ended.
std::string RecvExact(QVSOCKET s, size_t n, uint32_t ms = 5000)
{
    std::string out;
    std::vector<char> buf(65536);
    uint32_t start = GetTick();
    while (out.size() < n && TickSince(start) < ms) {
        if (!SocketReadable(s, 50)) continue;
        int r = SocketRecv(s, buf.data(), (int)std::min(buf.size(), n - out.size()));
        if (r <= 0) break;
        out.append(buf.data(), (size_t)r);
    }
    return out;
}

// True when the peer ends the stream (orderly or by reset) within the time.
bool SeesEnd(QVSOCKET s, uint32_t ms = 3000)
{
    char buf[4096];
    uint32_t start = GetTick();
    while (TickSince(start) < ms) {
        if (!SocketReadable(s, 50)) continue;
        if (SocketRecv(s, buf, sizeof(buf)) <= 0) return true;
    }
    return false;
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
    if (g_pServer != nullptr) GTEST_SKIP() << "a session exists in this process";
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

// A reliable stream over datagrams as the transport sees it; its state outlives
// the stream object, which the transport deletes when it closes.
struct StreamState {
    std::mutex lock;
    std::condition_variable changed;
    std::string toBridge;   // the controller's bytes not yet read by the bridge
    std::string fromBridge; // what the bridge sent to the controller
    bool up = true;
    bool closed = false;

    void Push(const std::string& bytes)
    {
        std::lock_guard<std::mutex> g(lock);
        toBridge += bytes;
        changed.notify_all();
    }
    void Drop()
    {
        std::lock_guard<std::mutex> g(lock);
        up = false;
        changed.notify_all();
    }
    // Waits until the bridge has sent n bytes; returns them all.
    std::string Sent(size_t n, int ms = 5000)
    {
        std::unique_lock<std::mutex> g(lock);
        changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return fromBridge.size() >= n; });
        return fromBridge;
    }
    bool WaitClosed(int ms = 3000)
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return closed; });
    }
};

class FakeStream : public CDatagramStream
{
public:
    explicit FakeStream(std::shared_ptr<StreamState> state) : m_state(std::move(state)) {}
    bool Send(const void* data, int length) override
    {
        std::lock_guard<std::mutex> g(m_state->lock);
        if (!m_state->up) return false;
        m_state->fromBridge.append((const char*)data, (size_t)length);
        m_state->changed.notify_all();
        return true;
    }
    int Receive(void* buffer, int size) override
    {
        std::lock_guard<std::mutex> g(m_state->lock);
        if (!m_state->up) return 0;
        size_t n = std::min((size_t)size, m_state->toBridge.size());
        memcpy(buffer, m_state->toBridge.data(), n);
        m_state->toBridge.erase(0, n);
        return (int)n;
    }
    bool WaitReadable(uint32_t ms) override
    {
        std::unique_lock<std::mutex> g(m_state->lock);
        m_state->changed.wait_for(g, std::chrono::milliseconds(ms),
                                  [&] { return !m_state->up || !m_state->toBridge.empty(); });
        return !m_state->up || !m_state->toBridge.empty();
    }
    QVSOCKET GetReadySocket() override { return QV_INVALID_SOCKET; }
    bool IsUp() override
    {
        std::lock_guard<std::mutex> g(m_state->lock);
        return m_state->up;
    }
    void Close() override
    {
        std::lock_guard<std::mutex> g(m_state->lock);
        m_state->up = false;
        m_state->closed = true;
        m_state->changed.notify_all();
    }

private:
    std::shared_ptr<StreamState> m_state;
};

TEST(LoopbackBridge, RelaysOverADatagramStreamBothWays)
{
    auto state = std::make_shared<StreamState>();
    CXConnection conn("servers.txt");
    conn.InstallClient(new FakeStream(state));
    CTCP_LoopBack bridge(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);

    ASSERT_TRUE(SendAll(viewer, "request"));
    EXPECT_EQ(state->Sent(7), "request");

    const std::string bulk = Pattern(1500000, 99);
    for (size_t off = 0; off < bulk.size(); off += 30000) state->Push(bulk.substr(off, 30000));
    EXPECT_TRUE(RecvExact(viewer, bulk.size(), 20000) == bulk);

    // The controller going away closes the viewer.
    state->Drop();
    EXPECT_TRUE(SeesEnd(viewer));
    CloseSocket(viewer);
}

TEST(LoopbackBridge, ViewerLeavingClosesADatagramStream)
{
    auto state = std::make_shared<StreamState>();
    CXConnection conn("servers.txt");
    conn.InstallClient(new FakeStream(state));
    CTCP_LoopBack bridge(&conn);
    QVSOCKET viewer = Connect(LoopbackAddress(), bridge.GetPort());
    ASSERT_NE(viewer, QV_INVALID_SOCKET);
    ASSERT_TRUE(SendAll(viewer, "x"));
    EXPECT_EQ(state->Sent(1), "x");
    CloseSocket(viewer);
    EXPECT_TRUE(state->WaitClosed());
}

} // namespace
