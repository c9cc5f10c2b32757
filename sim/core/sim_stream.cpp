#include "sim_stream.h"

#include "../../remote/rudpclient.h"
#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"

namespace
{

// A session's answer goes to a reliable stream in pieces of this size, so that a
// stop request is noticed between pieces of a long download.
const int kDatagramWriteChunk = 16384;

class CSimTcpStream : public CSimStream
{
  public:
    explicit CSimTcpStream(QVSOCKET s) : m_hSocket(s)
    {
        SocketSetNoDelay(s);
        // Non-blocking, so that a launcher that stops reading cannot hold a
        // simulator thread: writes wait in short rounds that notice a stop.
        SetNonBlocking(s);
    }
    ~CSimTcpStream() override { Close(); }

    int Read(uint8_t* buffer, int size, uint32_t ms, const char** why) override
    {
        if (!SocketReadable(m_hSocket, ms)) return 0;
        int r = SocketRecv(m_hSocket, buffer, size);
        if (r > 0) return r;
        if (r < 0 && SocketErrorWouldBlock(SocketLastError())) return 0;
        *why = r == 0 ? "peer closed" : "receive error";
        return -1;
    }
    int Write(const uint8_t* data, int size, uint32_t ms) override
    {
        int r = SocketSend(m_hSocket, data, size);
        if (r > 0) return r;
        if (r < 0 && SocketErrorWouldBlock(SocketLastError())) {
            SocketWritable(m_hSocket, ms);
            return 0;
        }
        return -1;
    }
    // Writes never block for long: the serving thread notices the stop itself.
    void Abort() override {}
    void Close() override
    {
        CloseSocket(m_hSocket);
        m_hSocket = QV_INVALID_SOCKET;
    }

  private:
    QVSOCKET m_hSocket;
};

class CSimDatagramStream : public CSimStream
{
  public:
    explicit CSimDatagramStream(CRUDPClient* client) : m_pClient(client) {}
    ~CSimDatagramStream() override { delete m_pClient; }

    int Read(uint8_t* buffer, int size, uint32_t ms, const char** why) override
    {
        if (m_pClient->IsUp() && m_pClient->WaitReadable(ms)) {
            int n = m_pClient->Receive(buffer, size);
            if (n > 0) return n;
        }
        if (m_pClient->IsUp()) return 0;
        switch (m_pClient->GetState()) {
        case CLIENT_SEND_FAILED:
            *why = "send failed";
            break;
        case CLIENT_RECEIVE_FAILED:
            *why = "receive error";
            break;
        default:
            *why = "peer closed";
            break;
        }
        return -1;
    }
    int Write(const uint8_t* data, int size, uint32_t) override
    {
        // The stream waits for its window itself (bounded by its stall time, or
        // ended at once by Abort).
        int n = size < kDatagramWriteChunk ? size : kDatagramWriteChunk;
        return m_pClient->Send(data, n) ? n : -1;
    }
    void Abort() override { m_pClient->Close(); }
    void Close() override { m_pClient->Close(); }

  private:
    CRUDPClient* m_pClient;
};

// The launcher's parameter proposal, read here byte by byte rather than with the
// launcher's own parser, so that the two cross-check each other.
bool IsProposal(const uint8_t* d, int n, TransferParams* p)
{
    if (n < 25 || d[0] != 22) return false;
    p->MaxPayload = GetLE32(d + 1);
    p->HighUnacked = GetLE32(d + 5);
    p->LowUnacked = GetLE32(d + 9);
    p->HighQueued = GetLE32(d + 13);
    p->LowQueued = GetLE32(d + 17);
    p->Slots = GetLE32(d + 21);
    return true;
}

bool IsStreamDatagram(uint8_t type)
{
    return type == 128 || type == 129 || type == 130 || type == 8; // data, acks, bye
}

} // namespace

CSimStream* NewSimTcpStream(QVSOCKET s)
{
    return new CSimTcpStream(s);
}

CSimStream* NewSimDatagramStream(CRUDPClient* client)
{
    return new CSimDatagramStream(client);
}

CRUDPClient* StartPunchedStream(QVSOCKET udp, const QVSockAddr& launcher, uint32_t waitMs,
                                const std::function<bool()>& stopped, PunchedStart* out, std::string* why)
{
    const uint32_t started = GetTick();
    uint8_t buf[2048];
    for (;;) {
        if (stopped()) {
            *why = "stopped";
            break;
        }
        if (TickSince(started) >= waitMs) {
            *why = StrPrintf("no parameters or data within %u ms", waitMs);
            break;
        }
        if (!SocketReadable(udp, 20)) continue;
        QVSockAddr from;
        int n = SocketRecvFrom(udp, buf, sizeof buf, &from);
        if (n < 0) {
            // An error report (a port unreachable after an early hello): not the
            // launcher's answer, and no reason to spin.
            SleepMs(5);
            continue;
        }
        if (n == 0) continue;
        if (from.addr != launcher.addr || from.port != launcher.port) {
            out->strangersIgnored++;
            continue;
        }
        if (buf[0] == 6) { // a hello the launcher sent before it saw our answer
            uint8_t ack = 7;
            SocketSendTo(udp, &ack, 1, launcher);
            out->hellosAnswered++;
            continue;
        }
        out->proposed = IsProposal(buf, n, &out->offered);
        if (!out->proposed && !IsStreamDatagram(buf[0])) continue;
        CRUDPClient* client = new CRUDPClient(udp, launcher);
        client->SetPolicy(RUDP_POLICY_CONTROLLER); // a controller recovers as a controller does
        // The client adopts and answers the proposal (or stores the data) as its
        // worker would have, then runs.
        client->HandleDatagram(buf, n);
        client->Start();
        out->params = client->GetParams();
        return client;
    }
    CloseSocket(udp);
    return nullptr;
}
