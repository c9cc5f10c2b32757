#include "relay_enrollment.h"

#include <algorithm>

#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "enroll_wire.h"

namespace
{

const size_t kSeenKept = 256; // notice ids remembered per relay, to act on each once

} // namespace

CRelayEnrollment::CRelayEnrollment(const EnrollConfig& config)
    : m_Config(config), m_bRunning(false), m_hUdp(QV_INVALID_SOCKET), m_bEnrolled(false), m_Public(),
      m_Local()
{
    if (m_Config.tag == 0) m_Config.tag = GetTick() | 1;
    if (m_Config.enrollPeriodMs == 0) m_Config.enrollPeriodMs = 1000;
    if (m_Config.helloPeriodMs == 0) m_Config.helloPeriodMs = 100;
}

CRelayEnrollment::~CRelayEnrollment()
{
    Stop();
}

bool CRelayEnrollment::OpenSocket()
{
    QVSOCKET s = SocketUdp();
    QVSockAddr local;
    if (s == QV_INVALID_SOCKET || !SocketBind(s, MakeSockAddr(m_Config.localAddress, m_Config.localPort)) ||
        !SocketLocalAddr(s, &local)) {
        CloseSocket(s);
        return false;
    }
    m_hUdp = s;
    std::lock_guard<std::mutex> g(m_Lock);
    m_Local = local;
    m_bEnrolled = false;
    memset(&m_Public, 0, sizeof m_Public);
    m_SeenBy.assign(m_Config.relays.size(), QVSockAddr());
    return true;
}

bool CRelayEnrollment::Start()
{
    if (m_bRunning) return true;
    if (m_Config.systemName.empty() || m_Config.relays.empty() || !OpenSocket()) return false;
    m_bRunning = true;
    m_Thread = std::thread(&CRelayEnrollment::Loop, this);
    return true;
}

void CRelayEnrollment::Stop()
{
    m_bRunning = false;
    if (m_Thread.joinable()) m_Thread.join();
    m_Connects.Reap(true);
    CloseSocket(m_hUdp);
    m_hUdp = QV_INVALID_SOCKET;
}

bool CRelayEnrollment::IsEnrolled() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_bEnrolled;
}

QVSockAddr CRelayEnrollment::GetPublicAddress() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Public;
}

QVSockAddr CRelayEnrollment::GetLocalAddress() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Local;
}

bool CRelayEnrollment::WaitUntil(const std::function<bool(const EnrollStats&)>& condition,
                                 uint32_t timeoutMs) const
{
    const uint32_t started = GetTick();
    for (;;) {
        if (condition(GetStats())) return true;
        if (TickSince(started) >= timeoutMs) return false;
        SleepMs(10);
    }
}

bool CRelayEnrollment::IsRelay(const QVSockAddr& a) const
{
    for (const QVSockAddr& r : m_Config.relays)
        if (SameEndpoint(r, a)) return true;
    return false;
}

bool CRelayEnrollment::AlreadySeen(const QVSockAddr& relay, uint32_t id)
{
    std::lock_guard<std::mutex> g(m_Lock);
    for (const Seen& s : m_Seen)
        if (s.id == id && SameEndpoint(s.relay, relay)) return true;
    if (m_Seen.size() >= kSeenKept) m_Seen.erase(m_Seen.begin());
    m_Seen.push_back(Seen{relay, id});
    return false;
}

void CRelayEnrollment::Loop()
{
    uint32_t lastEnroll = GetTick() - m_Config.enrollPeriodMs; // enroll at once
    uint8_t buf[2048];
    while (m_bRunning) {
        const uint32_t now = GetTick();
        if ((uint32_t)(now - lastEnroll) >= m_Config.enrollPeriodMs) {
            lastEnroll = now;
            std::vector<uint8_t> d = enrollwire::Enroll(m_Config.tag, m_Config.systemName);
            for (const QVSockAddr& r : m_Config.relays)
                SocketSendTo(m_hUdp, d.data(), (int)d.size(), r);
            std::lock_guard<std::mutex> g(m_Lock);
            m_Stats.enrollsSent += (uint32_t)m_Config.relays.size();
        }
        std::vector<std::string> lines;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            for (size_t i = 0; i < m_Punches.size();) {
                Punch& p = m_Punches[i];
                if ((int32_t)(now - p.until) >= 0) {
                    lines.push_back("punch towards " + FormatAddressRecord(p.target) +
                                    " gave up: no hello came");
                    m_Punches.erase(m_Punches.begin() + (long)i);
                    continue;
                }
                if ((int32_t)(now - p.nextHello) >= 0) {
                    uint8_t hello = enrollwire::HELLO;
                    SocketSendTo(m_hUdp, &hello, 1, p.target);
                    ++m_Stats.hellosSent;
                    p.nextHello = now + m_Config.helloPeriodMs;
                }
                ++i;
            }
        }
        for (const std::string& l : lines)
            Log(l);
        m_Connects.Reap(false);
        if (!SocketReadable(m_hUdp, 10)) continue;
        for (int i = 0; i < 64 && m_bRunning; ++i) {
            QVSockAddr from;
            int n = SocketRecvFrom(m_hUdp, buf, sizeof buf, &from);
            if (n < 0) break;
            QVSOCKET before = m_hUdp;
            if (n > 0) Handle(buf, n, from);
            if (m_hUdp != before) break; // handed over: the next datagrams are the new owner's
        }
    }
}

void CRelayEnrollment::Handle(const uint8_t* data, int len, const QVSockAddr& from)
{
    const uint8_t type = data[0];
    if (IsRelay(from)) {
        if (type == enrollwire::ENROLL_ACK && (size_t)len >= enrollwire::ENROLL_ACK_SIZE) {
            QVSockAddr seen = enrollwire::GetRecord(data + 1);
            bool changed = false;
            {
                std::lock_guard<std::mutex> g(m_Lock);
                for (size_t i = 0; i < m_Config.relays.size(); ++i) {
                    if (!SameEndpoint(m_Config.relays[i], from)) continue;
                    changed = !m_SeenBy[i].family || !SameEndpoint(seen, m_SeenBy[i]);
                    m_SeenBy[i] = seen;
                }
                m_bEnrolled = true;
                m_Public = seen;
                ++m_Stats.enrollAcks;
            }
            if (changed)
                Log("enrolled with relay " + FormatAddressRecord(from) + " as " + FormatAddressRecord(seen));
        } else if (type == enrollwire::SENDTO && (size_t)len >= enrollwire::SENDTO_SIZE) {
            uint32_t id = GetLE32(data + 1);
            QVSockAddr launcher = enrollwire::GetRecord(data + 5);
            std::vector<uint8_t> ack = enrollwire::NoticeAck(id);
            SocketSendTo(m_hUdp, ack.data(), (int)ack.size(), from);
            if (AlreadySeen(from, id)) return;
            {
                std::lock_guard<std::mutex> g(m_Lock);
                ++m_Stats.sendtoNotices;
                auto it = std::find_if(m_Punches.begin(), m_Punches.end(),
                                       [&](const Punch& p) { return SameEndpoint(p.target, launcher); });
                if (it == m_Punches.end()) it = m_Punches.insert(m_Punches.end(), Punch());
                it->target = launcher;
                it->until = GetTick() + m_Config.punchMs;
                it->nextHello = GetTick(); // the first hello goes out at once
            }
            Log(StrPrintf("relay %s: launcher at %s (notice %u), punching", FormatAddressRecord(from).c_str(),
                          FormatAddressRecord(launcher).c_str(), id));
        } else if (type == enrollwire::TURN_OPEN && (size_t)len >= enrollwire::TURN_OPEN_SIZE) {
            uint32_t id = GetLE32(data + 1);
            uint32_t sid = GetLE32(data + 5);
            uint16_t port = GetLE16(data + 9);
            std::vector<uint8_t> ack = enrollwire::NoticeAck(id);
            SocketSendTo(m_hUdp, ack.data(), (int)ack.size(), from);
            if (AlreadySeen(from, id)) return;
            {
                std::lock_guard<std::mutex> g(m_Lock);
                ++m_Stats.turnNotices;
            }
            Log(StrPrintf("relay %s: relayed session %u on tcp port %u (notice %u)",
                          FormatAddressRecord(from).c_str(), sid, port, id));
            OpenTurn(from, port, sid);
        }
        return;
    }
    // Anything else comes from a launcher (or a stranger): only hellos matter here.
    if (type == enrollwire::HELLO || type == enrollwire::HELLO_ACK) {
        if (type == enrollwire::HELLO) {
            uint8_t ack = enrollwire::HELLO_ACK;
            SocketSendTo(m_hUdp, &ack, 1, from);
        }
        {
            std::lock_guard<std::mutex> g(m_Lock);
            ++m_Stats.hellosReceived;
        }
        HandOver(from);
    }
}

void CRelayEnrollment::HandOver(const QVSockAddr& launcher)
{
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.punched;
        m_Punches.clear();
    }
    if (!m_pfnPunched) {
        Log("hole punched with " + FormatAddressRecord(launcher) +
            " (no session server: the socket stays here)");
        return;
    }
    Log("hole punched with " + FormatAddressRecord(launcher) +
        ": socket handed over, enrolling from a new socket");
    QVSOCKET old = m_hUdp;
    m_hUdp = QV_INVALID_SOCKET;
    m_pfnPunched(old, launcher);
    if (!OpenSocket()) {
        // Nothing left to enroll with; end the loop rather than spin on no socket.
        Log("cannot open a new socket: enrollment ends");
        m_bRunning = false;
        return;
    }
    std::vector<uint8_t> d = enrollwire::Enroll(m_Config.tag, m_Config.systemName);
    for (const QVSockAddr& r : m_Config.relays)
        SocketSendTo(m_hUdp, d.data(), (int)d.size(), r);
}

void CRelayEnrollment::OpenTurn(const QVSockAddr& relay, uint16_t port, uint32_t sessionId)
{
    QVSockAddr to = MakeSockAddr(relay.addr, port);
    m_Connects.Start([this, to, sessionId] {
        QVSOCKET s = SocketTcp();
        bool ok = s != QV_INVALID_SOCKET && SetNonBlocking(s) && SocketConnect(s, to);
        const uint32_t started = GetTick();
        bool connected = false;
        while (ok && m_bRunning && TickSince(started) < m_Config.turnConnectMs) {
            if (SocketWritable(s, 50)) {
                connected = SocketConnectSucceeded(s);
                break;
            }
        }
        uint8_t pre[enrollwire::TURN_CONTROLLER_PREAMBLE];
        enrollwire::TurnControllerPreamble(sessionId, pre);
        ok = connected && EnrollSetBlocking(s) && SocketSend(s, pre, sizeof pre) == (int)sizeof pre;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            ++(ok ? m_Stats.turnsOpened : m_Stats.turnsFailed);
        }
        if (!ok) {
            Log(StrPrintf("relayed session %u: cannot reach %s", sessionId, FormatAddressRecord(to).c_str()));
            CloseSocket(s);
        } else if (!m_pfnTurn) {
            Log(StrPrintf("relayed session %u: connected (no session server: closed)", sessionId));
            CloseSocket(s);
        } else {
            Log(StrPrintf("relayed session %u: connected to %s, handed over", sessionId,
                          FormatAddressRecord(to).c_str()));
            m_pfnTurn(s, sessionId);
        }
    });
}
