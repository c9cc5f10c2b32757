// The reliable stream's peer: pattern bytes, the hello hand-shake on both sides,
// and serving one stream.
#include "rudppeer.h"

#include <cstring>
#include <vector>

#include "../../remote/relaypacket.h"
#include "../../util/qvtick.h"

namespace
{

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline uint8_t PatternByte(uint64_t position)
{
    return (uint8_t)(Mix(position >> 3) >> (8 * (position & 7)));
}

} // namespace

void PatternFill(uint64_t offset, uint8_t* out, size_t length)
{
    size_t i = 0;
    while (i < length && ((offset + i) & 7) != 0) {
        out[i] = PatternByte(offset + i);
        i++;
    }
    for (; i + 8 <= length; i += 8) {
        uint64_t word = Mix((offset + i) >> 3);
        for (int k = 0; k < 8; k++)
            out[i + k] = (uint8_t)(word >> (8 * k));
    }
    for (; i < length; i++)
        out[i] = PatternByte(offset + i);
}

size_t PatternMismatch(uint64_t offset, const uint8_t* data, size_t length)
{
    uint8_t block[4096];
    for (size_t done = 0; done < length;) {
        size_t n = length - done < sizeof(block) ? length - done : sizeof(block);
        PatternFill(offset + done, block, n);
        if (memcmp(block, data + done, n) != 0) {
            for (size_t i = 0; i < n; i++)
                if (block[i] != data[done + i]) return done + i;
        }
        done += n;
    }
    return length;
}

// ---------------------------------------------------------------------------

CRudpListener::CRudpListener() : m_hSocket(QV_INVALID_SOCKET), m_Address() {}

CRudpListener::~CRudpListener()
{
    CloseSocket(m_hSocket);
}

bool CRudpListener::Open(const QVSockAddr& local)
{
    CloseSocket(m_hSocket);
    m_hSocket = SocketUdp();
    if (m_hSocket == QV_INVALID_SOCKET || !SocketBind(m_hSocket, local) ||
        !SocketLocalAddr(m_hSocket, &m_Address)) {
        CloseSocket(m_hSocket);
        m_hSocket = QV_INVALID_SOCKET;
        return false;
    }
    return true;
}

CRUDPClient* CRudpListener::Accept(uint32_t ms, const std::atomic<bool>* stop, RudpPolicy policy)
{
    const uint32_t start = GetTick();
    while (m_hSocket != QV_INVALID_SOCKET && TickSince(start) < ms && !(stop && *stop)) {
        if (!SocketReadable(m_hSocket, 50)) continue;
        uint8_t datagram[STUN_LARGE_RECEIVE];
        QVSockAddr from;
        int n = SocketRecvFrom(m_hSocket, datagram, sizeof(datagram), &from);
        if (!IsStunPacket(datagram, n, STUN_HELLO)) continue;
        uint8_t answer[1];
        SocketSendTo(m_hSocket, answer, BuildStunSingle(answer, STUN_HELLO_ACK), from);
        CRUDPClient* stream = new CRUDPClient(m_hSocket, from);
        stream->SetPolicy(policy);
        m_hSocket = QV_INVALID_SOCKET;
        stream->Start();
        return stream;
    }
    return nullptr;
}

CRUDPClient* RudpConnect(const QVSockAddr& peer, const TransferParams* block, uint32_t ms,
                         const QVSockAddr* local, RudpPolicy policy)
{
    QVSOCKET s = SocketUdp();
    if (s == QV_INVALID_SOCKET || !SocketBind(s, local ? *local : MakeSockAddr(LoopbackAddress(), 0))) {
        CloseSocket(s);
        return nullptr;
    }
    const uint32_t start = GetTick();
    bool answered = false;
    while (!answered && TickSince(start) < ms) {
        uint8_t hello[1];
        SocketSendTo(s, hello, BuildStunSingle(hello, STUN_HELLO), peer);
        const uint32_t sent = GetTick();
        while (!answered && TickSince(sent) < 250 && SocketReadable(s, 250 - TickSince(sent))) {
            uint8_t datagram[STUN_SMALL_RECEIVE];
            int n = SocketRecvFrom(s, datagram, sizeof(datagram), nullptr);
            answered = IsStunPacket(datagram, n, STUN_HELLO_ACK);
        }
    }
    if (!answered) {
        CloseSocket(s);
        return nullptr;
    }
    CRUDPClient* stream = new CRUDPClient(s, peer);
    stream->SetPolicy(policy);
    if (block) stream->Negotiate(*block);
    stream->Start();
    return stream;
}

// ---------------------------------------------------------------------------

void RudpServe(CRUDPClient* stream, const RudpServeOptions& options, RudpServeResult* result,
               const std::atomic<bool>* stop, std::atomic<uint64_t>* progress)
{
    *result = RudpServeResult();
    std::atomic<uint64_t> sent(0);
    std::atomic<bool> sendOk(true);
    std::thread sender;
    // A controller speaks only when spoken to: sending starts once the first byte
    // has arrived, so the launcher's parameter proposal always comes before any
    // data (new parameters with data in flight would end the stream).
    auto startSender = [&] {
        sender = std::thread([&] {
            std::vector<uint8_t> chunk(65536);
            uint64_t done = 0;
            while (done < options.sendBytes && !(stop && *stop)) {
                size_t n = (size_t)(options.sendBytes - done < chunk.size() ? options.sendBytes - done
                                                                            : chunk.size());
                PatternFill(done, chunk.data(), n);
                if (!stream->Send(chunk.data(), (int)n)) {
                    sendOk = false;
                    break;
                }
                done += n;
                sent = done;
            }
            if (options.closeWhenSent && sendOk) stream->Close();
        });
    };

    std::vector<uint8_t> buffer(65536);
    uint64_t position = 0;
    while (!(stop && *stop)) {
        if (!stream->WaitReadable(100)) continue;
        int n = stream->Receive(buffer.data(), (int)buffer.size());
        if (n <= 0) {
            if (!stream->IsUp()) break;
            continue;
        }
        if (options.sendBytes > 0 && !sender.joinable()) startSender();
        if (options.echo) {
            if (!stream->Send(buffer.data(), n)) break;
            result->sent += (uint64_t)n;
        } else if (options.verify && result->patternOk) {
            size_t bad = PatternMismatch(position, buffer.data(), (size_t)n);
            if (bad < (size_t)n) {
                result->patternOk = false;
                result->firstBad = position + bad;
            }
        }
        position += (uint64_t)n;
        if (progress) *progress = position;
    }
    if (stop && *stop) stream->Close();
    if (sender.joinable()) sender.join();
    result->received = position;
    if (!options.echo) result->sent = sent;
    result->sendOk = sendOk;
    result->endState = stream->GetState();
}

// ---------------------------------------------------------------------------

CRudpPeer::CRudpPeer(const RudpServeOptions& options)
    : m_Options(options), m_Address(), m_bStop(false), m_pCurrent(nullptr), m_nServed(0), m_nReceivedNow(0)
{
}

CRudpPeer::~CRudpPeer()
{
    Stop();
}

bool CRudpPeer::Start(const QVSockAddr* local)
{
    if (!m_Listener.Open(local ? *local : MakeSockAddr(LoopbackAddress(), 0))) return false;
    m_Address = m_Listener.GetAddress();
    m_bStop = false;
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CRudpPeer::Stop()
{
    m_bStop = true;
    CloseCurrent();
    if (m_Thread.joinable()) m_Thread.join();
}

void CRudpPeer::CloseCurrent()
{
    std::lock_guard<std::mutex> g(m_Lock);
    if (m_pCurrent) m_pCurrent->Close();
}

int CRudpPeer::Served()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_nServed;
}

RudpServeResult CRudpPeer::LastResult()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Last;
}

bool CRudpPeer::WaitServed(int streams, uint32_t ms)
{
    const uint32_t start = GetTick();
    while (Served() < streams) {
        if (TickSince(start) >= ms) return false;
        SleepMs(10);
    }
    return true;
}

void CRudpPeer::Run()
{
    while (!m_bStop) {
        CRUDPClient* stream = m_Listener.Accept(200, &m_bStop, m_Options.policy);
        if (!stream) continue;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            m_pCurrent = stream;
        }
        RudpServeResult result;
        m_nReceivedNow = 0;
        RudpServe(stream, m_Options, &result, &m_bStop, &m_nReceivedNow);
        {
            std::lock_guard<std::mutex> g(m_Lock);
            m_pCurrent = nullptr;
        }
        // Close (from here or from CloseCurrent) has ended the worker; nobody else
        // is inside the stream any more.
        stream->Close();
        delete stream;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            m_Last = result;
            m_nServed++;
        }
        if (!m_bStop && !m_Listener.Open(m_Address)) break;
    }
}
