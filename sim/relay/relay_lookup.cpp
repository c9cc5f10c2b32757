#include <algorithm>
#include <cstring>

#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "../enroll/enroll_wire.h"
#include "../tools/simopts.h"
#include "relay_state.h"

using namespace relaywire;
using simopts::EndpointText;

namespace
{

const int kDatagramBuffer = 2048;
const uint32_t kRecentMs = 3000; // a repeated lookup within this gets the same answer

void PutField(uint8_t* p, size_t field, const std::string& text)
{
    // One byte of the field stays NUL, as the launcher reads at most field - 1 characters.
    memset(p, 0, field);
    memcpy(p, text.data(), std::min(text.size(), field - 1));
}

} // namespace

uint32_t CSimRelay::ListChecksum(const std::vector<RelayServerEntry>& servers)
{
    uint32_t sum = 0;
    for (const RelayServerEntry& e : servers) {
        uint8_t host[HOST_FIELD], name[NAME_FIELD], port[4];
        PutField(host, sizeof host, e.host);
        PutField(name, sizeof name, e.name);
        PutLE32(port, e.port);
        for (uint8_t b : host)
            sum += b;
        for (uint8_t b : port)
            sum += b;
        for (uint8_t b : name)
            sum += b;
    }
    return sum;
}
void CSimRelay::UdpLoop()
{
    uint8_t buf[kDatagramBuffer];
    while (m_bRunning) {
        if (SocketReadable(m_hUdp, 10)) {
            for (int i = 0; i < 256; ++i) {
                QVSockAddr from;
                int n = SocketRecvFrom(m_hUdp, buf, sizeof buf, &from);
                if (n < 0) break;
                HandleDatagram(buf, n, from);
            }
        }
        RunTimers();
    }
}

void CSimRelay::HandleDatagram(const uint8_t* data, int len, const QVSockAddr& from)
{
    if (len < 1) {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.ignored;
        return;
    }
    switch (data[0]) {
    case PROBE:
        HandleProbe(data, len, from);
        break;
    case LIST:
        HandleList(data, len, from);
        break;
    case FIND:
    case FIND_RELAY:
        HandleFind(data, len, from);
        break;
    case enrollwire::ENROLL:
        HandleEnroll(data, len, from);
        break;
    case enrollwire::NOTICE_ACK:
        HandleNoticeAck(data, len, from);
        break;
    default: {
        {
            std::lock_guard<std::mutex> g(m_Lock);
            ++m_Stats.ignored;
        }
        Log(StrPrintf("ignored datagram of type %u (%d bytes) from %s", data[0], len,
                      EndpointText(from).c_str()));
    }
    }
}

bool CSimRelay::Suppressed(RelayRequestKind kind, const std::string& what)
{
    const RelayFault& f = m_Config.faults[kind];
    uint32_t seen;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        seen = ++m_nSeen[kind];
    }
    if (f.silent) {
        Log(what + ": not answered (silent)");
        return true;
    }
    if (seen <= f.dropFirst) {
        Log(StrPrintf("%s: not answered (dropping the first %u)", what.c_str(), f.dropFirst));
        return true;
    }
    return false;
}

void CSimRelay::Answer(RelayRequestKind kind, std::vector<uint8_t> bytes, const QVSockAddr& to,
                       const std::string& what)
{
    const RelayFault& f = m_Config.faults[kind];
    std::string notes;
    if (f.strays) {
        std::vector<uint8_t> stray(1, f.strayType);
        for (uint32_t i = 0; i < f.strays; ++i)
            SendDatagram(stray, to);
        notes += StrPrintf(" [after %u stray datagrams of type %u]", f.strays, f.strayType);
    }
    if (f.truncate && !bytes.empty()) {
        bytes.pop_back();
        notes += StrPrintf(" [cut to %u bytes]", (unsigned)bytes.size());
    }
    if (f.lateMs) {
        auto d = std::make_shared<Delayed>();
        d->due = GetTick() + f.lateMs;
        d->bytes = bytes;
        d->to = to;
        std::lock_guard<std::mutex> g(m_Lock);
        m_Delayed.push_back(d);
        notes += StrPrintf(" [in %u ms]", f.lateMs);
    } else {
        SendDatagram(bytes, to);
    }
    Log(what + " to " + EndpointText(to) + notes);
}

void CSimRelay::HandleProbe(const uint8_t* data, int len, const QVSockAddr& from)
{
    (void)data;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.probes;
    }
    std::string what = StrPrintf("PROBE (%d bytes) from %s", len, EndpointText(from).c_str());
    if (Suppressed(RELAY_PROBE, what)) return;
    std::vector<uint8_t> a(PROBE_ACK_SIZE);
    a[0] = PROBE_ACK;
    enrollwire::PutRecord(&a[1], from);
    PutLE32(&a[17], GetAdvertisedChecksum());
    Answer(RELAY_PROBE, a, from,
           StrPrintf("PROBE ACK (mapped %s, checksum 0x%08X)", EndpointText(from).c_str(),
                     GetAdvertisedChecksum()));
}

void CSimRelay::HandleList(const uint8_t* data, int len, const QVSockAddr& from)
{
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.listRequests;
    }
    if (len < 2) {
        Log(StrPrintf("LIST too short (%d bytes) from %s", len, EndpointText(from).c_str()));
        return;
    }
    uint32_t entry = data[1];
    std::string what = StrPrintf("LIST %u from %s", entry, EndpointText(from).c_str());
    if (Suppressed(RELAY_LIST, what)) return;
    uint32_t count = m_Config.announceSet ? m_Config.announceCount : (uint32_t)m_Config.servers.size();
    if (entry == 0) {
        std::vector<uint8_t> a(LIST_COUNT_SIZE);
        a[0] = LIST_ACK;
        PutLE32(&a[1], GetAdvertisedChecksum());
        PutLE32(&a[5], count);
        Answer(RELAY_LIST, a, from, StrPrintf("LIST ACK count %u", count));
        return;
    }
    if (entry > count) {
        Log(StrPrintf("LIST %u from %s: not answered (the list has %u entries)", entry,
                      EndpointText(from).c_str(), count));
        return;
    }
    RelayServerEntry e;
    if (entry <= m_Config.servers.size()) {
        e = m_Config.servers[entry - 1];
    } else {
        e.name = StrPrintf("Extra %u", entry);
        e.host = StrPrintf("192.0.2.%u", entry & 0xFF);
        e.port = 8500;
    }
    std::vector<uint8_t> a(LIST_ENTRY_SIZE);
    a[0] = LIST_ACK;
    PutField(&a[1], NAME_FIELD, e.name);
    PutField(&a[65], HOST_FIELD, e.host);
    PutLE16(&a[193], (uint16_t)e.port);
    Answer(RELAY_LIST, a, from,
           StrPrintf("LIST ACK entry %u (%s,%s,%u)", entry, e.name.c_str(), e.host.c_str(), e.port));
}

uint32_t CSimRelay::NewSessionId()
{
    uint32_t sid = m_nNextSid++;
    if (sid == enrollwire::TURN_CONTROLLER_MAGIC) sid = m_nNextSid++;
    return sid;
}

namespace
{

// The road a lookup's answer sends the launcher on.
enum LookupRoad { ROAD_NACK, ROAD_PUNCH, ROAD_TURN, ROAD_TCP, ROAD_NONE };

LookupRoad ChooseRoad(const RelayLookupRule& rule, bool enrolled, bool relayed)
{
    switch (rule.mode) {
    case LOOKUP_AUTO:
        return !enrolled ? ROAD_NACK : relayed ? ROAD_TURN : ROAD_PUNCH;
    case LOOKUP_FIND_ACK:
        return (enrolled || rule.hasAddress) ? ROAD_PUNCH : ROAD_NACK;
    case LOOKUP_TURN:
        return ROAD_TURN;
    case LOOKUP_TCP:
        return ROAD_TCP;
    case LOOKUP_NACK:
        return ROAD_NACK;
    case LOOKUP_SILENT:
        return ROAD_NONE;
    }
    return ROAD_NACK;
}

} // namespace

void CSimRelay::HandleFind(const uint8_t* data, int len, const QVSockAddr& from)
{
    const bool relayed = data[0] == FIND_RELAY;
    std::string name = enrollwire::GetName(data + 1, (size_t)(len - 1));
    std::string what = StrPrintf("%s '%s' (%d bytes) from %s", relayed ? "FIND RELAY" : "FIND", name.c_str(),
                                 len, EndpointText(from).c_str());
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++(relayed ? m_Stats.findRelays : m_Stats.finds);
    }
    if (Suppressed(RELAY_FIND, what)) return;
    if (AnswerAgain(data[0], name, from, what)) return;

    auto ruleIt = m_Config.rules.find(name);
    const RelayLookupRule& rule = ruleIt != m_Config.rules.end() ? ruleIt->second : m_Config.defaultRule;
    std::shared_ptr<Enrollment> enrolled = FindEnrolled(name);
    std::vector<uint8_t> a;
    std::string answerText;
    switch (ChooseRoad(rule, enrolled != nullptr, relayed)) {
    case ROAD_NONE:
        Log(what + ": not answered (configured silent)");
        return;
    case ROAD_NACK:
        a = NackAnswer(name, enrolled != nullptr, &answerText);
        break;
    case ROAD_PUNCH:
        a = PunchAnswer(name, rule, enrolled, from, &answerText);
        break;
    case ROAD_TURN:
        a = TurnAnswer(name, enrolled, &answerText);
        break;
    case ROAD_TCP:
        a = TcpAnswer(name, rule, &answerText);
        break;
    }
    Remember(data[0], name, from, a, answerText);
    Log(what);
    Answer(RELAY_FIND, a, from, answerText);
}

// A lookup sent again because an answer was lost or late gets the answer it got
// before: no second session, no second notice to the controller.
bool CSimRelay::AnswerAgain(uint8_t type, const std::string& name, const QVSockAddr& from,
                            const std::string& what)
{
    bool repeated = false;
    std::vector<uint8_t> again;
    std::string againText;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        for (const Recent& r : m_Recent) {
            if (r.type == type && r.name == name && SameEndpoint(r.from, from) &&
                TickSince(r.when) < kRecentMs) {
                repeated = true;
                again = r.answer;
                againText = r.what + " (again)";
                break;
            }
        }
    }
    if (!repeated) return false;
    Log(what);
    Answer(RELAY_FIND, again, from, againText);
    return true;
}

void CSimRelay::Remember(uint8_t type, const std::string& name, const QVSockAddr& from,
                         const std::vector<uint8_t>& answer, const std::string& text)
{
    std::lock_guard<std::mutex> g(m_Lock);
    Recent r;
    r.from = from;
    r.type = type;
    r.name = name;
    r.when = GetTick();
    r.answer = answer;
    r.what = text;
    m_Recent.push_back(r);
}

std::shared_ptr<CSimRelay::Enrollment> CSimRelay::FindEnrolled(const std::string& name)
{
    std::lock_guard<std::mutex> g(m_Lock);
    auto it = m_Enrolled.find(name);
    return it != m_Enrolled.end() ? it->second : nullptr;
}

std::vector<uint8_t> CSimRelay::NackAnswer(const std::string& name, bool enrolled, std::string* text)
{
    *text = StrPrintf("FIND NACK '%s'%s", name.c_str(), enrolled ? "" : " (not enrolled)");
    std::lock_guard<std::mutex> g(m_Lock);
    ++m_Stats.findNacks;
    return std::vector<uint8_t>(1, FIND_NACK);
}

std::vector<uint8_t> CSimRelay::PunchAnswer(const std::string& name, const RelayLookupRule& rule,
                                            const std::shared_ptr<Enrollment>& enrolled,
                                            const QVSockAddr& from, std::string* text)
{
    QVSockAddr target = rule.hasAddress ? rule.address : enrolled->endpoint;
    std::vector<uint8_t> a(FIND_ACK_SIZE, 0);
    a[0] = FIND_ACK;
    enrollwire::PutRecord(&a[1], target);
    *text = StrPrintf("FIND ACK '%s' at %s", name.c_str(), EndpointText(target).c_str());
    if (enrolled && !rule.hasAddress) {
        // Hole punching needs both sides to send: the controller learns where
        // the launcher's datagrams come from.
        uint32_t id;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            id = m_nNextNotice++;
        }
        QueueNotice(
            enrollwire::SendTo(id, from), id, enrolled->endpoint,
            StrPrintf("SENDTO %u (launcher at %s) to '%s'", id, EndpointText(from).c_str(), name.c_str()));
    }
    std::lock_guard<std::mutex> g(m_Lock);
    ++m_Stats.findAcks;
    return a;
}

std::vector<uint8_t> CSimRelay::TurnAnswer(const std::string& name,
                                           const std::shared_ptr<Enrollment>& enrolled, std::string* text)
{
    auto s = std::make_shared<Session>();
    uint32_t id;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        s->id = NewSessionId();
        s->name = name;
        s->created = GetTick();
        m_Sessions[s->id] = s;
        id = m_nNextNotice++;
        ++m_Stats.turnAcks;
    }
    std::vector<uint8_t> a(TURN_ACK_SIZE, 0);
    a[0] = TURN_ACK;
    PutLE32(&a[1], s->id);
    PutLE16(&a[5], m_nTurnPort); // host order on the wire, unlike address records
    *text = StrPrintf("TURN ACK '%s' session %u port %u", name.c_str(), s->id, m_nTurnPort);
    if (enrolled) {
        QueueNotice(enrollwire::TurnOpen(id, s->id, m_nTurnPort), id, enrolled->endpoint,
                    StrPrintf("TURN OPEN %u (session %u) to '%s'", id, s->id, name.c_str()));
    }
    return a;
}

std::vector<uint8_t> CSimRelay::TcpAnswer(const std::string& name, const RelayLookupRule& rule,
                                          std::string* text)
{
    std::vector<uint8_t> a(TCP_ACK_SIZE, 0);
    a[0] = TCP_ACK;
    enrollwire::PutRecord(&a[1], rule.address);
    *text = StrPrintf("TCP ACK '%s' at %s", name.c_str(), EndpointText(rule.address).c_str());
    std::lock_guard<std::mutex> g(m_Lock);
    ++m_Stats.tcpAcks;
    return a;
}

void CSimRelay::HandleEnroll(const uint8_t* data, int len, const QVSockAddr& from)
{
    if ((size_t)len < enrollwire::ENROLL_SIZE) {
        Log(StrPrintf("ENROLL too short (%d bytes) from %s", len, EndpointText(from).c_str()));
        return;
    }
    uint32_t tag = GetLE32(data + 1);
    std::string name = enrollwire::GetName(data + 5, enrollwire::NAME_FIELD);
    if (name.empty()) {
        Log(StrPrintf("ENROLL without a name from %s", EndpointText(from).c_str()));
        return;
    }
    std::string change;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.enrolls;
        std::shared_ptr<Enrollment>& e = m_Enrolled[name];
        if (!e) {
            e = std::make_shared<Enrollment>();
            e->name = name;
            change = StrPrintf("enrolled '%s' at %s (tag %u)", name.c_str(), EndpointText(from).c_str(), tag);
        } else if (!SameEndpoint(e->endpoint, from) || e->tag != tag) {
            change = StrPrintf("enrollment of '%s' moved to %s (tag %u)", name.c_str(),
                               EndpointText(from).c_str(), tag);
        }
        e->endpoint = from;
        e->tag = tag;
        e->lastSeen = GetTick();
    }
    if (!change.empty()) Log(change);
    SendDatagram(enrollwire::EnrollAck(from, m_Config.enrollLifetimeMs), from);
}

void CSimRelay::HandleNoticeAck(const uint8_t* data, int len, const QVSockAddr& from)
{
    if ((size_t)len < enrollwire::NOTICE_ACK_SIZE) return;
    uint32_t id = GetLE32(data + 1);
    bool found = false;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        for (size_t i = 0; i < m_Notices.size(); ++i) {
            if (m_Notices[i]->id == id) {
                m_Notices.erase(m_Notices.begin() + (long)i);
                ++m_Stats.noticesAcked;
                found = true;
                break;
            }
        }
    }
    if (found) Log(StrPrintf("notice %u acknowledged by %s", id, EndpointText(from).c_str()));
}

void CSimRelay::QueueNotice(const std::vector<uint8_t>& bytes, uint32_t id, const QVSockAddr& to,
                            const std::string& what)
{
    auto n = std::make_shared<Notice>();
    n->id = id;
    n->bytes = bytes;
    n->to = to;
    n->what = what;
    n->due = GetTick() + m_Config.noticeResendMs;
    n->triesLeft = m_Config.noticeTries > 0 ? m_Config.noticeTries - 1 : 0;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Notices.push_back(n);
        ++m_Stats.noticesSent;
    }
    SendDatagram(bytes, to);
    Log(what + " at " + EndpointText(to));
}

void CSimRelay::RunTimers()
{
    const uint32_t now = GetTick();
    std::vector<std::shared_ptr<Delayed>> due;
    std::vector<std::shared_ptr<Notice>> resend;
    std::vector<std::string> lines;
    std::vector<QVSOCKET> toClose;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        for (size_t i = 0; i < m_Delayed.size();) {
            if ((int32_t)(now - m_Delayed[i]->due) >= 0) {
                due.push_back(m_Delayed[i]);
                m_Delayed.erase(m_Delayed.begin() + (long)i);
            } else {
                ++i;
            }
        }
        for (size_t i = 0; i < m_Notices.size();) {
            std::shared_ptr<Notice>& n = m_Notices[i];
            if ((int32_t)(now - n->due) < 0) {
                ++i;
                continue;
            }
            if (n->triesLeft == 0) {
                lines.push_back(StrPrintf("notice %u never acknowledged: %s", n->id, n->what.c_str()));
                m_Notices.erase(m_Notices.begin() + (long)i);
                continue;
            }
            --n->triesLeft;
            n->due = now + m_Config.noticeResendMs;
            resend.push_back(n);
            ++i;
        }
        for (auto it = m_Enrolled.begin(); it != m_Enrolled.end();) {
            if ((uint32_t)(now - it->second->lastSeen) > m_Config.enrollLifetimeMs) {
                lines.push_back(StrPrintf("enrollment of '%s' expired", it->first.c_str()));
                it = m_Enrolled.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = m_Sessions.begin(); it != m_Sessions.end();) {
            Session& s = *it->second;
            if ((uint32_t)(now - s.created) > m_Config.turnWaitMs) {
                lines.push_back(StrPrintf("session %u: no partner within %u ms (launcher %s, controller %s)",
                                          s.id, m_Config.turnWaitMs,
                                          s.launcher != QV_INVALID_SOCKET ? "came" : "absent",
                                          s.controller != QV_INVALID_SOCKET ? "came" : "absent"));
                toClose.push_back(s.launcher);
                toClose.push_back(s.controller);
                it = m_Sessions.erase(it);
            } else {
                ++it;
            }
        }
        m_Recent.erase(
            std::remove_if(m_Recent.begin(), m_Recent.end(),
                           [now](const Recent& r) { return (uint32_t)(now - r.when) >= kRecentMs; }),
            m_Recent.end());
    }
    for (auto& d : due)
        SendDatagram(d->bytes, d->to);
    for (auto& n : resend)
        SendDatagram(n->bytes, n->to);
    for (QVSOCKET s : toClose)
        CloseSocket(s);
    for (auto& l : lines)
        Log(l);
    m_Workers.Reap(false);
}
