#include "sim_controller.h"

#include <chrono>
#include <cstring>

#include "../../remote/rudpclient.h"
#include "../../util/qvtypes.h"
#include "sim_connection.h"

namespace
{

const char kPreamble[] = "CONNECTSERVERHOST\r\n\r\n";
const size_t kPreambleLength = 21;

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
    Log("listening on " + FormatAddressRecord(MakeSockAddr(m_nAddress, m_nPort)));
    m_AcceptThread = std::thread(&CSimController::AcceptLoop, this);
    return true;
}

void CSimController::Stop()
{
    if (!m_bRunning.exchange(false)) return;
    if (m_AcceptThread.joinable()) m_AcceptThread.join();
    const std::vector<std::shared_ptr<Connection>> all = DropConnections();
    {
        // A road handed over from another thread (relayed, punched) is on the list
        // a moment before its thread is made: wait for that, or Serve would run on
        // after Stop (and a joinable thread would be freed unjoined). A finished
        // connection's thread may already be joined by the accept loop.
        std::unique_lock<std::mutex> g(m_Lock);
        m_Changed.wait_for(g, std::chrono::seconds(5), [&] {
            for (const auto& c : all)
                if (!c->thread.joinable() && !c->finished.load()) return false;
            return true;
        });
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
    DropConnections();
}

std::vector<std::shared_ptr<CSimController::Connection>> CSimController::DropConnections()
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
    return all;
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
    if (AddConnection(conn, "punched from " + FormatAddressRecord(launcher))) return true;
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
    {
        std::lock_guard<std::mutex> g(m_Lock);
        conn->thread = std::thread(&CSimController::Serve, this, conn);
    }
    m_Changed.notify_all();
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
        AddConnection(conn, "connected from " + FormatAddressRecord(from));
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
    }
    // Logged before it is counted: whoever waits for the count reads the line.
    Log(StrPrintf("conn %u: closed (%s)", n, why));
    {
        std::lock_guard<std::mutex> g(m_Lock);
        m_Stats.closes++;
        m_Stats.openConnections--;
    }
    m_Changed.notify_all();
    conn.finished = true;
}
