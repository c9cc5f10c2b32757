#include "dserver.h"

#include <algorithm>

#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "../tools/simopts.h"

using namespace dserverwire;
using simopts::EndpointText;

namespace
{

void PutString(std::vector<uint8_t>* out, const std::string& text, size_t itemStartInPayload,
               DServerPadding padding)
{
    uint8_t count[4];
    PutLE32(count, (uint32_t)text.size());
    out->insert(out->end(), count, count + 4);
    out->insert(out->end(), text.begin(), text.end());
    size_t end = padding == PAD_ITEM ? 4 + text.size() : itemStartInPayload + 4 + text.size();
    while (end % 4) {
        out->push_back(0);
        ++end;
    }
}

void PutHeader(std::vector<uint8_t>* out, uint16_t command, uint32_t payload)
{
    uint8_t h[HEADER];
    PutLE16(h, 0);
    PutLE16(h + 2, command);
    PutLE32(h + 4, payload);
    out->insert(out->begin(), h, h + HEADER);
}

} // namespace

CSimDServer::CSimDServer(const DServerConfig& config)
    : m_Config(config), m_bRunning(false), m_hListen(QV_INVALID_SOCKET), m_nAddress(0), m_nPort(0)
{
}

CSimDServer::~CSimDServer()
{
    Stop();
}

std::vector<uint8_t> CSimDServer::EncodeAnswer(const DServerSystem& system, DServerPadding padding)
{
    std::vector<uint8_t> p;
    p.push_back(system.found);
    p.push_back(system.licensed);
    PutString(&p, system.address, p.size(), padding);
    p.push_back((uint8_t)system.port); // host order (little-endian), unlike address records
    p.push_back((uint8_t)(system.port >> 8));
    p.push_back(system.open);
    p.push_back(system.relay);
    PutHeader(&p, ANSWER, (uint32_t)p.size());
    return p;
}

std::vector<uint8_t> CSimDServer::EncodeQuery(const std::string& name)
{
    std::vector<uint8_t> p;
    PutString(&p, name, 0, PAD_ITEM);
    PutString(&p, name, p.size(), PAD_ITEM);
    PutHeader(&p, QUERY, (uint32_t)p.size());
    return p;
}

bool CSimDServer::Start()
{
    if (m_bRunning) return true;
    m_nAddress = m_Config.listenAddress ? m_Config.listenAddress : LoopbackAddress();
    m_hListen = SocketTcp();
    if (m_hListen == QV_INVALID_SOCKET) return false;
    SocketSetReuseAddr(m_hListen);
    QVSockAddr bound;
    if (!SocketBind(m_hListen, MakeSockAddr(m_nAddress, m_Config.port)) || !SocketListen(m_hListen, 16) ||
        !SocketLocalAddr(m_hListen, &bound)) {
        CloseSocket(m_hListen);
        m_hListen = QV_INVALID_SOCKET;
        return false;
    }
    m_nPort = SockAddrPort(bound);
    m_bRunning = true;
    m_AcceptThread = std::thread(&CSimDServer::AcceptLoop, this);
    return true;
}

void CSimDServer::Stop()
{
    m_bRunning = false;
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    m_Workers.Reap(true);
    CloseSocket(m_hListen);
    m_hListen = QV_INVALID_SOCKET;
}

void CSimDServer::AcceptLoop()
{
    while (m_bRunning) {
        m_Workers.Reap(false);
        if (!SocketReadable(m_hListen, 50)) continue;
        QVSockAddr from;
        QVSOCKET s = SocketAccept(m_hListen, &from);
        if (s == QV_INVALID_SOCKET) continue;
        m_Workers.Start([this, s, from] {
            Serve(s, from);
            CloseSocket(s);
        });
        Count([](DServerStats& st) { ++st.connections; });
    }
}

void CSimDServer::Serve(QVSOCKET s, QVSockAddr from)
{
    const std::string peer = EndpointText(from);
    const uint32_t started = GetTick();
    std::vector<uint8_t> in;
    size_t want = HEADER;
    uint8_t buf[4096];
    while (in.size() < want) {
        uint32_t spent = TickSince(started);
        if (!m_bRunning || spent >= m_Config.readWaitMs) {
            Log(StrPrintf("query from %s incomplete after %u ms (%u bytes)", peer.c_str(), spent,
                          (unsigned)in.size()));
            return;
        }
        if (!SocketReadable(s, std::min<uint32_t>(100, m_Config.readWaitMs - spent))) continue;
        int n = SocketRecv(s, buf, (int)std::min<size_t>(sizeof buf, want - in.size()));
        if (n <= 0) {
            Log(StrPrintf("connection from %s closed after %u bytes of a query", peer.c_str(),
                          (unsigned)in.size()));
            return;
        }
        in.insert(in.end(), buf, buf + n);
        if (in.size() == HEADER && want == HEADER) {
            uint32_t payload = GetLE32(&in[4]);
            if (payload > m_Config.maxPayload) {
                std::lock_guard<std::mutex> g(m_Lock);
                ++m_Stats.badQueries;
                Log(StrPrintf("query from %s announces %u bytes: refused", peer.c_str(), payload));
                return;
            }
            want = HEADER + payload;
        }
    }
    uint16_t command = GetLE16(&in[2]);
    const uint8_t* p = in.data() + HEADER;
    size_t len = in.size() - HEADER;
    // The name is the first string item; the second one repeats it.
    std::string name;
    bool wellFormed = command == QUERY && len >= 4;
    if (wellFormed) {
        uint32_t count = GetLE32(p);
        wellFormed = count <= len - 4;
        if (wellFormed) name.assign((const char*)p + 4, count);
    }
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.queries;
        if (!wellFormed) ++m_Stats.badQueries;
    }
    if (!wellFormed) {
        Log(StrPrintf("malformed query from %s (command 0x%04X, %u payload bytes)", peer.c_str(), command,
                      (unsigned)len));
        return;
    }
    Log(StrPrintf("query '%s' from %s (%u payload bytes)", name.c_str(), peer.c_str(), (unsigned)len));

    const DServerFaults& f = m_Config.faults;
    if (f.silent) {
        Log(StrPrintf("query '%s': not answered (silent)", name.c_str()));
        while (m_bRunning && TickSince(started) < 60000) {
            // Hold the connection open until the launcher gives up.
            if (SocketReadable(s, 100) && SocketRecv(s, buf, sizeof buf) <= 0) break;
        }
        return;
    }
    std::vector<uint8_t> out;
    std::string what;
    auto it = m_Config.systems.find(name);
    if (it == m_Config.systems.end()) {
        PutHeader(&out, m_Config.notFoundCommand, 0);
        what = StrPrintf("not found (command 0x%04X)", m_Config.notFoundCommand);
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.notFound;
    } else {
        const DServerSystem& sys = it->second;
        out = EncodeAnswer(sys, m_Config.padding);
        what = StrPrintf("found:%u licensed:%u address:'%s' port:%u open:%u relay:%u", sys.found,
                         sys.licensed, sys.address.c_str(), sys.port, sys.open, sys.relay);
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.answered;
    }
    // Padding at the end of the payload: the launcher reads items in order and does
    // not look past the last one.
    size_t target = f.oversize ? ANSWER_LIMIT + 1 : f.exact1024 ? ANSWER_LIMIT : 0;
    if (target > out.size()) {
        out.resize(target, 0);
        PutLE32(&out[4], (uint32_t)(out.size() - HEADER));
        what += StrPrintf(" [padded to %u bytes]", (unsigned)out.size());
    }
    if (f.closeAfterHeader) {
        out.resize(HEADER);
        what += " [header only, then closed]";
    }
    if (f.lateMs) {
        what += StrPrintf(" [after %u ms]", f.lateMs);
        uint32_t t = GetTick();
        while (m_bRunning && TickSince(t) < f.lateMs)
            SleepMs(10);
    }
    if (f.dribbleMs) what += StrPrintf(" [one byte every %u ms]", f.dribbleMs);
    Log(StrPrintf("answer '%s' to %s (%u bytes): %s", name.c_str(), peer.c_str(), (unsigned)out.size(),
                  what.c_str()));
    if (!Send(s, out, f)) {
        Log(StrPrintf("answer to %s broke off: the launcher closed", peer.c_str()));
        return;
    }
    // Let the launcher read everything before the close: wait for its side to close.
    uint32_t t = GetTick();
    while (m_bRunning && TickSince(t) < 5000) {
        if (SocketReadable(s, 100) && SocketRecv(s, buf, sizeof buf) <= 0) break;
    }
}

bool CSimDServer::Send(QVSOCKET s, const std::vector<uint8_t>& bytes, const DServerFaults& f)
{
    if (!f.dribbleMs) return SocketSend(s, bytes.data(), (int)bytes.size()) == (int)bytes.size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!m_bRunning || SocketSend(s, &bytes[i], 1) != 1) return false;
        SleepMs(f.dribbleMs);
    }
    return true;
}
