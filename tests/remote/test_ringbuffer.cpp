// The slot ring on its own: which parameter blocks it takes, the resend clock,
// acknowledgements, sequence wrap, and in-order storing with its window. The
// datagrams it sends are captured as they would go on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "remote/ringbuffer.h"
#include "rudp_test_support.h"

namespace
{

using rudptest::Bytes;

struct CaptureOut : public CDatagramOut {
    std::vector<Bytes> sent;
    bool fail = false;
    bool SendDatagram(const uint8_t* data, int length) override
    {
        sent.push_back(Bytes(data, data + length));
        return !fail;
    }
};

const TransferParams kProposed = STUN_PARAMS_PROPOSED; // 1390, 24, 8, 128, 127, 512
const TransferParams kInitial = STUN_PARAMS_INITIAL;   // 509, 24, 8, 24, 4, 384

Bytes Payload(size_t n, uint8_t first = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(first + i);
    return b;
}

void ExpectSound(const CRingBuffer& ring, bool sendSide)
{
    const char* why = sendSide ? ring.CheckSendRing() : ring.CheckReceiveRing();
    EXPECT_EQ(why, nullptr) << why;
}

// ---------------------------------------------------------------------------
// Parameter blocks

struct BlockCase {
    const char* name;
    TransferParams block;
    bool usable;
};

TEST(RudpRing, ParameterBlocksOutsideTheBoundsAreRefusedWhole)
{
    const BlockCase cases[] = {
        {"in force at creation", kInitial, true},
        {"proposed by the launcher", kProposed, true},
        {"no slots", {1390, 24, 8, 128, 127, 0}, false},
        {"too few slots for the window", {1390, 24, 8, 16, 8, 31}, false},
        {"fewest slots", {1390, 24, 8, 30, 8, 32}, true},
        {"most slots", {1390, 24, 8, 128, 127, 2048}, true},
        {"huge ring", {1390, 24, 8, 128, 127, 0x7FFFFFFF}, false},
        {"huge block", {0xFFFFFFFF, 24, 8, 128, 127, 512}, false},
        {"no payload", {0, 24, 8, 128, 127, 512}, false},
        {"payload leaves nothing beside a piggy-backed ack", {2, 24, 8, 128, 127, 512}, false},
        {"largest payload a 2048-byte receive can tell from a cut one", {2044, 24, 8, 128, 127, 512}, true},
        {"payload fills the receive buffer", {2045, 24, 8, 128, 127, 512}, false},
        {"unacked low mark above high", {1390, 8, 24, 128, 127, 512}, false},
        {"queued low mark above high", {1390, 24, 8, 127, 128, 512}, false},
        {"queued high mark at the last usable slot", {1390, 24, 8, 510, 4, 512}, true},
        {"queued high mark lets the writer fill the ring", {1390, 24, 8, 511, 4, 512}, false},
        {"stop and wait", {1390, 0, 0, 0, 0, 512}, true},
    };
    for (const BlockCase& c : cases) {
        const char* why = nullptr;
        EXPECT_EQ(IsUsableTransferParams(c.block, &why), c.usable) << c.name;
        EXPECT_EQ(why == nullptr, c.usable) << c.name;
        if (c.usable) {
            CRingBuffer ring(c.block);
            EXPECT_TRUE(ring.IsValid()) << c.name;
        }
    }
}

TEST(RudpRing, SequenceModulusIsAWholeNumberOfRings)
{
    EXPECT_EQ(CRingBuffer(kInitial).Modulus(), 32640);
    EXPECT_EQ(CRingBuffer(kProposed).Modulus(), 32256);
    EXPECT_EQ(CRingBuffer(TransferParams{1390, 24, 8, 128, 127, 2048}).Modulus(), 30720);
}

// A harness may supply the packet areas: each ring takes one area of its whole
// size and gives that same area back, and a refused block takes none.
struct AreaLog {
    std::vector<std::pair<void*, size_t>> taken, given;
};
AreaLog g_Areas;

TEST(RudpRing, PacketAreasComeFromTheSourceAndGoBackWithTheirSize)
{
    static const RingAreaSource source = {[](size_t bytes) {
                                              void* area = calloc(bytes, 1);
                                              g_Areas.taken.push_back({area, bytes});
                                              return area;
                                          },
                                          [](void* area, size_t bytes) {
                                              g_Areas.given.push_back({area, bytes});
                                              free(area);
                                          }};
    g_Areas = AreaLog();
    SetRingAreaSource(&source);
    {
        CRingBuffer ring(kInitial);
        EXPECT_TRUE(ring.IsValid());
        CRingBuffer refused(TransferParams{1390, 24, 8, 128, 127, RING_MAX_SLOTS + 1});
        EXPECT_FALSE(refused.IsValid());
    }
    SetRingAreaSource(nullptr);
    CRingBuffer fromHeap(kInitial);
    EXPECT_TRUE(fromHeap.IsValid());

    ASSERT_EQ(g_Areas.taken.size(), 1u);
    EXPECT_EQ(g_Areas.taken[0].second, (size_t)(509 + 4) * 384);
    EXPECT_EQ(g_Areas.given, g_Areas.taken);
}

// ---------------------------------------------------------------------------
// Sending and resending

TEST(RudpRing, PacketsTakeWholeSlotsAndConsecutiveSequenceNumbers)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    Bytes data = Payload(3000);
    int done = 0;
    while (done < 3000) {
        int n = ring.WritePacket(data.data() + done, 3000 - done, STUN_NO_ACK, 1000, out);
        ASSERT_GT(n, 0);
        done += n;
    }
    ASSERT_EQ(out.sent.size(), 3u);
    const size_t sizes[] = {1390, 1390, 220};
    size_t offset = 0;
    for (int i = 0; i < 3; i++) {
        const Bytes& d = out.sent[i];
        EXPECT_EQ(d[0], STUN_TX_PACKET);
        EXPECT_EQ(rudptest::SeqOf(d), i);
        ASSERT_EQ(d.size(), 3 + sizes[i]);
        EXPECT_TRUE(std::equal(d.begin() + 3, d.end(), data.begin() + (long)offset));
        offset += sizes[i];
    }
    EXPECT_EQ(ring.Queued(), 3u);
    EXPECT_EQ(ring.Unacked(), 3u);
    EXPECT_EQ(ring.PendingBytes(), 3000u);
    ExpectSound(ring, true);
}

TEST(RudpRing, PiggyBackedAckGoesOutOnceAndTheResendCarriesOnlyTheData)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    Bytes data = Payload(3000);
    ASSERT_EQ(ring.WritePacket(data.data(), 3000, 0x1234, 1000, out), 1388);
    ASSERT_EQ(out.sent.size(), 1u);
    const Bytes first = out.sent[0];
    EXPECT_EQ(first[0], STUN_TX_PACKET_ACK);
    ASSERT_EQ(first.size(), 3u + 1388 + 2);
    EXPECT_EQ(GetLE16(&first[first.size() - 2]), 0x1234);

    ASSERT_TRUE(ring.RetransmitDue(1000 + 1501, out));
    ASSERT_EQ(out.sent.size(), 2u);
    const Bytes& again = out.sent[1];
    EXPECT_EQ(again[0], STUN_TX_PACKET);
    EXPECT_EQ(again.size(), 3u + 1388);
    EXPECT_TRUE(std::equal(again.begin() + 3, again.end(), first.begin() + 3));
    ExpectSound(ring, true);
}

TEST(RudpRing, ResendTimeOutGrowsByHalfASecondUpToFiveAndGivesUpAfterElevenTransmissions)
{
    CRingBuffer ring(kProposed); // all 16 samples at 1000 ms: base 1500
    CaptureOut out;
    uint8_t byte = 7;
    uint32_t t = 50000;
    ASSERT_EQ(ring.WritePacket(&byte, 1, STUN_NO_ACK, t, out), 1);
    // Time-out after the nth transmission: n x 500 + 1000, held within 500..5000.
    const uint32_t expected[] = {1500, 2000, 2500, 3000, 3500, 4000, 4500, 5000, 5000, 5000};
    for (uint32_t timeout : expected) {
        ASSERT_TRUE(ring.RetransmitDue(t + timeout, out));
        size_t before = out.sent.size();
        ASSERT_TRUE(ring.RetransmitDue(t + timeout + 1, out)) << timeout;
        ASSERT_EQ(out.sent.size(), before + 1) << "not resent after " << timeout;
        t += timeout + 1;
    }
    EXPECT_EQ(out.sent.size(), 11u);
    EXPECT_TRUE(ring.RetransmitDue(t + 5000, out));
    EXPECT_FALSE(ring.RetransmitDue(t + 5001, out)) << "a 12th transmission";
    EXPECT_EQ(out.sent.size(), 11u);
}

TEST(RudpRing, ResendClockWrapsWithTheTickCounter)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    uint8_t byte = 1;
    const uint32_t t = 0xFFFFFFFFu - 700;
    ring.WritePacket(&byte, 1, STUN_NO_ACK, t, out);
    EXPECT_TRUE(ring.RetransmitDue(t + 1500, out));
    EXPECT_EQ(out.sent.size(), 1u);
    EXPECT_TRUE(ring.RetransmitDue(t + 1501, out)); // 800 after the wrap
    EXPECT_EQ(out.sent.size(), 2u);
}

TEST(RudpRing, AcknowledgementsCountOnlyForTheSequenceTheirSlotHolds)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    Bytes data = Payload(10);
    for (int i = 0; i < 3; i++)
        ring.WritePacket(data.data(), 10, STUN_NO_ACK, 1000, out);
    const uint16_t stray[] = {512, 1024 + 1, 3, 40000, 0xFFFF}; // same slots, other laps; not sent; absurd
    ASSERT_TRUE(ring.ProcessAcks(stray, 5, 1010, out));
    EXPECT_EQ(ring.Unacked(), 3u);
    EXPECT_EQ(ring.Head(), 0u);
    EXPECT_EQ(ring.AverageRtt(), 1000u) << "no sample from a stray acknowledgement";

    const uint16_t second[] = {1, 1};
    ASSERT_TRUE(ring.ProcessAcks(second, 2, 1010, out));
    EXPECT_EQ(ring.Unacked(), 2u);
    EXPECT_EQ(ring.Head(), 0u) << "head waits for packet 0";
    const uint16_t first[] = {0};
    ASSERT_TRUE(ring.ProcessAcks(first, 1, 1020, out));
    EXPECT_EQ(ring.Head(), 2u) << "head moves over every acknowledged slot";
    EXPECT_EQ(ring.Queued(), 1u);
    ExpectSound(ring, true);
}

TEST(RudpRing, RoundTripSamplesReplaceTheOldestAndCapAtFiveSeconds)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    uint8_t byte = 0;
    ring.WritePacket(&byte, 1, STUN_NO_ACK, 1000, out);
    const uint16_t s0[] = {0};
    ring.ProcessAcks(s0, 1, 1200, out);
    EXPECT_EQ(ring.AverageRtt(), (15 * 1000 + 200) / 16u);
    ring.WritePacket(&byte, 1, STUN_NO_ACK, 2000, out);
    const uint16_t s1[] = {1};
    ring.ProcessAcks(s1, 1, 2000 + 90000, out);
    EXPECT_EQ(ring.AverageRtt(), (14 * 1000 + 200 + 5000) / 16u);
}

TEST(RudpRing, AnAckForALaterPacketGivesEarlierOnesAnEarlyDeadline)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    uint8_t byte = 0;
    for (uint32_t i = 0; i < 5; i++)
        ring.WritePacket(&byte, 1, STUN_NO_ACK, 1000 + 10 * i, out); // sent at 1000, 1010, ... 1040
    out.sent.clear();
    const uint16_t s3[] = {3};
    ring.ProcessAcks(s3, 1, 1100, out);
    EXPECT_EQ(ring.Slot(0).dwEarlyDeadline, 1200u);
    EXPECT_EQ(ring.Slot(2).dwEarlyDeadline, 1200u);
    EXPECT_EQ(ring.Slot(4).dwEarlyDeadline, 1210u) << "sent 10 ms after the acknowledged one";

    ASSERT_TRUE(ring.RetransmitDue(1200, out));
    EXPECT_TRUE(out.sent.empty()) << "not past the deadline yet";
    ASSERT_TRUE(ring.RetransmitDue(1201, out));
    // Only the first four slots from head are looked at; slot 3 is acknowledged.
    ASSERT_EQ(out.sent.size(), 3u);
    EXPECT_EQ(rudptest::SeqOf(out.sent[0]), 0);
    EXPECT_EQ(rudptest::SeqOf(out.sent[2]), 2);
    EXPECT_EQ(ring.Slot(0).state, SLOT_RESENT);
    EXPECT_EQ(ring.Slot(4).state, SLOT_SENT);
    ExpectSound(ring, true);
}

TEST(RudpRing, AResentPacketAcknowledgedLastResendsEarlierOnesWithFewerTransmissions)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    uint8_t byte = 0;
    // Packet 1 went out long before packet 0 (the ring takes the time it is given),
    // so it alone times out and is resent.
    ring.WritePacket(&byte, 1, STUN_NO_ACK, 2000, out);
    ring.WritePacket(&byte, 1, STUN_NO_ACK, 1000, out);
    ASSERT_TRUE(ring.RetransmitDue(2501, out));
    ASSERT_EQ(out.sent.size(), 3u);
    EXPECT_EQ(rudptest::SeqOf(out.sent[2]), 1);
    EXPECT_EQ(ring.Slot(1).state, SLOT_RESENT);
    EXPECT_EQ(ring.Slot(1).wSeqMark, 2);
    out.sent.clear();
    // Its resending comes back: packet 0, sent fewer times, is sent again at once.
    const uint16_t s1[] = {1};
    ASSERT_TRUE(ring.ProcessAcks(s1, 1, 2600, out));
    ASSERT_EQ(out.sent.size(), 1u);
    EXPECT_EQ(rudptest::SeqOf(out.sent[0]), 0);
    EXPECT_EQ(ring.Slot(0).state, SLOT_FAST_RESENT);
    EXPECT_EQ(ring.Slot(0).nTransmissions, 2);
    EXPECT_EQ(ring.Slot(1).state, SLOT_ACKED);
    EXPECT_EQ(ring.AverageRtt(), (15 * 1000 + 99) / 16u);
    ExpectSound(ring, true);
}

TEST(RudpRing, WindowShutsAboveTheHighMarksAndReopensAtTheLowOnes)
{
    CRingBuffer ring(kProposed);
    CaptureOut out;
    uint8_t byte = 0;
    int written = 0;
    while (ring.WritePacket(&byte, 1, STUN_NO_ACK, 1000, out) == 1)
        written++;
    EXPECT_EQ(written, 25) << "shuts above 24 unacknowledged";
    EXPECT_TRUE(ring.IsFull());
    std::vector<uint16_t> acks;
    for (uint16_t s = 1; s <= 16; s++)
        acks.push_back(s); // packet 0 stays unacknowledged: head cannot move
    for (size_t i = 0; i < acks.size(); i += 8)
        ring.ProcessAcks(&acks[i], 8, 1001, out);
    EXPECT_EQ(ring.Unacked(), 9u);
    EXPECT_TRUE(ring.IsAboveLowWater());
    const uint16_t s17[] = {17};
    ring.ProcessAcks(s17, 1, 1001, out);
    EXPECT_FALSE(ring.IsAboveLowWater()) << "8 unacknowledged, 25 queued";
    EXPECT_EQ(ring.Queued(), 25u);
    ExpectSound(ring, true);
}

TEST(RudpRing, SequenceNumbersWrapAtTheModulusOnBothSides)
{
    CRingBuffer tx(kProposed), rx(kProposed);
    CaptureOut out;
    std::string sent, got;
    for (uint32_t i = 0; i < 32256 + 40; i++) {
        uint8_t b = (uint8_t)(i * 7);
        ASSERT_EQ(tx.WritePacket(&b, 1, STUN_NO_ACK, 1000, out), 1);
        const Bytes& d = out.sent.back();
        uint16_t seq = rudptest::SeqOf(d);
        ASSERT_EQ(seq, i % 32256) << i;
        ASSERT_TRUE(tx.ProcessAcks(&seq, 1, 1001, out));
        ASSERT_EQ(rx.Store(seq, &d[3], 1), STORE_KEPT) << i;
        uint8_t r;
        ASSERT_EQ(rx.Read(&r, 1), 1);
        got.push_back((char)r);
        sent.push_back((char)b);
        out.sent.clear();
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(tx.NextSequence(), 40);
    ExpectSound(tx, true);
    ExpectSound(rx, false);
}

// ---------------------------------------------------------------------------
// Receiving

TEST(RudpRing, OutOfOrderPacketsWaitForTheGapThenReadTogether)
{
    CRingBuffer rx(kProposed);
    Bytes a = {'a'}, bc = {'b', 'c'}, d = {'d'};
    EXPECT_EQ(rx.Store(2, d.data(), 1), STORE_KEPT);
    EXPECT_EQ(rx.Store(1, bc.data(), 2), STORE_KEPT);
    EXPECT_FALSE(rx.HasData());
    ExpectSound(rx, false);
    EXPECT_EQ(rx.Store(0, a.data(), 1), STORE_KEPT);
    EXPECT_TRUE(rx.HasData());
    uint8_t buf[16];
    ASSERT_EQ(rx.Read(buf, sizeof(buf)), 4);
    EXPECT_EQ(std::string((char*)buf, 4), "abcd");
    EXPECT_EQ(rx.Head(), 3u);
    ExpectSound(rx, false);
}

TEST(RudpRing, ReadsInPiecesSmallerThanAPacket)
{
    CRingBuffer rx(kProposed);
    Bytes p = Payload(100);
    rx.Store(0, p.data(), 100);
    uint8_t buf[30];
    std::string all;
    int n;
    while ((n = rx.Read(buf, 30)) > 0)
        all.append((char*)buf, (size_t)n);
    EXPECT_EQ(all, std::string(p.begin(), p.end()));
    EXPECT_FALSE(rx.HasData());
    EXPECT_EQ(rx.Read(buf, 30), 0);
}

struct StoreCase {
    const char* name;
    uint16_t seq;
    int length;
    StoreResult expected;
};

TEST(RudpRing, WhatTheReceiveRingKeepsAcknowledgesAgainHoldsOrDrops)
{
    // 384 slots (initial block), a ring's worth of numbers passed and read, then
    // 384..393 stored unread: expected next 394, room for 373 more.
    const uint16_t next = 394;
    const StoreCase cases[] = {
        {"next in order", next, 5, STORE_KEPT},
        {"early within the window", 600, 5, STORE_KEPT},
        {"last place of the window", next + 372, 5, STORE_KEPT},
        {"first place past the window: waits for the reader", next + 373, 5, STORE_HELD},
        {"slot of an unread packet, next lap: waits for the reader", 384 + 3 + 384, 5, STORE_HELD},
        {"past what the emptied ring could take", next + 383, 5, STORE_DROPPED},
        {"far ahead", 20000, 5, STORE_DROPPED},
        {"already stored, not read", 384 + 4, 5, STORE_AGAIN},
        {"a ring's worth behind", next - 384, 5, STORE_AGAIN},
        {"more than a ring behind", next - 385, 5, STORE_DROPPED},
        {"at the modulus", 32640, 5, STORE_DROPPED},
        {"longer than a slot", next + 1, 510, STORE_DROPPED},
        {"empty", next + 1, 0, STORE_DROPPED},
    };
    for (const StoreCase& c : cases) {
        CRingBuffer rx(kInitial, RingHeldCapacity(kInitial));
        Bytes p = Payload(600);
        uint8_t buf[8];
        for (uint16_t s = 0; s < 384; s++) {
            ASSERT_EQ(rx.Store(s, p.data(), 1), STORE_KEPT);
            ASSERT_EQ(rx.Read(buf, 1), 1);
        }
        for (uint16_t s = 384; s < next; s++)
            ASSERT_EQ(rx.Store(s, p.data(), 5), STORE_KEPT);
        EXPECT_EQ(rx.Store(c.seq, p.data(), c.length), c.expected) << c.name;
        const char* why = rx.CheckReceiveRing();
        EXPECT_EQ(why, nullptr) << c.name << ": " << why;
        EXPECT_EQ(rx.PendingBytes(), c.expected == STORE_KEPT && c.seq == next ? 55u : 50u) << c.name;
    }
    // A fresh ring has stored nothing before its first number: nothing to acknowledge again.
    CRingBuffer fresh(kInitial);
    uint8_t b = 1;
    EXPECT_EQ(fresh.Store(32639, &b, 1), STORE_DROPPED);
    EXPECT_FALSE(fresh.WasStored(32639));
}

TEST(RudpRing, PacketsThatArriveWhileTheReaderIsBehindWaitAsideUntilItMakesRoom)
{
    CRingBuffer rx(kInitial, RingHeldCapacity(kInitial));
    const uint32_t aside = RingHeldCapacity(kInitial);
    ASSERT_EQ(aside, 24u + 1 + 8) << "the peer's window and some to spare";
    uint8_t b;
    uint16_t s = 0;
    for (; s < 383; s++)
        ASSERT_EQ(rx.Store(s, &(b = (uint8_t)s), 1), STORE_KEPT);
    // Arriving out of order, and one of them twice.
    for (uint16_t i = aside; i-- > 0;)
        ASSERT_EQ(rx.Store((uint16_t)(s + i), &(b = (uint8_t)(s + i)), 1), STORE_HELD);
    EXPECT_EQ(rx.Store(s, &(b = (uint8_t)s), 1), STORE_HELD);
    EXPECT_EQ(rx.Store((uint16_t)(s + aside), &b, 1), STORE_DROPPED) << "no room aside";
    EXPECT_EQ(rx.Held(), aside);
    EXPECT_FALSE(rx.HasGap()) << "the held packets follow the readable ones";
    EXPECT_FALSE(rx.WasStored(s)) << "held, not stored: not to be acknowledged";
    ExpectSound(rx, false);
    uint8_t buf[512];
    uint16_t taken[64];
    ASSERT_EQ(rx.Read(buf, 10), 10);
    ASSERT_EQ(rx.TakeHeld(taken, 64), 10);
    std::sort(taken, taken + 10);
    for (uint16_t i = 0; i < 10; i++)
        EXPECT_EQ(taken[i], s + i);
    EXPECT_TRUE(rx.WasStored(s));
    ExpectSound(rx, false);
    std::string all((char*)buf, 10);
    int n;
    while ((n = rx.Read(buf, sizeof(buf))) > 0) {
        all.append((char*)buf, (size_t)n);
        rx.TakeHeld(taken, 64);
    }
    ASSERT_EQ(all.size(), 383u + aside);
    for (size_t i = 0; i < all.size(); i++)
        ASSERT_EQ((uint8_t)all[i], (uint8_t)i) << i;
    EXPECT_EQ(rx.Held(), 0u);

    // One missing before those that wait: a gap.
    CRingBuffer gap(kInitial, aside);
    for (s = 0; s < 383; s++)
        gap.Store(s, &b, 1);
    EXPECT_EQ(gap.Store((uint16_t)(s + 1), &b, 1), STORE_HELD);
    EXPECT_TRUE(gap.HasGap());
}

TEST(RudpRing, AFullReceiveRingKeepsOneSlotEmptyAndTakesMoreOnceRead)
{
    CRingBuffer rx(kInitial);
    uint8_t b = 1;
    uint16_t s = 0;
    while (rx.Store(s, &b, 1) == STORE_KEPT)
        s++;
    EXPECT_EQ(s, 383) << "a full ring leaves the slot before head empty";
    EXPECT_EQ(rx.FreeSlots(), 1u);
    ExpectSound(rx, false);
    uint8_t buf[10];
    ASSERT_EQ(rx.Read(buf, 10), 10);
    EXPECT_EQ(rx.Store(s, &b, 1), STORE_KEPT);
    ExpectSound(rx, false);
}

} // namespace
