// Relay datagrams and discovery-server messages: one builder and one parser per
// format, reading and writing field by field.
#include "relaypacket.h"

#include <cstring>

#include "../util/enumtext.h"
#include "../util/qvtypes.h"

const TransferParams STUN_PARAMS_INITIAL = {509, 24, 8, 24, 4, 384};
const TransferParams STUN_PARAMS_PROPOSED = {1390, 24, 8, 128, 127, 512};

// The types with a log name; a table over wire numbers with gaps, so its tests
// walk every byte value.
static const EnumText<int> kStunTypeNames[] = {
    {STUN_ENROLL, "ENROLL       "},        {STUN_ENROLL_ACK, "ENROLL ACK   "},
    {STUN_FIND, "FIND         "},          {STUN_FIND_ACK, "FIND ACK     "},
    {STUN_FIND_NACK, "FIND NACK    "},     {STUN_SENDTO, "SENDTO       "},
    {STUN_HELLO, "HELLO        "},         {STUN_HELLO_ACK, "HELLO ACK    "},
    {STUN_BYE, "BYE          "},           {STUN_BYE_ACK, "BYE ACK      "},
    {STUN_NO_OP, "NO-OP        "},         {STUN_TX_PACKET, "TX PACKET    "},
    {STUN_TX_PACKET_ACK, "TX PACKET+ACK"}, {STUN_RX_ACK, "RX ACK       "},
};

const char* StunTypeName(int type)
{
    return TextOf(kStunTypeNames, type & 0xFF, "Unknown");
}

int StunType(const uint8_t* data, int length)
{
    if (!data || length < 1) return -1;
    return data[0];
}

static bool HasType(const uint8_t* data, int length, int minLength, uint8_t type)
{
    return data && length >= minLength && data[0] == type;
}

void PutAddressRecord(uint8_t* out, const QVSockAddr& address)
{
    PutLE16(out, address.family);
    memcpy(out + 2, &address.port, 2); // network order stays as it is
    memcpy(out + 4, &address.addr, 4);
    memcpy(out + 8, address.zero, 8);
}

QVSockAddr GetAddressRecord(const uint8_t* in)
{
    QVSockAddr a;
    a.family = GetLE16(in);
    memcpy(&a.port, in + 2, 2);
    memcpy(&a.addr, in + 4, 4);
    memcpy(a.zero, in + 8, 8);
    return a;
}

int BuildStunSingle(uint8_t* out, StunPacketType type)
{
    out[0] = type;
    return 1;
}

bool IsStunPacket(const uint8_t* data, int length, StunPacketType type)
{
    return HasType(data, length, 1, type);
}

int BuildProbe(uint8_t* out, uint32_t clientTag)
{
    out[0] = STUN_PROBE;
    PutLE32(out + 1, clientTag);
    return STUN_PROBE_LENGTH;
}

bool ParseProbe(const uint8_t* data, int length, uint32_t* clientTag)
{
    if (!HasType(data, length, STUN_PROBE_LENGTH, STUN_PROBE)) return false;
    *clientTag = GetLE32(data + 1);
    return true;
}

int BuildProbeAck(uint8_t* out, const StunProbeAck& ack)
{
    out[0] = STUN_PROBE_ACK;
    PutAddressRecord(out + 1, ack.mapped);
    PutLE32(out + 17, ack.dwChecksum);
    return STUN_PROBE_ACK_LENGTH;
}

bool ParseProbeAck(const uint8_t* data, int length, StunProbeAck* ack)
{
    if (!HasType(data, length, STUN_PROBE_ACK_LENGTH, STUN_PROBE_ACK)) return false;
    ack->mapped = GetAddressRecord(data + 1);
    ack->dwChecksum = GetLE32(data + 17);
    return true;
}

int BuildListCountRequest(uint8_t* out, uint32_t clientTag)
{
    out[0] = STUN_LIST;
    out[1] = 0;
    PutLE32(out + 2, clientTag);
    return STUN_LIST_COUNT_LENGTH;
}

int BuildListEntryRequest(uint8_t* out, uint8_t entry, uint32_t clientTag)
{
    out[0] = STUN_LIST;
    out[1] = entry;
    PutLE16(out + 2, (uint16_t)clientTag);
    return STUN_LIST_ENTRY_LENGTH;
}

bool ParseListRequest(const uint8_t* data, int length, uint8_t* entry, uint32_t* clientTag)
{
    if (!HasType(data, length, STUN_LIST_ENTRY_LENGTH, STUN_LIST)) return false;
    if (data[1] == 0) {
        if (length < STUN_LIST_COUNT_LENGTH) return false;
        *clientTag = GetLE32(data + 2);
    } else {
        *clientTag = GetLE16(data + 2);
    }
    *entry = data[1];
    return true;
}

int BuildListCountAck(uint8_t* out, uint32_t count)
{
    out[0] = STUN_LIST_ACK;
    memset(out + 1, 0, 4);
    PutLE32(out + 5, count);
    return STUN_LIST_COUNT_ACK_LENGTH;
}

bool ParseListCountAck(const uint8_t* data, int length, uint32_t* count)
{
    if (!HasType(data, length, STUN_LIST_COUNT_ACK_LENGTH, STUN_LIST_ACK)) return false;
    *count = GetLE32(data + 5);
    return true;
}

static void PutTextField(uint8_t* wire, size_t wireSize, const char* text, size_t textField)
{
    memset(wire, 0, wireSize);
    size_t n = 0;
    while (n < wireSize && n < textField && text[n])
        n++;
    memcpy(wire, text, n);
}

int BuildListEntryAck(uint8_t* out, const StunListEntry& entry)
{
    out[0] = STUN_LIST_ACK;
    PutTextField(out + 1, STUN_NAME_FIELD, entry.szName, sizeof(entry.szName));
    PutTextField(out + 1 + STUN_NAME_FIELD, STUN_HOST_FIELD, entry.szHost, sizeof(entry.szHost));
    PutLE16(out + 1 + STUN_NAME_FIELD + STUN_HOST_FIELD, entry.wPort);
    return STUN_LIST_ENTRY_ACK_LENGTH;
}

bool ParseListEntryAck(const uint8_t* data, int length, StunListEntry* entry)
{
    if (!HasType(data, length, STUN_LIST_ENTRY_ACK_LENGTH, STUN_LIST_ACK)) return false;
    TakeTextField(entry->szName, sizeof(entry->szName), data + 1, STUN_NAME_FIELD);
    TakeTextField(entry->szHost, sizeof(entry->szHost), data + 1 + STUN_NAME_FIELD, STUN_HOST_FIELD);
    entry->wPort = GetLE16(data + 1 + STUN_NAME_FIELD + STUN_HOST_FIELD);
    return true;
}

int BuildLookup(uint8_t* out, StunPacketType type, const std::string& systemName)
{
    out[0] = type;
    memset(out + 1, 0, STUN_NAME_FIELD);
    size_t n = systemName.size() < (size_t)STUN_NAME_FIELD ? systemName.size() : (size_t)STUN_NAME_FIELD;
    memcpy(out + 1, systemName.data(), n);
    return STUN_FIND_LENGTH;
}

bool ParseLookup(const uint8_t* data, int length, StunPacketType* type, std::string* systemName)
{
    if (!data || length < STUN_FIND_LENGTH || (data[0] != STUN_FIND && data[0] != STUN_FIND_RELAY))
        return false;
    *type = (StunPacketType)data[0];
    size_t n = 0;
    while (n < (size_t)STUN_NAME_FIELD && data[1 + n])
        n++;
    systemName->assign((const char*)data + 1, n);
    return true;
}

int BuildFindAck(uint8_t* out, const QVSockAddr& address)
{
    out[0] = STUN_FIND_ACK;
    PutAddressRecord(out + 1, address);
    return STUN_FIND_ACK_LENGTH;
}

int BuildFindNack(uint8_t* out)
{
    return BuildStunSingle(out, STUN_FIND_NACK);
}

int BuildTurnAck(uint8_t* out, uint32_t sessionId, uint16_t port)
{
    out[0] = STUN_TURN_ACK;
    PutLE32(out + 1, sessionId);
    PutLE16(out + 5, port);
    return STUN_TURN_ACK_LENGTH;
}

int BuildTcpAck(uint8_t* out, const QVSockAddr& address)
{
    out[0] = STUN_TCP_ACK;
    PutAddressRecord(out + 1, address);
    return STUN_TCP_ACK_LENGTH;
}

bool ParseLookupAnswer(const uint8_t* data, int length, StunLookupAnswer* answer)
{
    if (!data || length < 1) return false;
    memset(answer, 0, sizeof(*answer));
    switch (data[0]) {
    case STUN_FIND_ACK:
    case STUN_TCP_ACK:
        if (length < STUN_FIND_ACK_LENGTH) return false;
        answer->address = GetAddressRecord(data + 1);
        break;
    case STUN_FIND_NACK:
        break;
    case STUN_TURN_ACK:
        if (length < STUN_TURN_ACK_LENGTH) return false;
        answer->dwSessionId = GetLE32(data + 1);
        answer->wPort = GetLE16(data + 5);
        break;
    default:
        return false;
    }
    answer->type = (StunPacketType)data[0];
    return true;
}

int BuildParams(uint8_t* out, const TransferParams& params)
{
    out[0] = STUN_PARAMS;
    PutLE32(out + 1, params.MaxPayload);
    PutLE32(out + 5, params.HighUnacked);
    PutLE32(out + 9, params.LowUnacked);
    PutLE32(out + 13, params.HighQueued);
    PutLE32(out + 17, params.LowQueued);
    PutLE32(out + 21, params.Slots);
    return STUN_PARAMS_LENGTH;
}

bool ParseParams(const uint8_t* data, int length, TransferParams* params)
{
    if (!HasType(data, length, STUN_PARAMS_LENGTH, STUN_PARAMS)) return false;
    params->MaxPayload = GetLE32(data + 1);
    params->HighUnacked = GetLE32(data + 5);
    params->LowUnacked = GetLE32(data + 9);
    params->HighQueued = GetLE32(data + 13);
    params->LowQueued = GetLE32(data + 17);
    params->Slots = GetLE32(data + 21);
    return true;
}

uint32_t StunSequenceModulus(uint32_t slots)
{
    if (slots == 0) return 0;
    uint32_t times = 32767 / slots;
    return (times < 1 ? 1 : times) * slots;
}

void PutDataHeader(uint8_t* out, StunPacketType type, uint16_t sequence)
{
    out[0] = type;
    PutLE16(out + 1, sequence);
}

int BuildDataPacket(uint8_t* out, int outSize, uint16_t sequence, const uint8_t* payload, int payloadLength,
                    uint16_t ack)
{
    const bool withAck = ack != STUN_NO_ACK;
    if (payloadLength < 1 || outSize < STUN_DATA_HEADER) return -1;
    if (payloadLength > outSize - STUN_DATA_HEADER - (withAck ? 2 : 0)) return -1;
    if (payload != out + STUN_DATA_HEADER) memmove(out + STUN_DATA_HEADER, payload, (size_t)payloadLength);
    PutDataHeader(out, withAck ? STUN_TX_PACKET_ACK : STUN_TX_PACKET, sequence);
    int length = STUN_DATA_HEADER + payloadLength;
    if (withAck) {
        PutLE16(out + length, ack);
        length += 2;
    }
    return length;
}

bool ParseDataPacket(const uint8_t* data, int length, uint32_t maxPayload, StunDataPacket* packet)
{
    if (!data || length < STUN_DATA_HEADER + 1) return false;
    int payload = length - STUN_DATA_HEADER;
    uint16_t ack = STUN_NO_ACK;
    if (data[0] == STUN_TX_PACKET_ACK) {
        payload -= 2;
        if (payload < 1 || maxPayload < 2 || (uint32_t)payload > maxPayload - 2) return false;
        ack = GetLE16(data + length - 2);
    } else if (data[0] == STUN_TX_PACKET) {
        if ((uint32_t)payload > maxPayload) return false;
    } else {
        return false;
    }
    packet->type = (StunPacketType)data[0];
    packet->wSequence = GetLE16(data + 1);
    packet->pPayload = data + STUN_DATA_HEADER;
    packet->nPayload = payload;
    packet->wAck = ack;
    return true;
}

int BuildRxAck(uint8_t* out, const uint16_t* sequences, int count)
{
    if (count < 1 || count > STUN_RX_ACK_MAX) return -1;
    out[0] = STUN_RX_ACK;
    for (int i = 0; i < count; i++)
        PutLE16(out + 1 + 2 * i, sequences[i]);
    return 1 + 2 * count;
}

bool ParseRxAck(const uint8_t* data, int length, StunRxAck* ack)
{
    if (!HasType(data, length, 3, STUN_RX_ACK)) return false;
    int count = (length - 1) / 2;
    if (count > STUN_RX_ACK_MAX) return false;
    ack->nCount = count;
    for (int i = 0; i < count; i++)
        ack->awSequence[i] = GetLE16(data + 1 + 2 * i);
    return true;
}

// A string item: u32 count, the bytes, zero bytes up to a multiple of 4.
static void PutStringItem(std::vector<uint8_t>& out, const char* text, size_t n)
{
    size_t at = out.size();
    out.resize(at + 4 + ((n + 3) & ~(size_t)3), 0);
    PutLE32(&out[at], (uint32_t)n);
    if (n) memcpy(&out[at + 4], text, n);
}

static std::vector<uint8_t> DServerMessage(uint16_t command, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> out(DSERVER_HEADER + payload.size(), 0);
    PutLE16(&out[2], command);
    PutLE32(&out[4], (uint32_t)payload.size());
    if (!payload.empty()) memcpy(&out[DSERVER_HEADER], payload.data(), payload.size());
    return out;
}

std::vector<uint8_t> BuildDServerQuery(const std::string& systemName)
{
    std::vector<uint8_t> payload;
    PutStringItem(payload, systemName.data(), systemName.size());
    PutStringItem(payload, systemName.data(), systemName.size());
    return DServerMessage(DSERVER_QUERY, payload);
}

bool ParseDServerHeader(const uint8_t* data, int length, uint16_t* command, uint32_t* payloadLength)
{
    if (!data || length < DSERVER_HEADER) return false;
    *command = GetLE16(data + 2);
    *payloadLength = GetLE32(data + 4);
    return true;
}

bool DServerMessageFits(uint32_t payloadLength)
{
    return payloadLength <= (uint32_t)(DSERVER_MAX_MESSAGE - DSERVER_HEADER);
}

namespace
{

// Reads items from a payload; past its end every item reads as zero or empty,
// and once one item did not fit, so do all that follow.
class ItemReader
{
  public:
    ItemReader(const uint8_t* payload, size_t size) : m_pData(payload), m_nSize(size), m_nPos(0) {}
    uint8_t U8() { return Has(1) ? m_pData[m_nPos++] : 0; }
    uint16_t U16()
    {
        if (!Has(2)) return 0;
        uint16_t v = GetLE16(m_pData + m_nPos);
        m_nPos += 2;
        return v;
    }
    // Fills text (terminated, capacity bytes) when the item's count leaves room
    // for the terminator; otherwise the text stays empty. A NUL inside the bytes
    // ends the text there, and the rest of it stays NUL.
    void String(char* text, size_t capacity)
    {
        memset(text, 0, capacity);
        if (!Has(4)) return;
        uint64_t count = GetLE32(m_pData + m_nPos);
        if (!Has(4 + ((count + 3) & ~(uint64_t)3))) return;
        if (count < capacity) {
            size_t n = 0;
            while (n < count && m_pData[m_nPos + 4 + n])
                n++;
            memcpy(text, m_pData + m_nPos + 4, n);
        }
        m_nPos += 4 + (size_t)((count + 3) & ~(uint64_t)3);
    }

  private:
    // Whether n more bytes are there; when not, nothing after this item is either.
    bool Has(uint64_t n)
    {
        if (n <= m_nSize - m_nPos) return true;
        m_nPos = m_nSize;
        return false;
    }
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos;
};

} // namespace

bool DecodeDServerAnswer(const uint8_t* data, int length, DServerAnswer* answer)
{
    if (!answer) return false;
    memset(answer, 0, sizeof(*answer));
    uint16_t command = 0;
    uint32_t payloadLength = 0;
    if (!ParseDServerHeader(data, length, &command, &payloadLength)) return false;
    if (command != DSERVER_ANSWER || !DServerMessageFits(payloadLength)) return false;
    size_t available = (size_t)(length - DSERVER_HEADER);
    ItemReader items(data + DSERVER_HEADER, payloadLength < available ? payloadLength : available);
    answer->bFound = items.U8();
    answer->bLicensed = items.U8();
    items.String(answer->szAddress, sizeof(answer->szAddress));
    answer->wPort = items.U16();
    answer->bOpen = items.U8();
    answer->bRelay = items.U8();
    return true;
}

std::vector<uint8_t> EncodeDServerAnswer(const DServerAnswer& answer)
{
    std::vector<uint8_t> payload;
    payload.push_back(answer.bFound);
    payload.push_back(answer.bLicensed);
    size_t n = 0;
    while (n < (size_t)DSERVER_MAX_ADDRESS && answer.szAddress[n])
        n++;
    PutStringItem(payload, answer.szAddress, n);
    payload.push_back((uint8_t)answer.wPort);
    payload.push_back((uint8_t)(answer.wPort >> 8));
    payload.push_back(answer.bOpen);
    payload.push_back(answer.bRelay);
    return DServerMessage(DSERVER_ANSWER, payload);
}
