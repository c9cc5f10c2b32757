// Our own sender recovery on the send ring: which packets an acknowledgement
// list shows lost and resends at once, the resend time-out that follows the
// round trip, and the window that reopens as soon as a slot is free. The
// datagrams the ring sends are captured as they would go on the wire.
#include <gtest/gtest.h>

#include <vector>

#include "remote/ringbuffer.h"
#include "rudp_test_support.h"

namespace
{

using rudptest::Bytes;
using rudptest::SeqOf;

struct CaptureOut : public CDatagramOut {
    std::vector<Bytes> sent;
    bool SendDatagram(const uint8_t* data, int length) override
    {
        sent.push_back(Bytes(data, data + length));
        return true;
    }
    std::vector<uint16_t> Sequences(size_t from = 0) const
    {
        std::vector<uint16_t> seqs;
        for (size_t i = from; i < sent.size(); i++)
            seqs.push_back(SeqOf(sent[i]));
        return seqs;
    }
};

const TransferParams kProposed = STUN_PARAMS_PROPOSED;
const uint32_t kStart = 50000;

// A send ring with our policy and n one-byte packets sent 1 ms apart from kStart.
struct OwnRing {
    CRingBuffer ring{kProposed};
    CaptureOut out;
    explicit OwnRing(int n)
    {
        ring.SetPolicy(RUDP_POLICY_OWN);
        uint8_t byte = 1;
        for (int i = 0; i < n; i++)
            ring.WritePacket(&byte, 1, STUN_NO_ACK, kStart + (uint32_t)i, out);
    }
    void Ack(std::vector<uint16_t> seqs, uint32_t now)
    {
        ASSERT_TRUE(ring.ProcessAcks(seqs.data(), (int)seqs.size(), now, out));
        const char* why = ring.CheckSendRing();
        EXPECT_EQ(why, nullptr) << why;
    }
    size_t Sent() const { return out.sent.size(); }
    // Forty packets, a second apart, each acknowledged rtt ms after its sending,
    // after the first packet's: the variation decays. Returns the last sending.
    uint32_t SteadyRoundTrips(uint32_t rtt)
    {
        uint32_t t = kStart;
        uint8_t byte = 3;
        Ack({0}, kStart + rtt);
        for (int i = 0; i < 40; i++) {
            t += 1000;
            ring.WritePacket(&byte, 1, STUN_NO_ACK, t, out);
            Ack({(uint16_t)(ring.NextSequence() - 1)}, t + rtt);
        }
        return t;
    }
};

struct HoleCase {
    const char* name;
    std::vector<uint16_t> acks; // in one list, 20 ms after the first sending
    std::vector<uint16_t> resent;
};

TEST(RudpRecovery, AnAcknowledgementListResendsTheHolesItShowsAtOnce)
{
    const HoleCase cases[] = {
        {"three later packets show the hole", {1, 2, 3}, {0}},
        {"one acknowledgement with three packets after the hole", {3}, {0}},
        {"holes anywhere in the window, not only the first four", {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11}, {7}},
        {"two holes at once", {1, 3, 4, 5}, {0, 2}},
        {"nothing sent before the acknowledged ones is missing", {0, 1, 2}, {}},
        {"an acknowledgement for a packet never sent shows nothing", {30}, {}},
    };
    for (const HoleCase& c : cases) {
        SCOPED_TRACE(c.name);
        OwnRing r(12);
        const size_t before = r.Sent();
        r.Ack(c.acks, kStart + 20);
        EXPECT_EQ(r.out.Sequences(before), c.resent);
        for (size_t i = before; i < r.Sent(); i++)
            EXPECT_EQ(r.out.sent[i][0], STUN_TX_PACKET);
    }
}

TEST(RudpRecovery, AHoleWithFewerLaterPacketsIsResentOnceItIsOutLongerThanARoundTrip)
{
    OwnRing r(1);
    uint8_t byte = 1;
    r.ring.WritePacket(&byte, 1, STUN_NO_ACK, kStart + 30, r.out);
    r.Ack({1}, kStart + 40); // a round trip of 10 ms; packet 0 has been out 40
    EXPECT_EQ(r.out.Sequences(2), std::vector<uint16_t>{0});
}

TEST(RudpRecovery, ReorderingWithinTheAllowanceResendsNothing)
{
    OwnRing r(12);
    r.Ack({0}, kStart + 20); // a first sample: round trip 20 ms
    const size_t before = r.Sent();
    // 2 passed 1 on the path; 2's acknowledgement comes 1 ms after 1 was sent.
    r.Ack({2}, kStart + 3);
    EXPECT_EQ(r.Sent(), before) << "one later packet is within the allowance";
    r.Ack({1}, kStart + 4);
    EXPECT_EQ(r.Sent(), before);
}

TEST(RudpRecovery, AResentPacketLostAgainIsResentOnceALaterSendingIsAcknowledged)
{
    OwnRing r(12);
    r.Ack({1, 2, 3}, kStart + 20); // 0 resent at once
    ASSERT_EQ(r.out.Sequences(12), std::vector<uint16_t>{0});
    // More acknowledgements of packets sent before that resending say nothing
    // about it...
    r.Ack({4, 5, 6, 7, 8, 9, 10, 11}, kStart + 21);
    EXPECT_EQ(r.Sent(), 13u);
    // ...but ones sent after it do: that resending was lost too.
    uint8_t byte = 2;
    for (int i = 0; i < 4; i++)
        r.ring.WritePacket(&byte, 1, STUN_NO_ACK, kStart + 22, r.out);
    r.Ack({12, 13, 14}, kStart + 45);
    EXPECT_EQ(r.out.Sequences(17), std::vector<uint16_t>{0});
    EXPECT_EQ(r.ring.Slot(0).nTransmissions, 3);
}

TEST(RudpRecovery, RoundTripSamplesComeOnlyFromPacketsSentOnce)
{
    OwnRing r(4);
    EXPECT_EQ(r.ring.Rto(), RING_RTT_INITIAL) << "no sample yet";
    r.Ack({1, 2, 3}, kStart + 40); // 0 resent now, at kStart + 40
    const uint32_t srtt = r.ring.SmoothedRtt();
    // The acknowledgement of the resent packet could answer either sending: Karn's rule.
    r.Ack({0}, kStart + 41);
    EXPECT_EQ(r.ring.SmoothedRtt(), srtt);
}

TEST(RudpRecovery, ResendTimeOutFollowsTheRoundTripDoublesAndGivesUpAfterElevenTransmissions)
{
    OwnRing r(1);
    // Steady 200 ms round trips: the time-out nears the round trip and the hold.
    const uint32_t t = r.SteadyRoundTrips(200);
    uint8_t byte = 3;
    EXPECT_EQ(r.ring.SmoothedRtt(), 200u);
    EXPECT_GE(r.ring.Rto(), 200u + RING_PEER_ACK_HOLD);
    EXPECT_LT(r.ring.Rto(), 260u + RING_PEER_ACK_HOLD);

    // A packet that stays unanswered: its time-out counts from its last sending
    // and doubles with each one.
    uint32_t last = t + 1000, timeout = r.ring.Rto();
    r.ring.WritePacket(&byte, 1, STUN_NO_ACK, last, r.out);
    const uint32_t index = r.ring.Tail() == 0 ? kProposed.Slots - 1 : r.ring.Tail() - 1;
    for (int transmission = 1; transmission < RING_MAX_TRANSMISSIONS; transmission++) {
        const size_t before = r.Sent();
        ASSERT_TRUE(r.ring.RetransmitDue(last + timeout, r.out));
        ASSERT_EQ(r.Sent(), before) << "resent before its time-out " << timeout;
        ASSERT_TRUE(r.ring.RetransmitDue(last + timeout + 1, r.out));
        ASSERT_EQ(r.Sent(), before + 1) << "not resent after " << timeout;
        last += timeout + 1;
        timeout = timeout * 2 > RING_MAX_RTO ? RING_MAX_RTO : timeout * 2;
    }
    EXPECT_EQ(r.ring.Slot(index).nTransmissions, RING_MAX_TRANSMISSIONS);
    EXPECT_FALSE(r.ring.RetransmitDue(last + RING_MAX_RTO + 1, r.out)) << "a 12th transmission";
}

TEST(RudpRecovery, APacketWhoseAcknowledgementThePeerHoldsIsNotResent)
{
    // Most lists leave at once (eight numbers), so the variation settles near
    // nothing; then one acknowledgement waits out the peer's 25 ms idle flush.
    OwnRing r(1);
    const uint32_t t = r.SteadyRoundTrips(100) + 1000;
    uint8_t byte = 4;
    r.ring.WritePacket(&byte, 1, STUN_NO_ACK, t, r.out);
    const size_t before = r.Sent();
    ASSERT_TRUE(r.ring.RetransmitDue(t + 100 + 25 + 10, r.out));
    EXPECT_EQ(r.Sent(), before) << "resent while the peer held its acknowledgement";
}

TEST(RudpRecovery, ResendTimeOutHasAFloorWellBelowHalfASecond)
{
    OwnRing r(1);
    r.Ack({0}, kStart); // a round trip of 0 ms on the loopback
    EXPECT_EQ(r.ring.Rto(), RING_MIN_RTO);
    EXPECT_LT(RING_MIN_RTO, 500u);
}

// Without any acknowledgement to act on: a hole shown by the last one and no
// other is resent a round trip and a quarter after it; a tail with nothing
// after it is probed through its newest packet, whose acknowledgement then
// shows the rest.
TEST(RudpRecovery, TheLossTimerResendsAHoleAfterTheLastAcknowledgementAndProbesALostTail)
{
    uint8_t byte = 5;
    {
        OwnRing r(1);
        const uint32_t t = r.SteadyRoundTrips(20) + 1000; // time-out 100 ms (its floor)
        r.ring.WritePacket(&byte, 1, STUN_NO_ACK, t, r.out);
        r.ring.WritePacket(&byte, 1, STUN_NO_ACK, t + 1, r.out);
        const uint16_t hole = (uint16_t)(r.ring.NextSequence() - 2);
        const size_t before = r.Sent();
        r.Ack({(uint16_t)(hole + 1)}, t + 21); // one later packet: within the reordering allowance
        const uint32_t patience = 20 + 20 / 4 + 2;
        ASSERT_TRUE(r.ring.RetransmitDue(t + 21 + patience - 1, r.out));
        EXPECT_EQ(r.Sent(), before);
        ASSERT_TRUE(r.ring.RetransmitDue(t + 21 + patience, r.out));
        EXPECT_EQ(r.out.Sequences(before), std::vector<uint16_t>{hole});
    }
    {
        OwnRing r(1);
        const uint32_t t = r.SteadyRoundTrips(20) + 1000;
        for (uint32_t i = 0; i < 3; i++)
            r.ring.WritePacket(&byte, 1, STUN_NO_ACK, t + i, r.out);
        const uint16_t first = (uint16_t)(r.ring.NextSequence() - 3);
        const size_t before = r.Sent();
        const uint32_t probe = 20 + 20 / 4 + 2 + RING_PEER_ACK_HOLD; // after the newest sending
        ASSERT_TRUE(r.ring.RetransmitDue(t + 2 + probe - 1, r.out));
        EXPECT_EQ(r.Sent(), before);
        ASSERT_TRUE(r.ring.RetransmitDue(t + 2 + probe, r.out));
        EXPECT_EQ(r.out.Sequences(before), std::vector<uint16_t>{(uint16_t)(first + 2)}) << "the newest only";
        r.Ack({(uint16_t)(first + 2)}, t + 2 + probe + 20);
        EXPECT_EQ(r.out.Sequences(before + 1), (std::vector<uint16_t>{first, (uint16_t)(first + 1)}));
    }
}

// A round trip that rises past the time-out: each packet would time out
// before its acknowledgement came, and an acknowledgement of a resent packet
// gives no sample, so the time-out could never learn the new round trip. A
// time-out is kept doubled for every packet until a packet sent once is
// acknowledged.
TEST(RudpRecovery, AfterATimeOutNewPacketsWaitTwiceAsLongUntilARoundTripIsMeasuredAgain)
{
    OwnRing r(1);
    const uint32_t t = r.SteadyRoundTrips(200) + 1000;
    const uint32_t rto = r.ring.Rto();
    uint8_t byte = 6;
    r.ring.WritePacket(&byte, 1, STUN_NO_ACK, t, r.out);
    ASSERT_TRUE(r.ring.RetransmitDue(t + rto + 1, r.out)); // timed out
    EXPECT_EQ(r.ring.BackedOffRto(), 2 * rto);
    const uint32_t later = t + rto + 10;
    r.ring.WritePacket(&byte, 1, STUN_NO_ACK, later, r.out);
    const size_t before = r.Sent();
    ASSERT_TRUE(r.ring.RetransmitDue(later + rto + 1, r.out));
    EXPECT_EQ(r.Sent(), before) << "a new packet given the time-out that proved too short";
    // The resent packet's acknowledgement could answer either sending: no sample, still doubled.
    r.Ack({(uint16_t)(r.ring.NextSequence() - 2)}, later + rto + 2);
    EXPECT_EQ(r.ring.BackedOffRto(), 2 * rto);
    // A packet sent once and acknowledged: measured again.
    r.Ack({(uint16_t)(r.ring.NextSequence() - 1)}, later + rto + 3);
    EXPECT_EQ(r.ring.BackedOffRto(), r.ring.Rto());
}

TEST(RudpRecovery, TheWindowReopensAsSoonAsASlotIsFree)
{
    OwnRing r(25); // HighUnacked 24: shut above it
    ASSERT_TRUE(r.ring.IsFull());
    EXPECT_FALSE(r.ring.MayReopen());
    r.Ack({24}, kStart + 30);
    EXPECT_TRUE(r.ring.MayReopen()) << "24 unacknowledged";

    CRingBuffer theirs(kProposed); // the controller's policy waits for the low-water marks
    uint8_t byte = 1;
    for (int i = 0; i < 25; i++)
        theirs.WritePacket(&byte, 1, STUN_NO_ACK, kStart, r.out);
    uint16_t last = 24;
    theirs.ProcessAcks(&last, 1, kStart + 30, r.out);
    EXPECT_FALSE(theirs.MayReopen());
}

} // namespace
