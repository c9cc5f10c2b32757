// How the controller simulator's answers go out, with the faults a test asked for:
// silence, stray messages first, a wrong code, an oversized header, an answer cut
// in the middle or dribbled one byte at a time.
#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "sim_connection.h"

namespace
{

const uint16_t kUnsolicitedId = 0x7FFF;

} // namespace

bool CSimController::SendRaw(Connection& conn, const std::vector<uint8_t>& bytes, bool dribble)
{
    if (bytes.empty()) return true;
    if (!dribble) return SendAll(conn, bytes.data(), bytes.size());
    for (size_t i = 0; i < bytes.size(); i++) {
        if (!SendAll(conn, &bytes[i], 1)) return false;
        // Pauses make the receiver see the bytes in many separate reads; long
        // messages pause less often so that a dribbled download stays quick.
        if (i < 256 || i % 256 == 0) SleepMs(1);
    }
    return true;
}

bool CSimController::Answer(Connection& conn, uint16_t id, uint16_t code, const std::vector<uint8_t>& body,
                            const SimFaults& f, uint16_t requestCode)
{
    const unsigned n = (unsigned)conn.index;
    if (!FaultApplies(f, requestCode)) return SendRaw(conn, Encode(id, code, body), false);
    if (f.silent) {
        Log(StrPrintf("conn %u: no answer to %u (silent)", n, requestCode));
        return true;
    }
    std::vector<uint8_t> word(4);
    if (f.extraForOtherId) {
        PutLE32(&word[0], 1);
        if (!SendRaw(conn, Encode(f.otherId, SIM_MSG_STRAY, word), f.dribble)) return false;
    }
    if (f.unsolicitedFirst) {
        PutLE32(&word[0], 2);
        if (!SendRaw(conn, Encode(kUnsolicitedId, SIM_MSG_STRAY, word), f.dribble)) return false;
    }
    if (f.oversizedHeader) {
        std::vector<uint8_t> h(8);
        PutLE16(&h[0], id);
        PutLE16(&h[2], code);
        PutLE32(&h[4], kMaxBody + 1);
        Log(StrPrintf("conn %u: oversized header instead of %u", n, code));
        return SendRaw(conn, h, f.dribble);
    }
    uint16_t sent = f.wrongReplyCode ? f.wrongCode : code;
    std::vector<uint8_t> bytes = Encode(id, sent, body);
    if (f.closeMidMessage) {
        bytes.resize(bytes.size() > 1 ? bytes.size() / 2 : 1);
        SendRaw(conn, bytes, f.dribble);
        Log(StrPrintf("conn %u: closing in the middle of %u", n, sent));
        return false;
    }
    return SendRaw(conn, bytes, f.dribble);
}
