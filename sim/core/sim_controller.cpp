#include "sim_controller.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

#include "../../protocol/qvcode.h"
#include "../../remote/rudpclient.h"
#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "sim_stream.h"

namespace
{

const char kPreamble[] = "CONNECTSERVERHOST\r\n\r\n";
const size_t kPreambleLength = 21;
const uint32_t kMaxBody = 2000000;
const uint16_t kUnsolicitedId = 0x7FFF;
const uint32_t kRevision = 1528;
const char kLauncherVersion[] = "8.6 Build 522.0 Rel";

// The simulator's own view of which client names go with which type numbers;
// kept apart from the launcher's table so that a mistake there shows up here.
struct KnownClient {
    const char* name;
    uint32_t type;
};
const KnownClient kKnownClients[] = {
    {"Win Rerudi", 0}, {"Config", 3},  {"Service", 4},   {"Peer", 9},     {"Win32 Client", 0},
    {"OSD", 13},       {"minipad", 5}, {"Extender", 18}, {"Upgrade", 19}, {"TC-Config", 20},
};

void AppendWord(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t b[4];
    PutLE32(b, v);
    out.insert(out.end(), b, b + 4);
}

void AppendPadded(std::vector<uint8_t>& out, const uint8_t* data, size_t n)
{
    out.insert(out.end(), data, data + n);
    while (out.size() % 4)
        out.push_back(0);
}

void AppendString(std::vector<uint8_t>& out, const std::string& text)
{
    AppendWord(out, (uint32_t)text.size());
    AppendPadded(out, (const uint8_t*)text.data(), text.size());
}

// Bounds-checked reader over a request body; every failure is sticky.
class BodyReader
{
  public:
    BodyReader(const uint8_t* p, uint32_t n) : m_p(p), m_n(n), m_pos(0), m_ok(true) {}
    bool Word(uint32_t* v)
    {
        if (!m_ok || m_n - m_pos < 4) return m_ok = false;
        *v = GetLE32(m_p + m_pos);
        m_pos += 4;
        return true;
    }
    bool Bytes(uint8_t* dest, uint32_t count)
    {
        if (!m_ok || m_n - m_pos < count) return m_ok = false;
        memcpy(dest, m_p + m_pos, count);
        m_pos += count;
        return true;
    }
    bool String(std::string* s)
    {
        uint32_t len;
        if (!Word(&len)) return false;
        if (len & 0x80000000u) return m_ok = false; // launchers write 8-bit text only
        uint32_t padded = (len + 3) & ~3u;
        if (len > m_n || m_n - m_pos < padded) return m_ok = false;
        s->assign((const char*)m_p + m_pos, len);
        m_pos += padded;
        return true;
    }
    uint32_t Left() const { return m_n - m_pos; }

  private:
    const uint8_t* m_p;
    uint32_t m_n;
    uint32_t m_pos;
    bool m_ok;
};

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

bool FaultApplies(const SimFaults& f, uint16_t requestCode)
{
    return f.onCode == 0 || f.onCode == requestCode;
}

std::string EndpointText(const QVSockAddr& a)
{
    const uint8_t* b = (const uint8_t*)&a.addr;
    return StrPrintf("%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], SockAddrPort(a));
}

std::string ParamsText(const TransferParams& p)
{
    return StrPrintf("%u/%u/%u/%u/%u/%u", p.MaxPayload, p.HighUnacked, p.LowUnacked, p.HighQueued,
                     p.LowQueued, p.Slots);
}

bool SameParams(const TransferParams& a, const TransferParams& b)
{
    return a.MaxPayload == b.MaxPayload && a.HighUnacked == b.HighUnacked && a.LowUnacked == b.LowUnacked &&
           a.HighQueued == b.HighQueued && a.LowQueued == b.LowQueued && a.Slots == b.Slots;
}

} // namespace

enum SimRoad { ROAD_DIRECT, ROAD_RELAYED, ROAD_PUNCHED };

struct CSimController::Connection {
    SimRoad road = ROAD_DIRECT;
    QVSOCKET udp = QV_INVALID_SOCKET; // punched: the path until its stream starts
    QVSockAddr launcher{};            // punched: where the launcher's datagrams come from
    // The serving thread's stream, and the same under m_Lock for whoever must
    // abort it (Stop, CloseConnections); freed by the last of them to let go.
    CSimStream* io = nullptr;
    std::shared_ptr<CSimStream> stream;
    size_t index = 0;
    std::atomic<bool> kill{false};
    std::atomic<bool> finished{false};
    bool loggedIn = false;
    bool open = true;                         // guarded by m_Lock
    std::vector<uint8_t> received;            // guarded by m_Lock
    std::vector<std::vector<uint8_t>> outbox; // guarded by m_Lock
    std::thread thread;                       // touched only by the accept loop and Stop
};

CSimController::CSimController(const SimConfig& config)
    : m_Config(config), m_bRunning(false), m_hListen(QV_INVALID_SOCKET), m_nPort(0), m_nAddress(0)
{
}

CSimController::~CSimController()
{
    Stop();
}

bool CSimController::Start()
{
    if (m_bRunning.load()) return true;
    SocketStartup();
    m_nAddress = m_Config.listenAddress ? m_Config.listenAddress : LoopbackAddress();
    QVSOCKET s = SocketTcp();
    if (s == QV_INVALID_SOCKET) return false;
    SocketSetReuseAddr(s);
    if (!SocketBind(s, MakeSockAddr(m_nAddress, m_Config.port)) || !SocketListen(s, 16)) {
        CloseSocket(s);
        return false;
    }
    QVSockAddr local;
    if (!SocketLocalAddr(s, &local)) {
        CloseSocket(s);
        return false;
    }
    m_nPort = SockAddrPort(local);
    m_hListen = s;
    m_bRunning = true;
    const uint8_t* a = (const uint8_t*)&m_nAddress;
    Log(StrPrintf("listening on %u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], m_nPort));
    m_AcceptThread = std::thread(&CSimController::AcceptLoop, this);
    return true;
}

void CSimController::Stop()
{
    if (!m_bRunning.exchange(false)) return;
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        all = m_Connections;
    }
    for (auto& c : all) {
        c->kill = true;
        AbortStream(*c);
    }
    for (auto& c : all)
        if (c->thread.joinable()) c->thread.join();
    CloseSocket(m_hListen);
    m_hListen = QV_INVALID_SOCKET;
}

QVSockAddr CSimController::GetAddress() const
{
    return MakeSockAddr(m_nAddress, m_nPort);
}

void CSimController::SetFaults(const SimFaults& faults)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Config.faults = faults;
}

void CSimController::SetVersion(const std::string& version)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Config.version = version;
}

void CSimController::SetPassword(const std::string& password)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Config.password = password;
}

void CSimController::SetViewerFile(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Config.viewerFile = bytes;
    m_Config.viewerPath.clear();
}

void CSimController::SetConfigFile(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Config.configFile = bytes;
    m_Config.configPath.clear();
}

void CSimController::SetPieceSize(uint32_t pieceSize)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Config.pieceSize = pieceSize;
}

void CSimController::Push(uint16_t id, uint16_t code, const std::vector<uint8_t>& body)
{
    PushRaw(Encode(id, code, body));
}

void CSimController::PushRaw(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> g(m_Lock);
    for (auto& c : m_Connections)
        if (c->open) c->outbox.push_back(bytes);
}

void CSimController::CloseConnections()
{
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        all = m_Connections;
    }
    for (auto& c : all) {
        c->kill = true;
        AbortStream(*c);
    }
}

// A session blocked in a send on a reliable stream waits for the launcher's window;
// only the stream's own close ends that wait at once.
void CSimController::AbortStream(Connection& conn)
{
    std::shared_ptr<CSimStream> s;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        s = conn.stream;
    }
    if (s) s->Abort();
}

bool CSimController::ServeRelayed(QVSOCKET tcp, uint32_t sessionId)
{
    auto conn = std::make_shared<Connection>();
    conn->road = ROAD_RELAYED;
    conn->stream.reset(NewSimTcpStream(tcp));
    conn->io = conn->stream.get();
    return AddConnection(conn, StrPrintf("turn session %u", sessionId));
}

bool CSimController::ServePunched(QVSOCKET udp, const QVSockAddr& launcher)
{
    auto conn = std::make_shared<Connection>();
    conn->road = ROAD_PUNCHED;
    conn->udp = udp;
    conn->launcher = launcher;
    if (AddConnection(conn, "punched from " + EndpointText(launcher))) return true;
    CloseSocket(udp);
    return false;
}

bool CSimController::AddConnection(std::shared_ptr<Connection> conn, const std::string& what)
{
    unsigned n;
    {
        // Checked under the lock that Stop takes to list the connections it joins:
        // a connection is either on that list or refused.
        std::lock_guard<std::mutex> g(m_Lock);
        if (!m_bRunning.load()) return false;
        conn->index = m_Connections.size();
        n = (unsigned)conn->index;
        m_Connections.push_back(conn);
        m_Stats.connections++;
        m_Stats.openConnections++;
        if (conn->road == ROAD_RELAYED) m_Stats.relayedSessions++;
        if (conn->road == ROAD_PUNCHED) m_Stats.punchedSessions++;
    }
    m_Changed.notify_all();
    Log(StrPrintf("conn %u: %s", n, what.c_str()));
    std::lock_guard<std::mutex> g(m_Lock);
    conn->thread = std::thread(&CSimController::Serve, this, conn);
    return true;
}

SimStats CSimController::GetStats() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Stats;
}

std::vector<std::string> CSimController::GetLog() const
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Log;
}

void CSimController::SetLogCallback(SimLogCallback callback)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_pfnLog = callback;
}

std::vector<uint8_t> CSimController::GetReceived(size_t index) const
{
    std::lock_guard<std::mutex> g(m_Lock);
    if (index >= m_Connections.size()) return std::vector<uint8_t>();
    return m_Connections[index]->received;
}

bool CSimController::WaitUntil(const std::function<bool(const SimStats&)>& condition,
                               uint32_t timeoutMs) const
{
    std::unique_lock<std::mutex> g(m_Lock);
    return m_Changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return condition(m_Stats); });
}

bool CSimController::ExpectedResponse(const std::string& password, const std::string& challenge,
                                      uint8_t out[16])
{
    memset(out, 0, 16);
    std::vector<uint8_t> key = PadTo16(password, 0);
    std::vector<uint8_t> input = PadTo16(challenge, 0);
    CQVCode code;
    if (!code.MakeKey(key.data(), (int)key.size())) return false;
    return code.EncryptBlock(input.data(), out);
}

std::vector<uint8_t> CSimController::Encode(uint16_t id, uint16_t code, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> out(8 + body.size());
    PutLE16(&out[0], id);
    PutLE16(&out[2], code);
    PutLE32(&out[4], (uint32_t)body.size());
    if (!body.empty()) memcpy(&out[8], body.data(), body.size());
    return out;
}

void CSimController::Log(const std::string& line)
{
    SimLogCallback cb;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Log.push_back(line);
        cb = m_pfnLog;
    }
    if (cb) cb(line);
}

template <class F> void CSimController::Count(F f)
{
    {
        std::lock_guard<std::mutex> g(m_Lock);
        f(m_Stats);
    }
    m_Changed.notify_all();
}

void CSimController::AcceptLoop()
{
    while (m_bRunning.load()) {
        // Threads of connections that ended are joined here so that a long-running
        // simulator does not collect them.
        {
            std::lock_guard<std::mutex> g(m_Lock);
            for (auto& c : m_Connections)
                if (c->finished.load() && c->thread.joinable()) c->thread.join();
        }
        if (!SocketReadable(m_hListen, 50)) continue;
        QVSockAddr from;
        QVSOCKET s = SocketAccept(m_hListen, &from);
        if (s == QV_INVALID_SOCKET) continue;
        auto conn = std::make_shared<Connection>();
        conn->stream.reset(NewSimTcpStream(s));
        conn->io = conn->stream.get();
        AddConnection(conn, "connected from " + EndpointText(from));
    }
}

// Sends wait in short rounds that notice a stop or a drop request, so that a
// launcher that stops reading cannot hold a simulator thread (and Stop) forever.
bool CSimController::SendAll(Connection& conn, const uint8_t* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        if (conn.kill.load() || !m_bRunning.load()) return false;
        size_t left = size - done;
        int r = conn.io->Write(data + done, left > 0x40000000u ? 0x40000000 : (int)left, 50);
        if (r < 0) return false;
        done += (size_t)r;
    }
    return true;
}

// The controller's side of a punched path up to a running stream.
bool CSimController::StartPunched(Connection& conn, const char** why)
{
    const unsigned n = (unsigned)conn.index;
    PunchedStart start;
    std::string problem;
    QVSOCKET udp = conn.udp;
    conn.udp = QV_INVALID_SOCKET; // the stream (or the failure) closes it
    uint32_t waitMs;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        waitMs = m_Config.punchedStartMs;
    }
    CRUDPClient* client = StartPunchedStream(
        udp, conn.launcher, waitMs, [&] { return conn.kill.load() || !m_bRunning.load(); }, &start, &problem);
    if (!client) {
        Log(StrPrintf("conn %u: no stream: %s", n, problem.c_str()));
        *why = "no stream";
        return false;
    }
    std::shared_ptr<CSimStream> stream(NewSimDatagramStream(client));
    {
        std::lock_guard<std::mutex> g(m_Lock);
        conn.stream = stream;
        m_Stats.streamsStarted++;
    }
    conn.io = stream.get();
    m_Changed.notify_all();
    if (!start.proposed)
        Log(StrPrintf("conn %u: no params proposed (data came first), %s stays", n,
                      ParamsText(start.params).c_str()));
    else if (SameParams(start.offered, start.params))
        Log(StrPrintf("conn %u: params %s", n, ParamsText(start.params).c_str()));
    else
        Log(StrPrintf("conn %u: params %s refused, %s stays", n, ParamsText(start.offered).c_str(),
                      ParamsText(start.params).c_str()));
    if (start.strangersIgnored)
        Log(StrPrintf("conn %u: %u datagrams from other senders ignored", n, start.strangersIgnored));
    // A stop that came while the stream was starting must still reach it.
    if (conn.kill.load() || !m_bRunning.load()) stream->Abort();
    return true;
}

bool CSimController::SendRaw(Connection& conn, const std::vector<uint8_t>& bytes, bool dribble)
{
    if (bytes.empty()) return true;
    if (!dribble) return SendAll(conn, bytes.data(), bytes.size());
    for (size_t i = 0; i < bytes.size(); i++) {
        if (!SendAll(conn, &bytes[i], 1)) return false;
        // Pauses make the receiver see the bytes in many separate reads; long
        // messages pause less often so that a dribbled download stays quick.
        if (i < 256 || i % 256 == 0) SleepMs(1);
    }
    return true;
}

void CSimController::Serve(std::shared_ptr<Connection> connPtr)
{
    Connection& conn = *connPtr;
    const unsigned n = (unsigned)conn.index;
    std::vector<uint8_t> buf;
    size_t start = 0; // consumed bytes at the front of buf
    // Only the direct road opens with the greeting; on the others the launcher's
    // first bytes are a message, and a greeting there is a launcher's mistake.
    bool preambleSeen = conn.road != ROAD_DIRECT;
    bool firstHeaderChecked = conn.road == ROAD_DIRECT;
    std::vector<uint8_t> chunk(65536);
    const char* why = "peer closed";

    bool started = conn.road != ROAD_PUNCHED || StartPunched(conn, &why);
    while (started && m_bRunning.load()) {
        if (conn.kill.load()) {
            why = "dropped on request";
            break;
        }
        std::vector<std::vector<uint8_t>> out;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            out.swap(conn.outbox);
        }
        bool sendFailed = false;
        for (auto& m : out) {
            if (!SendRaw(conn, m, false)) {
                sendFailed = true;
                break;
            }
            Count([](SimStats& s) { s.pushesSent++; });
        }
        if (sendFailed) {
            why = "send failed";
            break;
        }
        int r = conn.io->Read(chunk.data(), (int)chunk.size(), 20, &why);
        if (r == 0) continue;
        if (r < 0) break;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            size_t room = m_Config.captureLimit > conn.received.size()
                              ? m_Config.captureLimit - conn.received.size()
                              : 0;
            size_t keep = (size_t)r < room ? (size_t)r : room;
            conn.received.insert(conn.received.end(), chunk.begin(), chunk.begin() + keep);
        }
        buf.insert(buf.end(), chunk.begin(), chunk.begin() + r);

        if (!preambleSeen) {
            if (buf.size() < kPreambleLength) {
                if (memcmp(buf.data(), kPreamble, buf.size()) == 0) continue;
            }
            if (memcmp(buf.data(), kPreamble, buf.size() < kPreambleLength ? buf.size() : kPreambleLength) !=
                0) {
                Count([](SimStats& s) { s.preamblesBad++; });
                Log(StrPrintf("conn %u: bad greeting", n));
                why = "bad greeting";
                break;
            }
            preambleSeen = true;
            start = kPreambleLength;
            Count([](SimStats& s) { s.preamblesOk++; });
            Log(StrPrintf("conn %u: greeting ok", n));
        }

        if (!firstHeaderChecked && buf.size() - start >= 8) {
            firstHeaderChecked = true;
            if (memcmp(&buf[start], kPreamble, 8) == 0) {
                Count([](SimStats& s) { s.preamblesBad++; });
                Log(StrPrintf("conn %u: direct greeting on a %s stream", n,
                              conn.road == ROAD_RELAYED ? "relayed" : "punched"));
                why = "greeting where none belongs";
                break;
            }
        }

        bool end = false;
        while (buf.size() - start >= 8) {
            const uint8_t* h = &buf[start];
            uint16_t id = GetLE16(h);
            uint16_t code = GetLE16(h + 2);
            uint32_t len = GetLE32(h + 4);
            if (len > kMaxBody) {
                Count([](SimStats& s) { s.badRequests++; });
                Log(StrPrintf("conn %u: oversized header (code %u, %u bytes)", n, code, len));
                why = "oversized header";
                end = true;
                break;
            }
            if (buf.size() - start < 8 + (size_t)len) break;
            if (!HandleMessage(conn, id, code, h + 8, len)) {
                why = "closed by simulator";
                end = true;
                break;
            }
            start += 8 + len;
        }
        if (end) break;
        if (start > 0 && start == buf.size()) {
            buf.clear();
            start = 0;
        } else if (start > 65536) {
            buf.erase(buf.begin(), buf.begin() + (ptrdiff_t)start);
            start = 0;
        }
    }

    if (conn.io) conn.io->Close();
    std::shared_ptr<CSimStream> last;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        last.swap(conn.stream); // freed below, unless an abort is still inside it
        conn.io = nullptr;
        conn.open = false;
        conn.outbox.clear();
        m_Stats.closes++;
        m_Stats.openConnections--;
    }
    m_Changed.notify_all();
    Log(StrPrintf("conn %u: closed (%s)", n, why));
    conn.finished = true;
}

bool CSimController::Answer(Connection& conn, uint16_t id, uint16_t code, const std::vector<uint8_t>& body,
                            const SimFaults& f, uint16_t requestCode)
{
    const unsigned n = (unsigned)conn.index;
    if (!FaultApplies(f, requestCode)) return SendRaw(conn, Encode(id, code, body), false);
    if (f.silent) {
        Log(StrPrintf("conn %u: no answer to %u (silent)", n, requestCode));
        return true;
    }
    std::vector<uint8_t> word(4);
    if (f.extraForOtherId) {
        PutLE32(&word[0], 1);
        if (!SendRaw(conn, Encode(f.otherId, SIM_MSG_STRAY, word), f.dribble)) return false;
    }
    if (f.unsolicitedFirst) {
        PutLE32(&word[0], 2);
        if (!SendRaw(conn, Encode(kUnsolicitedId, SIM_MSG_STRAY, word), f.dribble)) return false;
    }
    if (f.oversizedHeader) {
        std::vector<uint8_t> h(8);
        PutLE16(&h[0], id);
        PutLE16(&h[2], code);
        PutLE32(&h[4], kMaxBody + 1);
        Log(StrPrintf("conn %u: oversized header instead of %u", n, code));
        return SendRaw(conn, h, f.dribble);
    }
    uint16_t sent = f.wrongReplyCode ? f.wrongCode : code;
    std::vector<uint8_t> bytes = Encode(id, sent, body);
    if (f.closeMidMessage) {
        bytes.resize(bytes.size() > 1 ? bytes.size() / 2 : 1);
        SendRaw(conn, bytes, f.dribble);
        Log(StrPrintf("conn %u: closing in the middle of %u", n, sent));
        return false;
    }
    return SendRaw(conn, bytes, f.dribble);
}

bool CSimController::HandleMessage(Connection& conn, uint16_t id, uint16_t code, const uint8_t* body,
                                   uint32_t length)
{
    const unsigned n = (unsigned)conn.index;
    SimFaults faults;
    bool requireLogin;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Stats.messagesByCode[code]++;
        faults = m_Config.faults;
        requireLogin = m_Config.requireLogin;
    }
    m_Changed.notify_all();
    std::vector<uint8_t> reply;

    switch (code) {
    case 14: {
        std::string challenge;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            challenge = m_Config.challenge;
        }
        Count([](SimStats& s) { s.challenges++; });
        Log(StrPrintf("conn %u: challenge asked (id %u)", n, id));
        AppendString(reply, challenge);
        return Answer(conn, id, 15, reply, faults, code);
    }
    case 27:
        return HandleLogin(conn, id, body, length, faults);
    case 8120: {
        if (requireLogin && !conn.loggedIn) {
            Count([](SimStats& s) { s.badRequests++; });
            Log(StrPrintf("conn %u: version asked before login", n));
            return true;
        }
        std::string version;
        uint32_t word;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            version = m_Config.version;
            word = m_Config.versionWord;
        }
        Count([](SimStats& s) { s.versionRequests++; });
        Log(StrPrintf("conn %u: version asked (id %u): %s", n, id, version.c_str()));
        AppendString(reply, version);
        AppendWord(reply, word);
        return Answer(conn, id, 8121, reply, faults, code);
    }
    case 8130:
    case 8148:
        return HandleDownload(conn, id, code, body, length, faults);
    case SIM_MSG_ECHO:
        Count([](SimStats& s) { s.echoes++; });
        Log(StrPrintf("conn %u: echo (id %u, %u bytes)", n, id, length));
        reply.assign(body, body + length);
        return Answer(conn, id, SIM_MSG_ECHO_REPLY, reply, faults, code);
    default:
        Count([](SimStats& s) { s.badRequests++; });
        Log(StrPrintf("conn %u: unknown message code %u (id %u, %u bytes)", n, code, id, length));
        return true;
    }
}

bool CSimController::HandleLogin(Connection& conn, uint16_t id, const uint8_t* body, uint32_t length,
                                 const SimFaults& faults)
{
    const unsigned n = (unsigned)conn.index;
    SimLoginInfo info;
    BodyReader r(body, length);
    info.complete = r.Word(&info.revision) && r.Word(&info.typeNumber) && r.String(&info.description) &&
                    r.Word(&info.word16) && r.Bytes(info.response, 16) && r.Word(&info.word2) &&
                    r.String(&info.hardwareAddress) && r.String(&info.platformA) &&
                    r.String(&info.platformB) && r.String(&info.computerName) && r.Left() == 0;

    std::string password, challenge;
    uint16_t refusedCode;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        password = m_Config.password;
        challenge = m_Config.challenge;
        refusedCode = m_Config.loginRefusedCode;
        m_Stats.lastLogin = info;
    }

    std::string problem;
    if (!info.complete)
        problem = "fields missing or malformed";
    else if (info.revision != kRevision)
        problem = StrPrintf("revision %u", info.revision);
    else if (info.word16 != 16)
        problem = StrPrintf("response size word %u", info.word16);
    else if (info.word2 != 2)
        problem = StrPrintf("word after the response %u", info.word2);
    else {
        bool known = false;
        for (const KnownClient& k : kKnownClients) {
            if (info.description == std::string(k.name) + " " + kLauncherVersion) {
                known = true;
                if (info.typeNumber != k.type)
                    problem = StrPrintf("type %u does not go with \"%s\"", info.typeNumber, k.name);
                break;
            }
        }
        if (!known) problem = "unknown description \"" + info.description + "\"";
    }
    if (problem.empty()) {
        uint8_t expected[16];
        if (!ExpectedResponse(password, challenge, expected) || memcmp(expected, info.response, 16) != 0)
            problem = "wrong password";
    }

    if (!problem.empty()) {
        Count([](SimStats& s) { s.loginsRefused++; });
        Log(StrPrintf("conn %u: login refused (id %u): %s", n, id, problem.c_str()));
        return Answer(conn, id, refusedCode, std::vector<uint8_t>(), faults, 27);
    }
    conn.loggedIn = true;
    Count([](SimStats& s) { s.loginsOk++; });
    Log(StrPrintf("conn %u: login ok (id %u): %s, type %u", n, id, info.description.c_str(),
                  info.typeNumber));
    return Answer(conn, id, 28, std::vector<uint8_t>(), faults, 27);
}

bool CSimController::HandleDownload(Connection& conn, uint16_t id, uint16_t code, const uint8_t* body,
                                    uint32_t length, const SimFaults& faults)
{
    const unsigned n = (unsigned)conn.index;
    const bool viewer = code == 8130;
    BodyReader r(body, length);
    uint32_t w[3] = {0, 0, 0};
    bool fieldsOk = viewer
                        ? (r.Word(&w[0]) && r.Word(&w[1]) && r.Word(&w[2]) && r.Left() == 0 && w[0] == 0 &&
                           w[1] == 2 && w[2] == kRevision)
                        : (r.Word(&w[0]) && r.Word(&w[1]) && r.Left() == 0 && w[0] == 3 && w[1] == kRevision);
    if (!fieldsOk) {
        Count([](SimStats& s) { s.badRequests++; });
        Log(StrPrintf("conn %u: download request %u has unexpected fields", n, code));
    }
    if (!conn.loggedIn) {
        bool require;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            require = m_Config.requireLogin;
        }
        if (require) {
            Count([](SimStats& s) { s.badRequests++; });
            Log(StrPrintf("conn %u: download asked before login", n));
            return true;
        }
    }

    std::vector<uint8_t> file;
    std::string path;
    uint32_t pieceSize;
    uint16_t wholeCode, pieceCode;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        path = viewer ? m_Config.viewerPath : m_Config.configPath;
        if (path.empty()) file = viewer ? m_Config.viewerFile : m_Config.configFile;
        pieceSize = m_Config.pieceSize;
        wholeCode = viewer ? m_Config.viewerWholeCode : m_Config.configWholeCode;
        pieceCode = m_Config.pieceCode;
    }
    if (!path.empty() && !ReadWholeFile(path, &file)) {
        Log(StrPrintf("conn %u: cannot read %s; serving an empty file", n, path.c_str()));
        file.clear();
    }
    Count([viewer](SimStats& s) {
        s.downloadRequests++;
        if (viewer)
            s.viewerRequests++;
        else
            s.configRequests++;
    });
    const uint32_t total = (uint32_t)file.size();

    if (pieceSize == 0) {
        Log(StrPrintf("conn %u: download %u (id %u): %u bytes whole", n, code, id, total));
        std::vector<uint8_t> reply;
        reply.reserve(total + 8);
        AppendWord(reply, total);
        AppendPadded(reply, file.data(), file.size());
        return Answer(conn, id, wholeCode, reply, faults, code);
    }

    const uint32_t pieces = total == 0 ? 1 : (total + pieceSize - 1) / pieceSize;
    Log(StrPrintf("conn %u: download %u (id %u): %u bytes in %u pieces", n, code, id, total, pieces));
    SimFaults later = faults; // stray messages go out before the first piece only
    later.extraForOtherId = false;
    later.unsolicitedFirst = false;
    uint32_t offset = 0;
    for (uint32_t i = 0; i < pieces; i++) {
        if (FaultApplies(faults, code) && faults.closeAfterPieces && i == faults.closeAfterPieces) {
            Log(StrPrintf("conn %u: closing the connection after %u pieces", n, i));
            return false;
        }
        uint32_t len = total - offset < pieceSize ? total - offset : pieceSize;
        std::vector<uint8_t> reply;
        reply.reserve(len + 12);
        AppendWord(reply, total);
        AppendWord(reply, len);
        AppendPadded(reply, file.data() + offset, len);
        if (!Answer(conn, id, pieceCode, reply, i == 0 ? faults : later, code)) return false;
        offset += len;
        Count([](SimStats& s) { s.piecesSent++; });
        if (FaultApplies(faults, code) && (faults.silent || faults.oversizedHeader)) break;
    }
    return true;
}
