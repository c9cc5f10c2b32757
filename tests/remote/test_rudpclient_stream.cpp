// The reliable stream end to end: a launcher-side client against the
// controller-side peer, through the impairment proxy where the path matters.
// Every byte is checked against its position in the stream.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rudp_test_support.h"
#include "sim/impair/impair.h"
#include "sim/rudppeer/rudppeer.h"
#include "tests/support/rudppattern.h"

namespace
{

using namespace rudptest;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const bool kInstrumented = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
const bool kInstrumented = true;
#else
const bool kInstrumented = false;
#endif
#else
const bool kInstrumented = false;
#endif

#ifdef _WIN32
const bool kWindows = true;
#else
const bool kWindows = false;
#endif

// A volume given in RERUDI_RUDP_TEST_MB replaces the default of every transfer
// below (to run the lossy one with 100 MB, for instance).
uint64_t Volume(uint64_t defaultBytes)
{
    if (const char* env = getenv("RERUDI_RUDP_TEST_MB")) {
        long mb = strtol(env, nullptr, 10);
        if (mb > 0) return (uint64_t)mb << 20;
    }
    return defaultBytes;
}

// Starts the peer, the proxy in front of it (the same path both ways) and a
// client that reaches the peer through it; null when any of them failed.
std::unique_ptr<CRUDPClient> ConnectThrough(CRudpPeer& peer, CUdpImpairProxy& proxy,
                                            const ImpairSettings& path, uint32_t seed)
{
    const TransferParams block = STUN_PARAMS_PROPOSED;
    if (!peer.Start() || !proxy.Start(peer.GetAddress(), path, path, seed)) return nullptr;
    return std::unique_ptr<CRUDPClient>(RudpConnect(proxy.GetAddress(), &block, 10000));
}

// The launcher's reading side: checks every byte against the pattern.
struct PatternReader {
    std::atomic<uint64_t> received{0};
    std::atomic<bool> ok{true};
    uint64_t firstBad = 0;
    std::thread thread;

    void Start(CRUDPClient* stream, uint64_t expected, uint32_t ms)
    {
        thread = std::thread([this, stream, expected, ms] {
            std::vector<uint8_t> buf(65536);
            const uint32_t start = GetTick();
            while (received < expected && TickSince(start) < ms) {
                if (!stream->WaitReadable(100)) continue;
                int n = stream->Receive(buf.data(), (int)buf.size());
                if (n <= 0) {
                    if (!stream->IsUp()) break;
                    continue;
                }
                size_t bad = PatternMismatch(received, buf.data(), (size_t)n);
                if (bad < (size_t)n && ok) {
                    ok = false;
                    firstBad = received + bad;
                }
                received += (uint64_t)n;
            }
        });
    }
    void Join()
    {
        if (thread.joinable()) thread.join();
    }
};

struct Path {
    double loss, duplicate, reorder;
};

// Pattern bytes both ways at once between a client and the peer through the
// proxy; checks that each side got every byte in order, and that the path
// really did what it was asked to.
void RunDuplex(const Path& p, uint64_t total)
{
    RudpServeOptions options;
    options.sendBytes = total;
    CRudpPeer peer(options);
    ImpairSettings path;
    path.loss = p.loss;
    path.duplicate = p.duplicate;
    path.reorder = p.reorder;
    path.reorderHoldMs = 3;
    CUdpImpairProxy proxy;
    std::unique_ptr<CRUDPClient> client = ConnectThrough(peer, proxy, path, 20240611);
    ASSERT_TRUE(client);

    PatternReader reader;
    reader.Start(client.get(), total, 600000);
    const uint32_t start = GetTick();
    EXPECT_TRUE(SendPattern(client.get(), total, 100000));
    reader.Join();
    const uint32_t spent = TickSince(start);
    EXPECT_EQ(reader.received.load(), total);
    EXPECT_TRUE(reader.ok) << "first wrong byte from the peer at " << reader.firstBad;
    // A clean path for the BYE, so that the peer's end is seen at once.
    proxy.SetSettings(ImpairSettings(), ImpairSettings());
    client->Close();
    ASSERT_TRUE(peer.WaitServed(1, 10000));
    RudpServeResult served = peer.LastResult();
    EXPECT_EQ(served.received, total);
    EXPECT_TRUE(served.patternOk) << "first wrong byte at the peer at " << served.firstBad;
    EXPECT_TRUE(served.sendOk);
    ImpairCounts up = proxy.CountsToUpstream(), down = proxy.CountsToClient();
    for (const ImpairCounts* c : {&up, &down}) {
        EXPECT_GT(c->dropped, (uint64_t)(c->received * p.loss / 2));
        EXPECT_GT(c->duplicated, (uint64_t)(c->received * p.duplicate / 2));
        EXPECT_GT(c->reordered, (uint64_t)(c->received * p.reorder / 2));
    }
    printf("[ info     ] %.1f MB each way in %u ms; to peer %llu datagrams (%llu lost, %llu doubled, %llu "
           "late), "
           "to client %llu (%llu lost)\n",
           total / 1048576.0, spent, (unsigned long long)up.received, (unsigned long long)up.dropped,
           (unsigned long long)up.duplicated, (unsigned long long)up.reordered,
           (unsigned long long)down.received, (unsigned long long)down.dropped);
}

// Sequence numbers wrap every 32256 packets (about 44 MB). The plain native build
// sends a hundred megabytes, which wraps them twice in each direction while
// datagrams pass each other and repeat; the sanitizer builds send 48 MB (one wrap)
// and Windows 16 MB (none), where every instruction or every datagram costs many
// times more. The wrap itself is crossed on every platform by
// RudpRing.SequenceNumbersWrapAtTheModulusOnBothSides.
TEST(RudpStream, MegabytesEachWayArriveByteIdenticalThroughAReorderingPath)
{
    RunDuplex(Path{0.001, 0.01, 0.05}, Volume(kInstrumented ? (48ull << 20)
                                              : kWindows    ? (16ull << 20)
                                                            : (100ull << 20)));
}

// One datagram in ten lost each way, acknowledgements too: recovery often
// waits for a resend time-out, so the volume is small by default.
TEST(RudpStream, BothDirectionsAtOnceArriveByteIdenticalAtTenPercentLoss)
{
    RunDuplex(Path{0.10, 0.01, 0.05}, Volume(512ull << 10));
}

TEST(RudpStream, AReaderThatFallsBehindPausesThePeerInsteadOfLosingData)
{
    // More than the receive ring holds (511 slots of 1390 bytes).
    const uint64_t total = 3ull << 20;
    RudpServeOptions options;
    options.sendBytes = total;
    CRudpPeer peer(options);
    ASSERT_TRUE(peer.Start());
    const TransferParams block = STUN_PARAMS_PROPOSED;
    std::unique_ptr<CRUDPClient> client(RudpConnect(peer.GetAddress(), &block, 5000));
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->Send("go", 2)); // the peer speaks once spoken to
    SleepMs(2000);
    EXPECT_TRUE(client->IsUp());
    PatternReader reader;
    reader.Start(client.get(), total, 60000);
    reader.Join();
    EXPECT_EQ(reader.received.load(), total);
    EXPECT_TRUE(reader.ok) << "first wrong byte at " << reader.firstBad;
    EXPECT_TRUE(client->IsUp());
    client->Close();
    ASSERT_TRUE(peer.WaitServed(1, 10000));
    EXPECT_TRUE(peer.LastResult().sendOk);
    EXPECT_EQ(peer.LastResult().sent, total);
}

// A bridge pumps both ways on one thread: while its Send waits for the window
// it reads nothing, so the receive ring fills up. The worker must go on
// handling acknowledgements meanwhile (the window would otherwise never open
// and the send would fail after its 30 s stall time), dropping the data that
// no longer fits for the peer to send again.
struct BridgeCase {
    const char* name;
    RudpPolicy peerPolicy;
    uint64_t bytes; // each way
};

TEST(RudpStream, ABridgeThatSendsAndReadsOnOneThreadNeverStallsAtFullWindowOnALossyPath)
{
    const BridgeCase cases[] = {
        // Two ends of ours: several megabytes in a few seconds.
        {"against a peer that recovers as we do", RUDP_POLICY_OWN,
         Volume(kInstrumented || kWindows ? (4ull << 20) : (16ull << 20))},
        // The controller's recovery waits half a second per loss: less data.
        {"against a peer that recovers as the controller does", RUDP_POLICY_CONTROLLER, 2ull << 20},
    };
    for (const BridgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        RudpServeOptions options;
        options.sendBytes = c.bytes;
        options.policy = c.peerPolicy;
        CRudpPeer peer(options);
        ImpairSettings path;
        path.loss = 0.01;
        CUdpImpairProxy proxy;
        std::unique_ptr<CRUDPClient> client = ConnectThrough(peer, proxy, path, 99);
        ASSERT_TRUE(client);

        std::vector<uint8_t> out(16384), in(2048);
        uint64_t sent = 0, received = 0;
        bool sendOk = true, intact = true;
        const uint32_t start = GetTick();
        while ((sent < c.bytes || received < c.bytes) && client->IsUp() && TickSince(start) < 300000) {
            if (sent < c.bytes) {
                // Reads a little for each send, so that the ring fills while sends wait.
                size_t n = (size_t)(c.bytes - sent < out.size() ? c.bytes - sent : out.size());
                PatternFill(sent, out.data(), n);
                if (!client->Send(out.data(), (int)n)) {
                    sendOk = false;
                    break;
                }
                sent += n;
            }
            if (!client->WaitReadable(sent < c.bytes ? 0 : 100)) continue;
            int n = client->Receive(in.data(), (int)in.size());
            if (n > 0) {
                if (PatternMismatch(received, in.data(), (size_t)n) < (size_t)n) intact = false;
                received += (uint64_t)n;
            }
        }
        EXPECT_TRUE(sendOk) << "a send failed: the window stayed shut";
        EXPECT_TRUE(client->IsUp()) << "state " << client->GetState();
        EXPECT_EQ(sent, c.bytes);
        EXPECT_EQ(received, c.bytes);
        EXPECT_TRUE(intact);
        proxy.SetSettings(ImpairSettings(), ImpairSettings());
        client->Close();
        ASSERT_TRUE(peer.WaitServed(1, 10000));
        RudpServeResult served = peer.LastResult();
        EXPECT_EQ(served.received, c.bytes);
        EXPECT_TRUE(served.patternOk);
        EXPECT_TRUE(served.sendOk);
        EXPECT_GT(proxy.CountsToClient().dropped, 0u);
        printf("[ info     ] %s: %.1f MB each way in %u ms\n", c.name, c.bytes / 1048576.0, TickSince(start));
    }
}

// The round trip rises tenfold in the middle of a transfer (an upload beside
// it, a radio link that slows down) and later falls back. Each packet would
// time out before its acknowledgement came, and an acknowledgement of a resent
// packet teaches the time-out nothing: the sender has to learn the new round
// trip instead of sending every packet two or three times for as long as it lasts.
TEST(RudpStream, ARoundTripThatRisesTenfoldMidTransferIsLearntWithoutSendingEveryPacketTwice)
{
    CRudpPeer peer{RudpServeOptions()};
    ImpairSettings path;
    path.delayMs = 10;
    path.inOrder = true; // a queue that fills and drains keeps its order
    CUdpImpairProxy proxy;
    std::unique_ptr<CRUDPClient> client = ConnectThrough(peer, proxy, path, 5);
    ASSERT_TRUE(client);
    std::atomic<bool> stop(false);
    std::atomic<uint64_t> sent(0);
    std::thread writer([&] {
        std::vector<uint8_t> chunk(16384);
        while (!stop) {
            PatternFill(sent, chunk.data(), chunk.size());
            if (!client->Send(chunk.data(), (int)chunk.size())) break;
            sent += chunk.size();
        }
    });
    SleepMs(1000);
    CDataSendCount count(true, STUN_PARAMS_PROPOSED);
    proxy.SetObserver(&count);
    path.delayMs = 100;
    proxy.SetSettings(path, path);
    SleepMs(3000);
    proxy.SetObserver(nullptr);
    path.delayMs = 10;
    proxy.SetSettings(path, path);
    SleepMs(1000);
    stop = true;
    writer.join();
    EXPECT_TRUE(client->IsUp()) << "state " << client->GetState();
    client->Close();
    ASSERT_TRUE(peer.WaitServed(1, 10000));
    EXPECT_EQ(peer.LastResult().received, sent.load());
    EXPECT_TRUE(peer.LastResult().patternOk);
    // Some 24 packets a round trip for 3 s; before the time-out learnt, each went twice or more.
    EXPECT_GT(count.Packets(), 100u);
    EXPECT_LT(count.Sendings(), count.Packets() * 3 / 2)
        << count.Sendings() << " sendings of " << count.Packets() << " packets";
    printf("[ info     ] after the rise: %llu sendings of %llu packets\n",
           (unsigned long long)count.Sendings(), (unsigned long long)count.Packets());
}

TEST(RudpStream, ThePeerEchoesThroughALossyPathAndSeesTheClientLeave)
{
    RudpServeOptions options;
    options.echo = true;
    CRudpPeer peer(options);
    ImpairSettings path;
    path.loss = 0.02;
    path.delayMs = 2;
    path.jitterMs = 3;
    CUdpImpairProxy proxy;
    std::unique_ptr<CRUDPClient> client = ConnectThrough(peer, proxy, path, 7);
    ASSERT_TRUE(client);
    const uint64_t total = 256 << 10;
    PatternReader reader;
    reader.Start(client.get(), total, 120000);
    EXPECT_TRUE(SendPattern(client.get(), total, 100000));
    reader.Join();
    EXPECT_EQ(reader.received.load(), total);
    EXPECT_TRUE(reader.ok) << "first wrong byte at " << reader.firstBad;
    proxy.SetSettings(ImpairSettings(), ImpairSettings()); // the BYE on a clean path
    client->Close();
    ASSERT_TRUE(peer.WaitServed(1, 10000)) << "the peer did not see the BYE";
    EXPECT_EQ(peer.LastResult().endState, CLIENT_CLOSED);
    EXPECT_EQ(peer.LastResult().sent, total);
}

} // namespace
