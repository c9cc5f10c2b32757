// The reliable stream seen from the wire: a raw UDP socket plays the peer and
// looks at every datagram the client sends; datagrams from the peer are sent
// for real or handed to the client's datagram handling directly (without its
// worker) where the order of events must be exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rudp_test_support.h"
#include "util/socketwait.h"

namespace
{

using namespace rudptest;

const TransferParams kProposed = STUN_PARAMS_PROPOSED;

// A client on a fresh socket talking to the raw peer; the peer learns where to
// answer. Not started unless the test starts it.
template <class Client = CRUDPClient> struct Pair {
    RawPeer peer;
    QVSockAddr clientAddress;
    std::unique_ptr<Client> client;
    template <class... Args> explicit Pair(Args... args)
    {
        QVSOCKET s = ClientSocket(&clientAddress);
        client.reset(new Client(s, peer.Address(), args...));
    }
    bool ToClient(const Bytes& d) { return peer.SendTo(clientAddress, d); }
};

// The peer proposes the launcher's block and the client takes it (and answers).
template <class P> void AdoptProposed(P& p)
{
    Feed(*p.client, Params(kProposed));
    Bytes answer;
    ASSERT_TRUE(p.peer.Recv(&answer));
    ASSERT_EQ(answer, Single(STUN_PARAMS_ACK));
    ASSERT_EQ(p.client->GetParams().Slots, 512u);
}

std::vector<Bytes> OfType(const std::vector<Bytes>& all, uint8_t type)
{
    std::vector<Bytes> out;
    for (const Bytes& d : all)
        if (!d.empty() && d[0] == type) out.push_back(d);
    return out;
}

// ---------------------------------------------------------------------------
// Parameter agreement

TEST(RudpWire, NegotiateSendsTheBlockAndAdoptsItWhenAnswered)
{
    Pair<> p;
    std::thread answer([&] {
        Bytes d;
        if (p.peer.RecvType(STUN_PARAMS, &d, 3000)) p.ToClient(Single(STUN_PARAMS_ACK));
        const Bytes golden = {22,  0x6E, 0x05, 0, 0,   24, 0, 0, 0, 8, 0, 0, 0,
                              128, 0,    0,    0, 127, 0,  0, 0, 0, 2, 0, 0};
        EXPECT_EQ(d, golden);
    });
    EXPECT_TRUE(p.client->Negotiate(kProposed));
    answer.join();
    TransferParams got = p.client->GetParams();
    EXPECT_TRUE(SameTransferParams(got, kProposed));
    EXPECT_EQ(p.client->CheckInvariants(), nullptr);
}

TEST(RudpWire, NegotiateEndsAfterFiveProposalsEvenWhileThePeerKeepsSendingOtherDatagrams)
{
    Pair<> p;
    std::atomic<bool> stop(false);
    std::atomic<int> proposals(0);
    std::thread noisy([&] {
        // Hellos every few milliseconds: each one makes the socket readable.
        while (!stop) {
            p.ToClient(Single(STUN_HELLO));
            Bytes d;
            while (p.peer.Recv(&d, 0))
                if (!d.empty() && d[0] == STUN_PARAMS) proposals++;
            SleepMs(3);
        }
    });
    const uint32_t start = GetTick();
    EXPECT_FALSE(p.client->Negotiate(kProposed));
    const uint32_t spent = TickSince(start);
    stop = true;
    noisy.join();
    EXPECT_GE(spent, 5 * RUDP_NEGOTIATE_WAIT_MS - 50);
    EXPECT_LT(spent, 5 * RUDP_NEGOTIATE_WAIT_MS + 1000);
    EXPECT_EQ(proposals.load(), 5);
    EXPECT_TRUE(SameTransferParams(p.client->GetParams(), kProposed)) << "adopted although unanswered";
}

TEST(RudpWire, AnUnusableBlockIsNeitherProposedNorAdopted)
{
    Pair<> p;
    EXPECT_FALSE(p.client->Negotiate(TransferParams{1390, 24, 8, 128, 127, 0}));
    Bytes d;
    EXPECT_FALSE(p.peer.Recv(&d, 100));
    EXPECT_TRUE(SameTransferParams(p.client->GetParams(), STUN_PARAMS_INITIAL));
}

struct ProposalCase {
    const char* name;
    TransferParams block;
};

TEST(RudpWire, APeerProposalOutsideTheBoundsEndsTheStreamWithBye)
{
    const ProposalCase cases[] = {
        {"no slots (would divide by zero)", {1390, 24, 8, 128, 127, 0}},
        {"huge slots", {1390, 24, 8, 128, 127, 4000000}},
        {"huge payload", {0x7FFFFFFF, 24, 8, 128, 127, 512}},
        {"payload beyond a datagram we read", {3000, 24, 8, 128, 127, 512}},
        {"too few slots", {1390, 24, 8, 16, 8, 16}},
    };
    for (const ProposalCase& c : cases) {
        // The peer has taken its block whatever we answer: the two ends would
        // no longer agree on any packet.
        Pair<> p;
        ASSERT_TRUE(p.client->Send("mid-stream", 10));
        p.peer.Drain(50);
        Feed(*p.client, Params(c.block));
        EXPECT_EQ(p.peer.Drain(100), std::vector<Bytes>{Single(STUN_BYE)}) << c.name;
        EXPECT_TRUE(SameTransferParams(p.client->GetParams(), STUN_PARAMS_INITIAL)) << c.name;
        EXPECT_EQ(p.client->GetState(), CLIENT_RECEIVE_FAILED) << c.name;
        EXPECT_EQ(p.client->CheckInvariants(), nullptr) << c.name;
    }
    // Too short for its block: not a proposal at all.
    Pair<> p;
    Bytes shortBlock = Params(kProposed);
    shortBlock.resize(24);
    Feed(*p.client, shortBlock);
    Bytes d;
    EXPECT_FALSE(p.peer.Recv(&d, 50));
}

struct ClampCase {
    const char* name;
    TransferParams proposed;
    TransferParams inForce;
};

TEST(RudpWire, APeerProposalWithMarksOurRingsCannotUseIsTakenWithTheMarksClamped)
{
    const ClampCase cases[] = {
        {"unacked marks contradict", {1390, 2, 8, 128, 127, 512}, {1390, 2, 2, 128, 127, 512}},
        {"queued marks contradict", {1390, 24, 8, 100, 127, 512}, {1390, 24, 8, 100, 100, 512}},
        {"window larger than the ring", {1390, 24, 8, 600, 127, 512}, {1390, 24, 8, 510, 127, 512}},
        {"both queued marks beyond the ring", {1390, 24, 8, 900, 800, 384}, {1390, 24, 8, 382, 382, 384}},
    };
    for (const ClampCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pair<> p;
        Feed(*p.client, Params(c.proposed));
        Bytes d;
        ASSERT_TRUE(p.peer.Recv(&d, 500));
        EXPECT_EQ(d, Single(STUN_PARAMS_ACK));
        EXPECT_TRUE(SameTransferParams(p.client->GetParams(), c.inForce));
        EXPECT_EQ(p.client->CheckInvariants(), nullptr);
        // The same proposal again (our answer was lost) is answered again.
        Feed(*p.client, Params(c.proposed));
        ASSERT_TRUE(p.peer.RecvType(STUN_PARAMS_ACK, &d, 500));
        EXPECT_TRUE(p.client->IsUp());
    }
}

// A proposal, the block in force or another, restarts both ends' numbers from
// 0: taken with nothing in flight, the stream ended (BYE) rather than carrying
// on with numbers that mean other packets.
struct ReproposalCase {
    const char* name;
    bool sameBlock;
    std::vector<Bytes> before; // from the peer, after the client has read what it had
    bool ourDataInFlight;
    bool taken;
};

TEST(RudpWire, AProposalMidStreamRestartsFromZeroWhenIdleAndEndsTheStreamOtherwise)
{
    const TransferParams other = {1000, 24, 8, 128, 127, 512};
    const ReproposalCase cases[] = {
        {"the same block, everything read and acknowledged", true, {DataPacket(0, {'x'})}, false, true},
        {"another block, everything read and acknowledged", false, {DataPacket(0, {'x'})}, false, true},
        {"the same block with our data unacknowledged", true, {}, true, false},
        {"another block with our data unacknowledged", false, {}, true, false},
        {"the same block with a packet waiting for the gap before it",
         true,
         {DataPacket(1, {'z'})},
         false,
         false},
    };
    for (const ReproposalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pair<ManualClockClient> p;
        AdoptProposed(p);
        for (const Bytes& d : c.before)
            Feed(*p.client, d);
        ReadAll(*p.client);
        if (c.ourDataInFlight) {
            ASSERT_TRUE(p.client->Send("abc", 3));
        }
        p.client->ServiceTimers(true); // our acknowledgements go out
        p.peer.Drain(50);
        Feed(*p.client, Params(c.sameBlock ? kProposed : other));
        p.client->ServiceTimers(true);
        std::vector<Bytes> answers = p.peer.Drain(50);
        if (!c.taken) {
            EXPECT_EQ(answers, std::vector<Bytes>{Single(STUN_BYE)});
            EXPECT_EQ(p.client->GetState(), CLIENT_RECEIVE_FAILED);
            continue;
        }
        // Answered, and nothing of the old numbers said again: the repeated
        // list would acknowledge new packets that may be lost.
        EXPECT_EQ(answers, std::vector<Bytes>{Single(STUN_PARAMS_ACK)});
        EXPECT_TRUE(SameTransferParams(p.client->GetParams(), c.sameBlock ? kProposed : other));
        // The peer starts again from 0: its first packet is new data, not old.
        Feed(*p.client, DataPacket(0, {'n', 'e', 'w'}));
        EXPECT_EQ(ReadAll(*p.client), "new");
        EXPECT_EQ(p.client->CheckInvariants(), nullptr);
    }
}

// ---------------------------------------------------------------------------
// Sending

TEST(RudpWire, ThreeThousandBytesGoOutAs1390And1390And220)
{
    Pair<> p;
    AdoptProposed(p);
    std::string data(3000, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 13);
    ASSERT_TRUE(p.client->Send(data.data(), 3000));
    const size_t sizes[] = {1390, 1390, 220};
    size_t offset = 0;
    for (int i = 0; i < 3; i++) {
        Bytes d;
        ASSERT_TRUE(p.peer.Recv(&d));
        EXPECT_EQ(d[0], STUN_TX_PACKET);
        EXPECT_EQ(SeqOf(d), i);
        ASSERT_EQ(d.size(), 3 + sizes[i]);
        EXPECT_EQ(std::string(d.begin() + 3, d.end()), data.substr(offset, sizes[i]));
        offset += sizes[i];
    }
}

TEST(RudpWire, APendingAckRidesOnTheFirstPacketAndItsResendIsPlainData)
{
    Pair<ManualClockClient> p;
    AdoptProposed(p);
    Feed(*p.client, DataPacket(0, {'h', 'i'})); // acknowledgement of 0 now pending
    std::string data(3000, 'z');
    ASSERT_TRUE(p.client->Send(data.data(), 3000));
    Bytes first, second, third;
    ASSERT_TRUE(p.peer.Recv(&first));
    ASSERT_TRUE(p.peer.Recv(&second));
    ASSERT_TRUE(p.peer.Recv(&third));
    EXPECT_EQ(first[0], STUN_TX_PACKET_ACK);
    ASSERT_EQ(first.size(), 3u + 1388 + 2);
    EXPECT_EQ(GetLE16(&first[1391]), 0);
    EXPECT_EQ(second[0], STUN_TX_PACKET);
    EXPECT_EQ(second.size(), 3u + 1390);
    EXPECT_EQ(third.size(), 3u + 222);
    // Nothing acknowledged: with every round-trip sample at 1000 ms, due after 1.5 s.
    p.client->Advance(1501);
    p.client->ServiceTimers(false);
    Bytes again, resent;
    // The carried acknowledgement goes again in a list of its own, since the
    // resending does not carry it.
    ASSERT_TRUE(p.peer.Recv(&again));
    EXPECT_EQ(again, RxAck({0}));
    ASSERT_TRUE(p.peer.Recv(&resent));
    EXPECT_EQ(resent[0], STUN_TX_PACKET);
    EXPECT_EQ(SeqOf(resent), 0);
    ASSERT_EQ(resent.size(), 3u + 1388);
    EXPECT_TRUE(std::equal(resent.begin() + 1, resent.end(), first.begin() + 1));
}

TEST(RudpWire, AnAckForASlotThatHoldsAnotherSequenceIsIgnored)
{
    Pair<ManualClockClient> p;
    AdoptProposed(p);
    ASSERT_TRUE(p.client->Send("a", 1));
    Bytes d;
    ASSERT_TRUE(p.peer.Recv(&d));
    Feed(*p.client, RxAck({512, 1024, 7})); // slot 0's next laps, a number never sent
    p.client->Advance(1501);
    p.client->ServiceTimers(false);
    ASSERT_TRUE(p.peer.Recv(&d, 500)) << "still unacknowledged: resent";
    EXPECT_EQ(SeqOf(d), 0);
    Feed(*p.client, RxAck({0}));
    p.client->Advance(5001);
    p.client->ServiceTimers(false);
    EXPECT_FALSE(p.peer.Recv(&d, 100)) << "acknowledged: never resent";
    EXPECT_EQ(p.client->CheckInvariants(), nullptr);
}

TEST(RudpWire, APeerThatAcknowledgesInstantlyNeverHasItsAcknowledgementsIgnored)
{
    // The acknowledgement of a packet can arrive before its sender has finished
    // with it; the slot must already be part of the ring by then, or the
    // acknowledgement is lost and the packet goes again after its time-out.
    Pair<> p;
    AdoptProposed(p);
    p.client->Start();
    std::atomic<bool> stop(false);
    std::atomic<uint32_t> datagrams(0), resent(0);
    std::thread acker([&] {
        uint8_t buf[2048];
        std::vector<bool> seen(32256, false);
        while (!stop) {
            if (!SocketReadable(p.peer.Socket(), 20)) continue;
            int n = SocketRecvFrom(p.peer.Socket(), buf, sizeof(buf), nullptr);
            if (n >= 4 && (buf[0] == STUN_TX_PACKET || buf[0] == STUN_TX_PACKET_ACK)) {
                uint8_t ack[3] = {STUN_RX_ACK, buf[1], buf[2]};
                SocketSendTo(p.peer.Socket(), ack, 3, p.clientAddress);
                uint16_t seq = GetLE16(buf + 1);
                if (seq < seen.size() && seen[seq]) resent++;
                if (seq < seen.size()) seen[seq] = true;
                datagrams++;
            }
        }
    });
    std::string chunk(1390 * 4, 'q');
    bool ok = true;
    for (int i = 0; i < 1000 && ok; i++) // 4000 packets
        ok = p.client->Send(chunk.data(), (int)chunk.size());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(p.client->IsUp());
    const uint32_t start = GetTick();
    while (datagrams < 4000 && TickSince(start) < 5000)
        SleepMs(10);
    stop = true;
    acker.join();
    EXPECT_GE(datagrams.load(), 4000u);
    // A busy machine may hold the acknowledging thread back past an early
    // deadline now and then; ignored acknowledgements resend nearly every packet.
    EXPECT_LE(resent.load(), 400u);
    p.client->Close();
}

TEST(RudpWire, AVanishedPeerFailsTheStreamAfterElevenTransmissions)
{
    // Resend time-outs of 1.5 to 5 s pass forty times faster here.
    Pair<FastClockClient> p(40u);
    p.client->Start();
    ASSERT_TRUE(p.client->Send("lost", 4));
    const uint32_t start = GetTick();
    while (p.client->IsUp() && TickSince(start) < 10000)
        SleepMs(10);
    EXPECT_EQ(p.client->GetState(), CLIENT_SEND_FAILED);
    EXPECT_TRUE(p.client->WaitReadable(0));
    char buf[8];
    EXPECT_EQ(p.client->Receive(buf, sizeof(buf)), 0);
    EXPECT_FALSE(p.client->Send("more", 4));
    std::vector<Bytes> all = OfType(p.peer.Drain(200), STUN_TX_PACKET);
    EXPECT_EQ(all.size(), (size_t)RING_MAX_TRANSMISSIONS);
    for (const Bytes& d : all)
        EXPECT_EQ(d, DataPacket(0, {'l', 'o', 's', 't'}));
}

// ---------------------------------------------------------------------------
// Receiving

TEST(RudpWire, EightPendingAcksGoOutAtOnceAsSeventeenBytesInArrivalOrder)
{
    Pair<> p;
    p.client->SetPolicy(RUDP_POLICY_CONTROLLER);
    AdoptProposed(p);
    const uint16_t order[] = {1, 0, 3, 2, 5, 4, 7, 6};
    for (int i = 0; i < 7; i++)
        Feed(*p.client, DataPacket(order[i], {(uint8_t)('a' + order[i])}));
    Bytes d;
    EXPECT_FALSE(p.peer.Recv(&d, 50)) << "fewer than 8 wait for the worker's idle pass";
    Feed(*p.client, DataPacket(order[7], {(uint8_t)('a' + order[7])}));
    ASSERT_TRUE(p.peer.Recv(&d));
    EXPECT_EQ(d, RxAck({1, 0, 3, 2, 5, 4, 7, 6}));
    EXPECT_EQ(d.size(), 17u);
    EXPECT_EQ(ReadAll(*p.client), "abcdefgh");
}

TEST(RudpWire, OutOfOrderDataIsHeldUntilTheGapFillsAndEachIsAcknowledgedOnArrival)
{
    Pair<> p;
    AdoptProposed(p);
    Feed(*p.client, DataPacket(2, {'c'}));
    Feed(*p.client, DataPacket(1, {'b'}));
    EXPECT_FALSE(p.client->WaitReadable(0));
    char buf[8];
    EXPECT_EQ(p.client->Receive(buf, sizeof(buf)), 0);
    Feed(*p.client, DataPacket(0, {'a'}));
    EXPECT_TRUE(p.client->WaitReadable(0));
    EXPECT_EQ(ReadAll(*p.client), "abc");
    p.client->ServiceTimers(true); // the worker's idle pass flushes what is pending
    Bytes d;
    ASSERT_TRUE(p.peer.Recv(&d));
    EXPECT_EQ(d, RxAck({2, 1, 0}));
}

// Our acknowledgements for the controller's sender, which resends early only
// when an acknowledgement arrives and never asks again for a lost one: each
// list goes out again just before the next one (or on the timer), so the newest
// list is always last, and a packet that fills a hole or comes again is
// answered at once.
struct AckCase {
    const char* name;
    std::vector<uint16_t> arrivals;
    std::vector<std::vector<uint16_t>> lists; // as they go out, without any idle pass
};

TEST(RudpWire, OurAcknowledgementsGoOutTwiceAndAHolesFillerAtOnceAndLast)
{
    const AckCase cases[] = {
        {"in order: eight to a list",
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
         {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, {8, 9, 10, 11, 12, 13, 14, 15}}},
        {"a filled hole goes out at once, last", {1, 2, 0}, {{1, 2, 0}}},
        {"holes filled one after another", {1, 0, 3, 2}, {{1, 0}, {1, 0}, {3, 2}}},
        {"a packet that came again (our answer was lost)", {0, 0}, {{0, 0}}},
    };
    for (const AckCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pair<> p;
        AdoptProposed(p);
        for (uint16_t seq : c.arrivals)
            Feed(*p.client, DataPacket(seq, {(uint8_t)seq}));
        std::vector<std::vector<uint16_t>> lists;
        for (const Bytes& d : OfType(p.peer.Drain(50), STUN_RX_ACK)) {
            std::vector<uint16_t> list;
            for (size_t i = 1; i + 1 < d.size(); i += 2)
                list.push_back(GetLE16(&d[i]));
            lists.push_back(list);
        }
        EXPECT_EQ(lists, c.lists);
        // The last list goes out again on the timer.
        p.client->ServiceTimers(true);
        std::vector<Bytes> again = OfType(p.peer.Drain(50), STUN_RX_ACK);
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again[0], RxAck(c.lists.back()));
    }
}

struct DataCase {
    const char* name;
    Bytes datagram;
    bool acknowledged;
};

TEST(RudpWire, DataTheClientCannotKeepIsDroppedUnacknowledged)
{
    // Initial block: 509-byte payloads, 384 slots; packets 0 and 1 arrived and are unread.
    const DataCase cases[] = {
        {"longer than a slot", DataPacket(2, Bytes(510, 'x')), false},
        {"type 129 longer than a slot", DataPacket(2, Bytes(508, 'x'), 0), false},
        {"whose slot holds unread data", DataPacket(384, {'x'}), false},
        {"far outside the window", DataPacket(9000, {'x'}), false},
        {"at the modulus", DataPacket(32640, {'x'}), false},
        {"without payload", Bytes{STUN_TX_PACKET, 2, 0}, false},
        {"type 129 without payload", Bytes{STUN_TX_PACKET_ACK, 2, 0, 0, 0}, false},
        {"already here", DataPacket(1, {'b'}), true},
        {"the largest that fits", DataPacket(2, Bytes(509, 'x')), true},
    };
    for (const DataCase& c : cases) {
        Pair<> p;
        p.client->SetPolicy(RUDP_POLICY_CONTROLLER); // each acknowledgement once
        Feed(*p.client, DataPacket(0, {'a'}));
        Feed(*p.client, DataPacket(1, {'b'}));
        p.client->ServiceTimers(true);
        Bytes d;
        ASSERT_TRUE(p.peer.Recv(&d)) << c.name;
        Feed(*p.client, c.datagram);
        p.client->ServiceTimers(true);
        bool acked = p.peer.Recv(&d, 50);
        EXPECT_EQ(acked, c.acknowledged) << c.name;
        std::string expected = "ab";
        if (c.acknowledged && c.datagram.size() > 100) expected += std::string(509, 'x');
        EXPECT_EQ(ReadAll(*p.client), expected) << c.name;
        EXPECT_EQ(p.client->CheckInvariants(), nullptr) << c.name;
        EXPECT_TRUE(p.client->IsUp()) << c.name;
    }
}

TEST(RudpWire, AResentPacketAlreadyReadIsAcknowledgedAgain)
{
    Pair<> p;
    p.client->SetPolicy(RUDP_POLICY_CONTROLLER);
    AdoptProposed(p);
    Feed(*p.client, DataPacket(0, {'a'}));
    EXPECT_EQ(ReadAll(*p.client), "a");
    p.client->ServiceTimers(true);
    Bytes d;
    ASSERT_TRUE(p.peer.Recv(&d));
    // Our acknowledgement was lost; the peer would give up on the packet without another.
    Feed(*p.client, DataPacket(0, {'a'}));
    p.client->ServiceTimers(true);
    ASSERT_TRUE(p.peer.Recv(&d));
    EXPECT_EQ(d, RxAck({0}));
    EXPECT_EQ(ReadAll(*p.client), "") << "not delivered twice";
}

TEST(RudpWire, TruncatedAndOversizedDatagramsOfEveryTypeAreIgnored)
{
    Pair<> p;
    AdoptProposed(p);
    ASSERT_TRUE(p.client->Send("keep", 4));
    Bytes sent;
    ASSERT_TRUE(p.peer.Recv(&sent));
    std::vector<Bytes> junk;
    junk.push_back(Bytes());
    for (int type = 0; type < 256; type++) {
        if (type == STUN_HELLO || type == STUN_BYE) continue; // meaningful by their type byte alone
        for (size_t len : {1, 2, 3, 4, 5, 17, 18, 19, 24, 26, 1392, 1393, 1394, 1395, 2047, 2048}) {
            Bytes d(len, (uint8_t)0xEE);
            d[0] = (uint8_t)type;
            if ((type == STUN_TX_PACKET && len >= 4 && len <= 1393) ||
                (type == STUN_TX_PACKET_ACK && len >= 6 && len <= 1393))
                continue;                                                   // valid data
            if (type == STUN_RX_ACK && len >= 3 && len <= 18) continue;     // valid acknowledgements
            if (type == STUN_PARAMS && len >= STUN_PARAMS_LENGTH) continue; // proposals of a block
            junk.push_back(d);
        }
    }
    for (const Bytes& d : junk)
        Feed(*p.client, d);
    p.client->ServiceTimers(true);
    std::vector<Bytes> answers = p.peer.Drain(100);
    EXPECT_TRUE(answers.empty()) << answers.size() << " answers, first type " << (int)answers[0][0];
    EXPECT_TRUE(p.client->IsUp());
    EXPECT_EQ(ReadAll(*p.client), "");
    EXPECT_EQ(p.client->CheckInvariants(), nullptr);
    // The packet sent before is still waiting for its acknowledgement.
    Feed(*p.client, RxAck({0}));
    EXPECT_EQ(p.client->CheckInvariants(), nullptr);
}

TEST(RudpWire, HellosAreAnsweredOnAnEstablishedStream)
{
    Pair<> p;
    p.client->Start();
    ASSERT_TRUE(p.ToClient(Single(STUN_HELLO)));
    Bytes d;
    ASSERT_TRUE(p.peer.Recv(&d));
    EXPECT_EQ(d, Single(STUN_HELLO_ACK));
}

// ---------------------------------------------------------------------------
// Readiness, the peer's BYE, and Close

TEST(RudpWire, TheReadySocketIsReadableExactlyWhileThereIsSomethingToRead)
{
    Pair<> p;
    p.client->Start();
    QVSOCKET ready = p.client->GetReadySocket();
    ASSERT_NE(ready, QV_INVALID_SOCKET);
    EXPECT_FALSE(SocketReadable(ready, 0));
    ASSERT_TRUE(p.ToClient(DataPacket(0, {'o', 'k'})));
    EXPECT_TRUE(SocketReadable(ready, 2000));
    // A bridge waits on the viewer's socket and this one together.
    RawPeer other;
    const SocketPairReady r = SocketWaitPair(other.Socket(), QV_WAIT_READ, ready, QV_WAIT_READ, 1000);
    EXPECT_EQ(r, (SocketPairReady{0, QV_WAIT_READ}));
    EXPECT_EQ(ReadAll(*p.client), "ok");
    EXPECT_FALSE(SocketReadable(ready, 50)) << "quiet once the last byte is taken";
    ASSERT_TRUE(p.ToClient(Single(STUN_BYE)));
    EXPECT_TRUE(SocketReadable(ready, 2000)) << "readable once the stream is down";
}

TEST(RudpWire, APeersByeEndsTheStreamAndNothingMoreGoesToIt)
{
    Pair<FastClockClient> p(40u);
    p.client->Start();
    ASSERT_TRUE(p.client->Send("unanswered", 10));
    Bytes d;
    ASSERT_TRUE(p.peer.Recv(&d));
    ASSERT_TRUE(p.ToClient(Single(STUN_BYE)));
    const uint32_t start = GetTick();
    while (p.client->IsUp() && TickSince(start) < 2000)
        SleepMs(5);
    EXPECT_FALSE(p.client->IsUp());
    EXPECT_EQ(p.client->GetState(), CLIENT_CLOSED);
    EXPECT_TRUE(p.client->WaitReadable(5000));
    EXPECT_LT(TickSince(start), 2000u);
    char buf[16];
    EXPECT_EQ(p.client->Receive(buf, sizeof(buf)), 0);
    EXPECT_FALSE(p.client->Send("x", 1));
    // Resends would be due every few tens of milliseconds at this clock's pace.
    p.peer.Drain(20);
    EXPECT_TRUE(p.peer.Drain(300).empty()) << "resending to a peer that has closed";
    const uint32_t closing = GetTick();
    p.client->Close();
    EXPECT_LT(TickSince(closing), 1000u);
    EXPECT_TRUE(p.peer.Drain(100).empty()) << "no BYE to a peer that said BYE";
}

// The controller says BYE before it resends what is unacknowledged. The
// client's clock moves only when the test moves it, so the worker sees each
// step exactly where the test puts it.
const int kBye = -1;
const int kLater = -2; // the client's clock moves on by less than the linger

struct ByeCase {
    const char* name;
    RudpPolicy policy;
    std::vector<int> events; // the peer's packets by number (payload 'a' + number), kBye, kLater
    std::string read;
    ClientState end;
};

// Waits for an acknowledgement list that names seq.
bool AcknowledgedBy(RawPeer& peer, uint16_t seq)
{
    Bytes d;
    while (peer.RecvType(STUN_RX_ACK, &d, 2000))
        for (size_t i = 1; i + 1 < d.size(); i += 2)
            if (GetLE16(&d[i]) == seq) return true;
    return false;
}

bool WaitFor(const std::function<bool()>& done)
{
    const uint32_t start = GetTick();
    while (!done() && TickSince(start) < 2000)
        SleepMs(5);
    return done();
}

TEST(RudpWire, AfterThePeersByeWhatIsMissingIsStillTakenInOrTheEndIsAFailure)
{
    const ByeCase cases[] = {
        {"the last packet lost and resent after the BYE",
         RUDP_POLICY_OWN,
         {0, 1, kBye, kLater, 2},
         "abc",
         CLIENT_CLOSED},
        {"the BYE overtakes the last packet", RUDP_POLICY_OWN, {0, 1, kBye, 2}, "abc", CLIENT_CLOSED},
        {"a packet before the last resent late",
         RUDP_POLICY_OWN,
         {0, 2, kBye, kLater, kLater, kLater, 1},
         "abc",
         CLIENT_CLOSED},
        {"a packet before the last never comes", RUDP_POLICY_OWN, {0, 2, kBye}, "a", CLIENT_RECEIVE_FAILED},
        {"nothing missing and nothing more", RUDP_POLICY_OWN, {0, 1, kBye}, "ab", CLIENT_CLOSED},
        {"the controller's policy ends at the BYE",
         RUDP_POLICY_CONTROLLER,
         {0, 1, kBye, 2},
         "ab",
         CLIENT_CLOSED},
    };
    for (const ByeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pair<ManualClockClient> p;
        p.client->SetPolicy(c.policy);
        p.client->Start();
        ASSERT_TRUE(p.client->Send("q", 1)); // ours, never acknowledged
        p.peer.Drain(50);
        for (int e : c.events) {
            if (e == kLater) {
                p.client->Advance(RUDP_BYE_LINGER_MS - 100);
                SleepMs(60); // a few idle passes of the worker
                EXPECT_TRUE(p.client->IsUp()) << "ended while a packet was missing or arriving";
            } else if (e == kBye) {
                ASSERT_TRUE(p.ToClient(Single(STUN_BYE)));
                ASSERT_TRUE(WaitFor([&] { return p.client->PeerHasLeft() || !p.client->IsUp(); }));
            } else {
                ASSERT_TRUE(p.ToClient(DataPacket((uint16_t)e, {(uint8_t)('a' + e)})));
                if (p.client->IsUp()) {
                    EXPECT_TRUE(AcknowledgedBy(p.peer, (uint16_t)e));
                }
            }
        }
        // The controller's own drain time: its resending ends there.
        p.client->Advance(RUDP_CLOSE_DRAIN_MS);
        ASSERT_TRUE(WaitFor([&] { return !p.client->IsUp(); }));
        EXPECT_EQ(ReadAll(*p.client), c.read);
        EXPECT_EQ(p.client->GetState(), c.end);
        EXPECT_TRUE(p.client->WaitReadable(0)) << "the end is visible";
        // Nothing but acknowledgements after the BYE: no resending of ours, no BYE back.
        p.client->Close();
        for (const Bytes& d : p.peer.Drain(100))
            EXPECT_EQ(d[0], STUN_RX_ACK);
    }
}

TEST(RudpWire, CloseWaitsForTheLastDataToBeAcknowledgedThenSaysBye)
{
    Pair<> p;
    p.client->Start();
    ASSERT_TRUE(p.client->Send("last words", 10));
    std::thread acker([&] {
        Bytes d;
        if (p.peer.RecvType(STUN_TX_PACKET, &d)) {
            SleepMs(300);
            p.ToClient(RxAck({SeqOf(d)}));
        }
    });
    const uint32_t start = GetTick();
    p.client->Close();
    const uint32_t spent = TickSince(start);
    acker.join();
    EXPECT_GE(spent, 250u);
    EXPECT_LT(spent, 2000u);
    // Said more than once: nothing confirms a BYE, and a peer that misses it keeps
    // its end open.
    std::vector<Bytes> byes = p.peer.Drain(100);
    EXPECT_EQ(byes, std::vector<Bytes>(RUDP_BYE_COPIES, Single(STUN_BYE)));
    EXPECT_FALSE(p.client->IsUp());
    EXPECT_EQ(p.client->GetState(), CLIENT_CLOSED);
}

TEST(RudpWire, CloseEndsABlockedSendAndABlockedWaitAtOnce)
{
    Pair<> p;
    AdoptProposed(p);
    p.client->Start();
    std::atomic<int> sendResult(-1);
    std::atomic<uint32_t> sendEnded(0), waitEnded(0);
    std::thread sender([&] {
        std::string big(200000, 's'); // far more than the window takes without acknowledgements
        sendResult = p.client->Send(big.data(), (int)big.size()) ? 1 : 0;
        sendEnded = GetTick();
    });
    std::thread reader([&] {
        p.client->WaitReadable(20000);
        waitEnded = GetTick();
    });
    SleepMs(300);
    EXPECT_EQ(sendResult.load(), -1) << "send should be waiting for the window";
    std::thread byer([&] {
        // The peer leaves while Close waits for acknowledgements, which ends that wait too.
        SleepMs(500);
        p.ToClient(Single(STUN_BYE));
    });
    const uint32_t closing = GetTick();
    p.client->Close();
    const uint32_t closeSpent = TickSince(closing);
    sender.join();
    reader.join();
    byer.join();
    EXPECT_EQ(sendResult.load(), 0);
    EXPECT_LT(sendEnded.load() - closing, 300u);
    EXPECT_LT(waitEnded.load() - closing, 300u);
    EXPECT_LT(closeSpent, 2000u);
    EXPECT_LT(closeSpent, DATAGRAM_STREAM_CLOSE_MS);
}

TEST(RudpWire, CloseWithoutAcknowledgementsReturnsWithinTheBound)
{
    Pair<> p;
    p.client->Start();
    ASSERT_TRUE(p.client->Send("never acknowledged", 18));
    const uint32_t start = GetTick();
    p.client->Close();
    const uint32_t spent = TickSince(start);
    EXPECT_GE(spent, RUDP_CLOSE_DRAIN_MS - 100);
    EXPECT_LE(spent, DATAGRAM_STREAM_CLOSE_MS);
    std::vector<Bytes> all = p.peer.Drain(100);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), Single(STUN_BYE));
}

TEST(RudpWire, ReceiveOnAClosedClientWritesNothing)
{
    Pair<> p;
    Feed(*p.client, DataPacket(0, {'a', 'b'}));
    p.client->Close();
    char buf[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(p.client->Receive(buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf, 4), "----");
    EXPECT_TRUE(p.client->WaitReadable(10000));
    p.client->Close(); // again: nothing happens
}

TEST(RudpWire, PacketsThatArriveWhileTheReaderIsBehindWaitAndAreAcknowledgedOnceStored)
{
    // The initial block: 384 slots, of which 383 can hold unread packets.
    Pair<> p;
    p.client->SetPolicy(RUDP_POLICY_CONTROLLER); // each acknowledgement once
    p.client->Start();
    const uint16_t stored = 383, total = stored + 20;
    std::vector<bool> acked(total, false);
    auto collect = [&](uint32_t ms) {
        for (const Bytes& d : OfType(p.peer.Drain(ms), STUN_RX_ACK))
            for (size_t i = 1; i + 1 < d.size(); i += 2)
                if (GetLE16(&d[i]) < total) acked[GetLE16(&d[i])] = true;
    };
    auto count = [&](uint16_t from, uint16_t to) {
        return std::count(acked.begin() + from, acked.begin() + to, true);
    };
    std::string sent;
    for (uint16_t seq = 0; seq < total; seq++) {
        sent += (char)('0' + seq % 64);
        ASSERT_TRUE(p.ToClient(DataPacket(seq, {(uint8_t)sent.back()})));
        // In batches that the worker has taken before the next: a receive buffer
        // holds only so many datagrams.
        if (seq < stored && (seq % 32 == 31 || seq + 1 == stored)) {
            const uint32_t start = GetTick();
            while (count(0, seq + 1) < seq + 1 && TickSince(start) < 2000)
                collect(20);
        }
    }
    collect(300);
    EXPECT_EQ(count(0, stored), stored);
    EXPECT_EQ(count(stored, total), 0) << "acknowledged before it was stored";
    // The reader catches up: the packets that waited are there, none sent twice.
    EXPECT_EQ(ReadAll(*p.client), sent);
    collect(300);
    EXPECT_EQ(count(stored, total), 20);
    EXPECT_EQ(p.client->CheckInvariants(), nullptr);
}

// A worker that sits in a receive on its own socket when it answers a hello:
// only closing the socket ends that call.
struct Blocked {
    std::atomic<bool> inside{false}, woke{false};
};

class BlockingClient : public CRUDPClient
{
  public:
    BlockingClient(QVSOCKET s, const QVSockAddr& peer, Blocked* blocked)
        : CRUDPClient(s, peer), m_hOwn(s), m_pBlocked(blocked)
    {
    }
    ~BlockingClient() override { Close(); }

  protected:
    bool SendOnWire(const uint8_t* data, int length) override
    {
        if (data[0] != STUN_HELLO_ACK || m_pBlocked->inside.exchange(true))
            return CRUDPClient::SendOnWire(data, length);
        uint8_t buf[16];
        SocketRecv(m_hOwn, buf, sizeof(buf));
        m_pBlocked->woke = true;
        return false;
    }

  private:
    const QVSOCKET m_hOwn;
    Blocked* m_pBlocked;
};

TEST(RudpWire, DestroyingAClientWhoseWorkerSitsInABlockingReceiveEndsItWithinTheBound)
{
    Blocked blocked;
    Pair<BlockingClient> p(&blocked);
    p.client->Start();
    ASSERT_TRUE(p.ToClient(Single(STUN_HELLO)));
    ASSERT_TRUE(WaitFor([&] { return blocked.inside.load(); }));
    SleepMs(50);
    EXPECT_FALSE(blocked.woke);
    const uint32_t start = GetTick();
    p.client.reset();
    EXPECT_LT(TickSince(start), DATAGRAM_STREAM_CLOSE_MS);
    EXPECT_TRUE(blocked.woke) << "the worker left its receive";
}

} // namespace

namespace
{

// ---------------------------------------------------------------------------
// Keep-alive

struct KeepAliveCase {
    const char* name;
    RudpPolicy policy;
    uint32_t dataEveryMs; // 0: none
    uint32_t start;       // the client's clock when it begins
    bool stampedAhead;    // each send stamped a millisecond after the clock the next pass reads
    int noOps;            // in 61 s
};

TEST(RudpWire, AnIdleStreamSaysNoOpEveryFifteenSecondsAndNothingWhileDataFlows)
{
    const KeepAliveCase cases[] = {
        {"idle", RUDP_POLICY_OWN, 0, 100000, false, 4},
        {"data every 10 s", RUDP_POLICY_OWN, 10000, 100000, false, 0},
        {"the controller's policy never does", RUDP_POLICY_CONTROLLER, 0, 100000, false, 0},
        {"idle across the tick counter's wrap", RUDP_POLICY_OWN, 0, 0xFFFFFFFFu - 30000, false, 4},
        // The writer's thread stamps its send after the worker's pass has read
        // the clock: recent, not four billion milliseconds old.
        {"a send stamped after the pass's clock", RUDP_POLICY_OWN, 10000, 100000, true, 0},
    };
    for (const KeepAliveCase& c : cases) {
        SCOPED_TRACE(c.name);
        Pair<ManualClockClient> p(c.start);
        p.client->SetPolicy(c.policy);
        int noOps = 0;
        for (uint32_t t = 0; t <= 61000; t += 100) {
            if (c.dataEveryMs && t % c.dataEveryMs == 0) {
                if (c.stampedAhead) p.client->Advance(1);
                ASSERT_TRUE(p.client->Send("x", 1));
                if (c.stampedAhead) p.client->SetNow(p.client->Clock() - 1);
                Feed(*p.client, RxAck({(uint16_t)(t / c.dataEveryMs)}));
            }
            p.client->ServiceTimers(true);
            p.client->Advance(100);
        }
        for (const Bytes& d : p.peer.Drain(200))
            if (d == Single(STUN_NO_OP)) noOps++;
        EXPECT_EQ(noOps, c.noOps);
        EXPECT_TRUE(p.client->IsUp());
    }
}

} // namespace
