#include <algorithm>

#include "../../util/socketwait.h"
#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "../enroll/enroll_wire.h"
#include "../tools/simopts.h"
#include "relay_state.h"

using simopts::EndpointText;

namespace
{

const uint32_t kPreambleWaitMs = 3000; // a session connection must say who it is in this time
const int kPumpChunk = 16384;

// Reads exactly len bytes within the time left; false on close, error, time-out or
// once running turns false.
bool RecvExactly(QVSOCKET s, uint8_t* out, int len, uint32_t started, uint32_t limitMs,
                 const std::atomic<bool>& running)
{
    int got = 0;
    while (got < len) {
        uint32_t spent = TickSince(started);
        if (spent >= limitMs || !running) return false;
        if (!SocketReadable(s, std::min<uint32_t>(limitMs - spent, 100))) continue;
        int r = SocketRecv(s, out + got, len - got);
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

} // namespace

void CSimRelay::AcceptLoop()
{
    while (m_bRunning) {
        if (!SocketReadable(m_hListen, 50)) continue;
        QVSockAddr from;
        QVSOCKET s = SocketAccept(m_hListen, &from);
        if (s == QV_INVALID_SOCKET) continue;
        m_Workers.Start([this, s, from] { ServeTcp(s, from); });
    }
}

void CSimRelay::ServeTcp(QVSOCKET s, QVSockAddr from)
{
    const uint32_t started = GetTick();
    uint8_t head[enrollwire::TURN_CONTROLLER_PREAMBLE];
    if (!RecvExactly(s, head, 4, started, kPreambleWaitMs, m_bRunning)) {
        Log(StrPrintf("session connection from %s sent no session id", EndpointText(from).c_str()));
        CloseSocket(s);
        return;
    }
    bool controller = GetLE32(head) == enrollwire::TURN_CONTROLLER_MAGIC;
    if (controller && !RecvExactly(s, head + 4, 4, started, kPreambleWaitMs, m_bRunning)) {
        Log(StrPrintf("controller connection from %s sent no session id", EndpointText(from).c_str()));
        CloseSocket(s);
        return;
    }
    uint32_t sid = GetLE32(controller ? head + 4 : head);
    const char* side = controller ? "controller" : "launcher";
    QVSOCKET launcher = QV_INVALID_SOCKET, ctl = QV_INVALID_SOCKET;
    std::string refusal;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        auto it = m_Sessions.find(sid);
        if (it == m_Sessions.end()) {
            refusal = "unknown session";
        } else {
            Session& ss = *it->second;
            QVSOCKET& slot = controller ? ss.controller : ss.launcher;
            if (slot != QV_INVALID_SOCKET) {
                refusal = "side already connected";
            } else {
                slot = s;
                if (ss.launcher != QV_INVALID_SOCKET && ss.controller != QV_INVALID_SOCKET) {
                    launcher = ss.launcher;
                    ctl = ss.controller;
                    m_Sessions.erase(it);
                    ++m_Stats.sessionsPaired;
                }
            }
        }
    }
    if (!refusal.empty()) {
        Log(StrPrintf("session %u: %s connection from %s refused (%s)", sid, side, EndpointText(from).c_str(),
                      refusal.c_str()));
        CloseSocket(s);
        return;
    }
    Log(StrPrintf("session %u: %s connected from %s", sid, side, EndpointText(from).c_str()));
    if (launcher != QV_INVALID_SOCKET) {
        Log(StrPrintf("session %u: paired, relaying", sid));
        Pump(sid, launcher, ctl);
    }
}

void CSimRelay::Pump(uint32_t sid, QVSOCKET launcher, QVSOCKET controller)
{
    std::vector<uint8_t> buf(kPumpChunk);
    uint64_t up = 0, down = 0;
    const char* why = "relay stopped";
    while (m_bRunning) {
        const SocketPairReady pair = SocketWaitPair(launcher, QV_WAIT_READ, controller, QV_WAIT_READ, 100);
        int ready = ((pair.a & QV_WAIT_READ) ? 1 : 0) | ((pair.b & QV_WAIT_READ) ? 2 : 0);
        bool ended = false;
        for (int side = 0; side < 2 && !ended; ++side) {
            if (!(ready & (1 << side))) continue;
            QVSOCKET src = side == 0 ? launcher : controller;
            QVSOCKET dst = side == 0 ? controller : launcher;
            int n = SocketRecv(src, buf.data(), (int)buf.size());
            if (n <= 0) {
                why = side == 0 ? "launcher closed" : "controller closed";
                ended = true;
            } else if (SocketSend(dst, buf.data(), n) != n) {
                why = side == 0 ? "controller gone" : "launcher gone";
                ended = true;
            } else {
                (side == 0 ? up : down) += (uint64_t)n;
                std::lock_guard<std::mutex> g(m_Lock);
                (side == 0 ? m_Stats.bytesToController : m_Stats.bytesToLauncher) += (uint64_t)n;
            }
        }
        if (ended) break;
    }
    CloseSocket(launcher);
    CloseSocket(controller);
    {
        std::lock_guard<std::mutex> g(m_Lock);
        ++m_Stats.sessionsEnded;
    }
    Log(StrPrintf("session %u ended (%s): %llu bytes to the controller, %llu to the launcher", sid, why,
                  (unsigned long long)up, (unsigned long long)down));
}
