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
const int SYSTEM_ANSWER_NAME_FIELD = 28; // the answer's last bytes: the name, NUL-padded
const int CONFIG_RECORD_SIZE = 100;
const int CONFIG_SET_SIZE = 104;

// The status byte of a discovery answer. The launcher knows these values only by
// what it does with them: a hidden controller is never listed; a selectable one may
// be picked on its own while the name field is empty; any other value is listed
// and waits for the user.
const uint8_t DISCOVERY_STATUS_NONE = 0;       // a list line before an answer filled it
const uint8_t DISCOVERY_STATUS_SELECTABLE = 1; // also what this PC's own gateway reports
const uint8_t DISCOVERY_STATUS_HIDDEN = 5;
const uint8_t DISCOVERY_STATUS_SELECTABLE_FIRST = 6; // 6 to 12 are all selectable
const uint8_t DISCOVERY_STATUS_SELECTABLE_LAST = 12;
const uint8_t DISCOVERY_STATUS_SELECTABLE_HIGH = 100;

// The discovery answer, decoded from its 40 wire bytes (never cast onto them).
struct SYSTEM_ANSWER {
    uint32_t dwType;
    uint32_t dwAddress; // network byte order, usable as is in an address record
    uint16_t wPort;
    uint8_t bStatus;
    uint8_t bFlags;
    char szName[SYSTEM_ANSWER_NAME_FIELD]; // always NUL-terminated after decoding
};

bool DecodeSystemAnswer(const uint8_t* wire, int length, SYSTEM_ANSWER* out);
void EncodeSystemAnswer(const SYSTEM_ANSWER& in, uint8_t wire[SYSTEM_ANSWER_SIZE]);

// The subnet-directed broadcast address of address/mask (both in network order).
// 0 when there is none worth a second datagram: no address, or a mask of all or
// no bits (the host itself, or the limited broadcast that is sent anyway).
uint32_t SubnetBroadcastAddress(uint32_t address, uint32_t mask);

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

// What one look at the socket found.
enum class PingReceive {
    Nothing = 0, // no datagram waiting (or no socket)
    Ignored = 1, // one datagram read, not of the size asked for
    Taken = 2,   // one datagram of the size asked for, copied out
};

class CPingSocket
{
  public:
    explicit CPingSocket(uint32_t localAddress);
    // Binds another local port (0: any free one); tests use it to stay off 1444.
    CPingSocket(uint32_t localAddress, uint16_t localPort);
    virtual ~CPingSocket();
    // The adapter's mask, which decides where the second configuration query goes;
    // 255.255.255.0 until set.
    void SetLocalMask(uint32_t mask) { m_dwLocalMask = mask; }
    // The port actually bound, or 0 when the bind failed.
    uint16_t GetBoundPort() const;
    bool IsValid() const { return m_hSocket != QV_INVALID_SOCKET; }
    // Whether receiving goes without a readiness test (the socket is non-blocking).
    bool IsNonBlocking() const { return m_bNonBlocking; }
    uint32_t GetLocalAddress() const { return m_dwLocalAddress; }
    bool SendDiscovery();
    PingReceive ReceiveDiscovery(SYSTEM_ANSWER& answer, QVSockAddr& from);
    bool SendConfigQuery();
    PingReceive ReceiveConfig(uint8_t record[CONFIG_RECORD_SIZE], QVSockAddr& from);
    bool SendConfig(const QVSockAddr& to, const uint8_t datagram[CONFIG_SET_SIZE]);

  private:
    void Open(uint32_t localAddress, uint16_t localPort);
    int ReceiveOne(uint8_t* area, int size, QVSockAddr& from);

    QVSOCKET m_hSocket;
    uint32_t m_dwLocalAddress;
    uint32_t m_dwLocalMask;
    bool m_bNonBlocking;
};
