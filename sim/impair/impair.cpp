// The impaired path: per-datagram fates and the forwarding thread.
#include "impair.h"

#include <chrono>

#include "../../util/socketwait.h"

uint64_t ImpairNowUs()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CImpairLine::CImpairLine(const ImpairSettings& settings, uint32_t seed) : m_Settings(settings), m_Random(seed)
{
}

bool CImpairLine::Chance(double p)
{
    if (p <= 0) return false;
    // One draw per decision whatever the probability, so that a run's fates
    // depend only on the seed and the settings.
    double x = std::uniform_real_distribution<double>(0.0, 1.0)(m_Random);
    return x < p;
}

void CImpairLine::Schedule(const uint8_t* data, int length, uint64_t dueUs)
{
    m_Queue.emplace(dueUs, std::vector<uint8_t>(data, data + length));
}

void CImpairLine::Push(const uint8_t* data, int length, uint64_t nowUs)
{
    if (length < 0) return;
    if (m_pObserver) m_pObserver->OnDatagram(m_bToUpstream, data, length);
    m_Counts.received++;
    const bool lost = Chance(m_Settings.loss);
    const bool twice = Chance(m_Settings.duplicate);
    const bool late = Chance(m_Settings.reorder);
    uint64_t jitter = 0;
    if (m_Settings.jitterMs > 0)
        jitter = std::uniform_int_distribution<uint64_t>(0, (uint64_t)m_Settings.jitterMs * 1000)(m_Random);
    if (lost) {
        m_Counts.dropped++;
        return;
    }
    uint64_t due = nowUs + (uint64_t)m_Settings.delayMs * 1000 + jitter;
    if (late) {
        m_Counts.reordered++;
        due += (uint64_t)m_Settings.reorderHoldMs * 1000;
    }
    if (m_Settings.inOrder && due < m_nLastDueUs) due = m_nLastDueUs;
    m_nLastDueUs = due;
    Schedule(data, length, due);
    if (twice) {
        m_Counts.duplicated++;
        Schedule(data, length, due);
    }
}

bool CImpairLine::PopDue(uint64_t nowUs, std::vector<uint8_t>* datagram)
{
    if (m_Queue.empty() || m_Queue.begin()->first > nowUs) return false;
    datagram->swap(m_Queue.begin()->second);
    m_Queue.erase(m_Queue.begin());
    m_Counts.delivered++;
    m_Counts.bytesDelivered += datagram->size();
    return true;
}

uint64_t CImpairLine::UsUntilNext(uint64_t nowUs) const
{
    if (m_Queue.empty()) return UINT64_MAX;
    uint64_t due = m_Queue.begin()->first;
    return due <= nowUs ? 0 : due - nowUs;
}

// ---------------------------------------------------------------------------

CUdpImpairProxy::CUdpImpairProxy()
    : m_hClientSide(QV_INVALID_SOCKET), m_hUpstreamSide(QV_INVALID_SOCKET), m_Address(), m_Upstream(),
      m_Client(), m_bHaveClient(false), m_bRunning(false), m_pUp(nullptr), m_pDown(nullptr)
{
}

CUdpImpairProxy::~CUdpImpairProxy()
{
    Stop();
}

bool CUdpImpairProxy::Start(const QVSockAddr& upstream, const ImpairSettings& toUpstream,
                            const ImpairSettings& toClient, uint32_t seed, const QVSockAddr* local)
{
    Stop();
    QVSockAddr here = local ? *local : MakeSockAddr(LoopbackAddress(), 0);
    m_hClientSide = SocketUdp();
    m_hUpstreamSide = SocketUdp();
    bool ok = m_hClientSide != QV_INVALID_SOCKET && m_hUpstreamSide != QV_INVALID_SOCKET &&
              SocketBind(m_hClientSide, here) && SocketBind(m_hUpstreamSide, MakeSockAddr(here.addr, 0)) &&
              SocketLocalAddr(m_hClientSide, &m_Address) && SetNonBlocking(m_hClientSide) &&
              SetNonBlocking(m_hUpstreamSide);
    if (!ok) {
        CloseSocket(m_hClientSide);
        CloseSocket(m_hUpstreamSide);
        m_hClientSide = m_hUpstreamSide = QV_INVALID_SOCKET;
        return false;
    }
    m_Upstream = upstream;
    m_bHaveClient = false;
    // Each direction draws from its own generator, so the fates of one do not
    // depend on how the other's traffic interleaves with it.
    m_pUp = new CImpairLine(toUpstream, seed);
    m_pDown = new CImpairLine(toClient, seed ^ 0x9E3779B9u);
    m_bRunning = true;
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CUdpImpairProxy::Stop()
{
    if (m_Thread.joinable()) {
        m_bRunning = false;
        m_Thread.join();
    }
    CloseSocket(m_hClientSide);
    CloseSocket(m_hUpstreamSide);
    m_hClientSide = m_hUpstreamSide = QV_INVALID_SOCKET;
    std::lock_guard<std::mutex> g(m_Lock);
    delete m_pUp;
    delete m_pDown;
    m_pUp = m_pDown = nullptr;
}

void CUdpImpairProxy::SetSettings(const ImpairSettings& toUpstream, const ImpairSettings& toClient)
{
    std::lock_guard<std::mutex> g(m_Lock);
    if (m_pUp) m_pUp->SetSettings(toUpstream);
    if (m_pDown) m_pDown->SetSettings(toClient);
}

void CUdpImpairProxy::SetObserver(CImpairObserver* observer)
{
    std::lock_guard<std::mutex> g(m_Lock);
    if (m_pUp) m_pUp->SetObserver(observer, true);
    if (m_pDown) m_pDown->SetObserver(observer, false);
}

ImpairCounts CUdpImpairProxy::CountsToUpstream()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_pUp ? m_pUp->Counts() : ImpairCounts();
}

ImpairCounts CUdpImpairProxy::CountsToClient()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_pDown ? m_pDown->Counts() : ImpairCounts();
}

void CUdpImpairProxy::Run()
{
    std::vector<uint8_t> buffer(65536);
    std::vector<uint8_t> out;
    while (m_bRunning) {
        uint64_t waitUs;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            uint64_t now = ImpairNowUs();
            uint64_t a = m_pUp->UsUntilNext(now), b = m_pDown->UsUntilNext(now);
            waitUs = a < b ? a : b;
        }
        // At most 20 ms, so that Stop is seen soon; round up so that a datagram
        // due in a fraction of a millisecond does not make the loop spin.
        uint32_t waitMs = waitUs >= 20000 ? 20 : (uint32_t)((waitUs + 999) / 1000);
        SocketWaitPair(m_hClientSide, QV_WAIT_READ, m_hUpstreamSide, QV_WAIT_READ, waitMs);

        std::lock_guard<std::mutex> g(m_Lock);
        for (int i = 0; i < 256; i++) {
            QVSockAddr from;
            int n = SocketRecvFromNonBlocking(m_hClientSide, buffer.data(), (int)buffer.size(), &from);
            if (n < 0) break;
            m_Client = from;
            m_bHaveClient = true;
            m_pUp->Push(buffer.data(), n, ImpairNowUs());
        }
        for (int i = 0; i < 256; i++) {
            int n = SocketRecvFromNonBlocking(m_hUpstreamSide, buffer.data(), (int)buffer.size(), nullptr);
            if (n < 0) break;
            m_pDown->Push(buffer.data(), n, ImpairNowUs());
        }
        const uint64_t now = ImpairNowUs();
        while (m_pUp->PopDue(now, &out))
            SocketSendTo(m_hUpstreamSide, out.data(), (int)out.size(), m_Upstream);
        while (m_pDown->PopDue(now, &out)) {
            if (m_bHaveClient) SocketSendTo(m_hClientSide, out.data(), (int)out.size(), m_Client);
        }
    }
}
