// Local controller discovery: UDP broadcast queries and 40-byte answers, and the
// configuration datagrams on port 1444.
#pragma once
#include <cstdint>

#include "../util/qvsocket.h"

const uint16_t DISCOVERY_PORT = 444;
const uint16_t PING_PORT = 1444;
const uint32_t DISCOVERY_QUERY = 1;
const uint32_t CONFIG_QUERY = 4;
const uint32_t CONFIG_SET = 7;
const uint32_t ANSWER_TYPE = 2;
const int SYSTEM_ANSWER_SIZE = 40;
const int CONFIG_RECORD_SIZE = 100;
const int CONFIG_SET_SIZE = 104;

// The discovery answer, decoded from its 40 wire bytes (never cast onto them).
struct SYSTEM_ANSWER {
    uint32_t dwType;
    uint32_t dwAddress; // network byte order, usable as is in an address record
    uint16_t wPort;
    uint8_t bStatus;
    uint8_t bFlags;
    char szName[28];    // always NUL-terminated after decoding
};

bool DecodeSystemAnswer(const uint8_t* wire, int length, SYSTEM_ANSWER* out);
void EncodeSystemAnswer(const SYSTEM_ANSWER& in, uint8_t wire[SYSTEM_ANSWER_SIZE]);

class CSysLocator
{
public:
    explicit CSysLocator(uint32_t intervalMs);
    virtual ~CSysLocator();
    bool Next(SYSTEM_ANSWER& answer);

private:
    QVSOCKET m_hSocket;
    uint32_t m_dwLastQuery;
    bool m_bRenewSocket;
    bool m_bQueryNow;
    uint32_t m_dwInterval;
};

class CPingSocket
{
public:
    explicit CPingSocket(uint32_t localAddress);
    virtual ~CPingSocket();
    bool IsValid() const { return m_hSocket != QV_INVALID_SOCKET; }
    uint32_t GetLocalAddress() const { return m_dwLocalAddress; }
    bool SendDiscovery();
    int ReceiveDiscovery(SYSTEM_ANSWER& answer, QVSockAddr& from);
    bool SendConfigQuery();
    int ReceiveConfig(uint8_t record[CONFIG_RECORD_SIZE], QVSockAddr& from);
    bool SendConfig(const QVSockAddr& to, const uint8_t datagram[CONFIG_SET_SIZE]);

private:
    QVSOCKET m_hSocket;
    uint32_t m_dwLocalAddress;
};
