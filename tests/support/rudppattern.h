// Writes the position pattern of the reliable-stream peer (sim/rudppeer) into a
// stream, for the tests and the benchmarks that check every byte at the far end;
// and counts what one end sends through the impairment proxy.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "remote/relaypacket.h"
#include "remote/rudpclient.h"
#include "sim/impair/impair.h"
#include "sim/rudppeer/rudppeer.h"
#include "util/qvtypes.h"

// The first total bytes of the pattern, handed to Send in pieces of chunk bytes;
// false as soon as the stream refuses one.
inline bool SendPattern(CRUDPClient* stream, uint64_t total, size_t chunk)
{
    std::vector<uint8_t> piece(chunk);
    for (uint64_t done = 0; done < total;) {
        size_t n = (size_t)(total - done < piece.size() ? total - done : piece.size());
        PatternFill(done, piece.data(), n);
        if (!stream->Send(piece.data(), (int)n)) return false;
        done += n;
    }
    return true;
}

// The data packets one direction of the proxy carries: every sending, and the
// packets sent for the first time (a number beyond the highest seen so far), so
// that sendings per packet show what was sent again.
class CDataSendCount : public CImpairObserver
{
  public:
    CDataSendCount(bool toUpstream, const TransferParams& block)
        : m_bToUpstream(toUpstream), m_nModulus(StunSequenceModulus(block.Slots))
    {
    }
    void OnDatagram(bool toUpstream, const uint8_t* data, int length) override
    {
        if (toUpstream != m_bToUpstream || length < STUN_DATA_HEADER + 1) return;
        if (data[0] != STUN_TX_PACKET && data[0] != STUN_TX_PACKET_ACK) return;
        const uint32_t seq = GetLE16(data + 1);
        const uint32_t ahead = (seq + m_nModulus - m_nHighest) % m_nModulus;
        if (m_nSendings == 0 || (ahead > 0 && ahead < m_nModulus / 2)) {
            m_nHighest = seq;
            m_nPackets++;
        }
        m_nSendings++;
    }
    uint64_t Sendings() const { return m_nSendings; }
    uint64_t Packets() const { return m_nPackets; }

  private:
    const bool m_bToUpstream;
    const uint32_t m_nModulus;
    uint32_t m_nHighest = 0; // the proxy's thread's
    std::atomic<uint64_t> m_nSendings{0};
    std::atomic<uint64_t> m_nPackets{0};
};
