// Speed figures of the Windows build, measured where it really runs (under the
// Windows socket layer, not the native one): the loopback bridge against a direct
// TCP connection, a login plus echo queries against the in-process simulated
// controller, and a download in pieces against a raw TCP transfer of the same
// bytes. Everything stays on 127.0.0.1. Each figure is taken several times; the
// table shows median, range and how many repetitions completed.
//
// Direct and bridged (or downloaded and raw) runs alternate within a repetition,
// so a slow moment of the machine hits both sides of a comparison alike and the
// per-repetition differences and ratios stay meaningful.
//
// Exit status: 0 when every figure completed and every transfer arrived intact,
// 1 when any did not, 2 on a bad command line, 3 when the watchdog fired.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_rigs.h"
#include "bench/win32/bench_stats.h"
#include "protocol/downloader.h"
#include "protocol/qvserver.h"
#include "sim/core/sim_controller.h"
#include "util/qvsocket.h"

namespace
{

struct Options {
    int reps = 5;
    uint32_t blockBytes = 8u * 1024u * 1024u; // one bridge transfer
    int blocksPerRep = 4;
    int roundTrips = 2000; // 64-byte ping-pongs per repetition
    int queries = 10000;
    uint32_t fileBytes = 20u * 1000u * 1000u;
    uint32_t pieceBytes = 64000;
    bool bridge = true, session = true, download = true;
    bool smoke = false;
};

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A stuck socket must not hang the run (or a test that runs it): each phase arms
// the watchdog, which ends the process with a message when the phase overruns.
class Watchdog
{
  public:
    Watchdog() : m_Deadline(0), m_Stop(false), m_Thread([this] { Loop(); }) {}
    ~Watchdog()
    {
        m_Stop = true;
        m_Thread.join();
    }
    void Arm(const char* phase, uint32_t seconds)
    {
        m_Phase = phase;
        m_Deadline = GetTickCount64() + (ULONGLONG)seconds * 1000;
    }

  private:
    void Loop()
    {
        while (!m_Stop) {
            ULONGLONG deadline = m_Deadline;
            if (deadline && GetTickCount64() > deadline) {
                fprintf(stderr, "bench_win32: %s did not finish in time\n", m_Phase.load());
                fflush(stderr);
                fflush(stdout);
                std::_Exit(3);
            }
            Sleep(200);
        }
    }
    std::atomic<ULONGLONG> m_Deadline;
    std::atomic<const char*> m_Phase{"start-up"};
    std::atomic<bool> m_Stop;
    std::thread m_Thread;
};

Watchdog* g_pWatchdog = nullptr;

void Arm(const char* phase, uint32_t seconds)
{
    if (g_pWatchdog) g_pWatchdog->Arm(phase, seconds);
}

bool SendAll(QVSOCKET s, const char* data, uint32_t n)
{
    uint32_t done = 0;
    while (done < n) {
        int r = SocketSend(s, data + done, (int)(n - done));
        if (r <= 0) return false;
        done += (uint32_t)r;
    }
    return true;
}

bool RecvAll(QVSOCKET s, char* buf, uint32_t n)
{
    uint32_t got = 0;
    while (got < n) {
        int r = SocketRecv(s, buf + got, (int)(n - got));
        if (r <= 0) return false;
        got += (uint32_t)r;
    }
    return true;
}

// Reads and discards n bytes through a buffer of bounded size.
bool Drain(QVSOCKET s, std::vector<char>& buf, uint32_t n)
{
    uint32_t got = 0;
    while (got < n) {
        uint32_t want = n - got < buf.size() ? n - got : (uint32_t)buf.size();
        int r = SocketRecv(s, buf.data(), (int)want);
        if (r <= 0) return false;
        got += (uint32_t)r;
    }
    return true;
}

// Figures collected for the table, in the order taken.
std::vector<BenchRow> g_Rows;
bool g_bAllOk = true;

void AddRow(const std::string& name, const std::string& unit, const std::vector<double>& samples, bool ok)
{
    BenchRow row;
    row.name = name;
    row.unit = unit;
    row.summary = Summarize(samples);
    row.failed = !ok && samples.empty();
    g_Rows.push_back(row);
    if (!ok) g_bAllOk = false;
}

void Fail(const char* what)
{
    fprintf(stderr, "bench_win32: %s\n", what);
    g_bAllOk = false;
}

// ---- Bridge ---------------------------------------------------------------

// Viewer to controller: the controller acknowledges every full block with one byte.
bool UploadRep(Link& link, const std::vector<char>& block, int blocks, double* mbps)
{
    auto t0 = Clock::now();
    char ack;
    for (int i = 0; i < blocks; i++) {
        if (!SendAll(link.client, block.data(), (uint32_t)block.size()) || !RecvAll(link.client, &ack, 1) ||
            ack != '!')
            return false;
    }
    *mbps = (double)block.size() * blocks / 1e6 / SecondsSince(t0);
    return true;
}

void StartUploadSink(Link& link, uint32_t blockBytes)
{
    QVSOCKET server = link.server;
    link.worker = std::thread([server, blockBytes] {
        std::vector<char> buf(65536);
        while (Drain(server, buf, blockBytes)) {
            if (SocketSend(server, "!", 1) != 1) return;
        }
    });
}

// Controller to viewer: one request byte, then a full block back.
bool DownloadRep(Link& link, std::vector<char>& buf, uint32_t blockBytes, int blocks, double* mbps)
{
    auto t0 = Clock::now();
    for (int i = 0; i < blocks; i++) {
        if (SocketSend(link.client, "?", 1) != 1 || !Drain(link.client, buf, blockBytes)) return false;
    }
    *mbps = (double)blockBytes * blocks / 1e6 / SecondsSince(t0);
    return true;
}

void StartDownloadSource(Link& link, uint32_t blockBytes)
{
    QVSOCKET server = link.server;
    link.worker = std::thread([server, blockBytes] {
        std::vector<char> block(blockBytes, 'd');
        char req;
        while (RecvAll(server, &req, 1)) {
            if (!SendAll(server, block.data(), blockBytes)) return;
        }
    });
}

void StartEcho(Link& link)
{
    QVSOCKET server = link.server;
    link.worker = std::thread([server] {
        char buf[64];
        while (RecvAll(server, buf, 64)) {
            if (!SendAll(server, buf, 64)) return;
        }
    });
}

// Median microseconds of n round trips; each message is numbered so that a reply
// that is not the echo of its own request counts as a failure.
bool RoundTripRep(Link& link, int n, double* medianUs)
{
    std::vector<double> times;
    times.reserve((size_t)n);
    char msg[64], back[64];
    memset(msg, 0x5a, sizeof(msg));
    for (int i = 0; i < n; i++) {
        memcpy(msg, &i, sizeof(i));
        auto t0 = Clock::now();
        if (!SendAll(link.client, msg, 64) || !RecvAll(link.client, back, 64)) return false;
        times.push_back(SecondsSince(t0) * 1e6);
        if (memcmp(msg, back, 64) != 0) return false;
    }
    *medianUs = Summarize(times).median;
    return true;
}

bool OpenPair(Link& direct, Link& bridged)
{
    if (!direct.Open(false) || !bridged.Open(true)) {
        Fail("a link did not open");
        return false;
    }
    return true;
}

// One bridge figure: a direct and a bridged link side by side, each served by
// start; one warm-up repetition, then o.reps in which the two alternate. The
// third row compares the pair (bridged/direct, or what the bridge adds).
template <class Start, class Rep, class Compare>
void BridgeFigure(const Options& o, const char* phase, const std::string& name, const char* unit,
                  const std::string& comparison, const char* comparisonUnit, const char* failure, Start start,
                  Rep rep, Compare compare)
{
    Arm(phase, 60 + (uint32_t)o.reps * 60);
    Link direct, bridged;
    std::vector<double> d, b, compared;
    bool ok = OpenPair(direct, bridged);
    if (ok) {
        start(direct);
        start(bridged);
        double warm;
        ok = rep(direct, true, &warm) && rep(bridged, true, &warm);
        for (int r = 0; ok && r < o.reps; r++) {
            double x, y;
            ok = rep(direct, false, &x) && rep(bridged, false, &y);
            if (ok) {
                d.push_back(x);
                b.push_back(y);
                compared.push_back(compare(x, y));
            }
        }
        if (!ok) Fail(failure);
    }
    AddRow(name + ", direct TCP", unit, d, ok);
    AddRow(name + ", bridged", unit, b, ok);
    AddRow(name + ", " + comparison, comparisonUnit, compared, ok);
}

double Percent(double direct, double bridged)
{
    return bridged / direct * 100.0;
}

double Added(double direct, double bridged)
{
    return bridged - direct;
}

void BenchBridge(const Options& o)
{
    std::vector<char> block(o.blockBytes, 'u');
    BridgeFigure(
        o, "bridge upload", "bridge upload", "MB/s", "bridged/direct", "%", "bridge upload transfer failed",
        [&](Link& link) { StartUploadSink(link, o.blockBytes); },
        [&](Link& link, bool warm, double* mbps) {
            return UploadRep(link, block, warm ? 1 : o.blocksPerRep, mbps);
        },
        Percent);
    std::vector<char> buf(65536);
    BridgeFigure(
        o, "bridge download", "bridge download", "MB/s", "bridged/direct", "%",
        "bridge download transfer failed", [&](Link& link) { StartDownloadSource(link, o.blockBytes); },
        [&](Link& link, bool warm, double* mbps) {
            return DownloadRep(link, buf, o.blockBytes, warm ? 1 : o.blocksPerRep, mbps);
        },
        Percent);
    BridgeFigure(
        o, "bridge round trips", "64-byte round trip", "us", "added by bridge", "us",
        "bridge echo failed or came back altered", [&](Link& link) { StartEcho(link); },
        [&](Link& link, bool warm, double* us) { return RoundTripRep(link, warm ? 50 : o.roundTrips, us); },
        Added);
}

// ---- Session --------------------------------------------------------------

// n echo queries on the open session; each answer must carry the word asked.
bool EchoQueries(CQVServer* session, int n)
{
    const uint32_t kWord = 0x12345678;
    CQVMSG request(0, SIM_MSG_ECHO, 0);
    request.WriteDWord(kWord);
    CQVQuery q(session);
    for (int i = 0; i < n; i++) {
        CQVMSG* reply = nullptr;
        uint32_t word = 0;
        if (!q.Ask(&reply, &request) || !reply || reply->GetCode() != SIM_MSG_ECHO_REPLY ||
            !reply->ReadDWord(&word) || word != kWord)
            return false;
    }
    return true;
}

void BenchSession(const Options& o)
{
    Arm("session", 60 + (uint32_t)o.reps * 120);
    SimConfig cfg;
    cfg.password = "benchmark";
    SessionRig rig;
    std::vector<double> login, queries, total, perQuery;
    bool ok = rig.Start(cfg);
    if (!ok) Fail("simulator did not start");
    for (int r = 0; ok && r < o.reps; r++) {
        auto t0 = Clock::now();
        ok = rig.server->ConnectDirect(rig.sim->GetAddress()) == LoginResult::Ok;
        double tLogin = SecondsSince(t0);
        if (!ok) {
            Fail("login failed");
            break;
        }
        auto t1 = Clock::now();
        ok = EchoQueries(rig.server.get(), o.queries);
        double tQueries = SecondsSince(t1);
        rig.server->GetConnection()->Close();
        if (!ok) {
            Fail("echo query failed or came back altered");
            break;
        }
        login.push_back(tLogin * 1e3);
        queries.push_back(tQueries * 1e3);
        total.push_back((tLogin + tQueries) * 1e3);
        perQuery.push_back(tQueries * 1e6 / o.queries);
    }
    std::string n = std::to_string(o.queries);
    AddRow("session: connect + login", "ms", login, ok);
    AddRow("session: " + n + " echo queries", "ms", queries, ok);
    AddRow("session: login + " + n + " queries", "ms", total, ok);
    AddRow("session: one echo query", "us", perQuery, ok);
}

// ---- Download -------------------------------------------------------------

std::vector<uint8_t> Payload(uint32_t size)
{
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; i++)
        bytes[i] = (uint8_t)(i * 31u + (i >> 11));
    return bytes;
}

std::string TempFilePath()
{
    char dir[MAX_PATH + 1] = {0};
    DWORD n = GetTempPathA(MAX_PATH, dir);
    std::string path = (n > 0 && n < MAX_PATH) ? std::string(dir, n) : std::string(".\\");
    if (path.back() != '\\') path += '\\';
    char name[64];
    snprintf(name, sizeof(name), "rerudi_bench_%lu.tmp", (unsigned long)GetCurrentProcessId());
    return path + name;
}

bool FileEquals(const std::string& path, const std::vector<uint8_t>& expected)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> got(expected.size() + 1);
    size_t n = fread(got.data(), 1, got.size(), f);
    fclose(f);
    return n == expected.size() && memcmp(got.data(), expected.data(), n) == 0;
}

// The same bytes over a plain TCP connection on loopback, read into a buffer.
bool RawTransfer(QVSOCKET listener, const QVSockAddr& at, const std::vector<uint8_t>& payload,
                 std::vector<uint8_t>& sink, double* seconds)
{
    auto t0 = Clock::now();
    std::thread sender([&] {
        QVSOCKET s = SocketAccept(listener, nullptr);
        if (s == QV_INVALID_SOCKET) return;
        SendAll(s, (const char*)payload.data(), (uint32_t)payload.size());
        CloseSocket(s);
    });
    QVSOCKET c = SocketTcp();
    uint32_t got = 0;
    if (SocketConnect(c, at)) {
        while (got < sink.size()) {
            int n = SocketRecv(c, sink.data() + got, (int)(sink.size() - got));
            if (n <= 0) break;
            got += (uint32_t)n;
        }
    }
    CloseSocket(c);
    sender.join();
    *seconds = SecondsSince(t0);
    return got == sink.size() && memcmp(sink.data(), payload.data(), sink.size()) == 0;
}

void BenchDownload(const Options& o)
{
    Arm("download", 60 + (uint32_t)o.reps * 180);
    std::vector<uint8_t> payload = Payload(o.fileBytes);
    SimConfig cfg;
    cfg.password = "bench";
    cfg.viewerFile = payload;
    cfg.pieceSize = o.pieceBytes;
    SessionRig rig;
    std::vector<double> dl, dlRate, raw, rawRate, ratio;
    bool ok = rig.Start(cfg) && rig.server->ConnectDirect(rig.sim->GetAddress()) == LoginResult::Ok;
    if (!ok) Fail("simulator did not start or refused the login");

    QVSOCKET listener = SocketTcp();
    QVSockAddr at;
    if (ok && !(SocketBind(listener, MakeSockAddr(LoopbackAddress(), 0)) && SocketListen(listener, 1) &&
                SocketLocalAddr(listener, &at))) {
        Fail("raw TCP listener did not open");
        ok = false;
    }
    const std::string path = TempFilePath();
    std::vector<uint8_t> sink(o.fileBytes);
    for (int r = 0; ok && r < o.reps; r++) {
        remove(path.c_str());
        auto t0 = Clock::now();
        {
            CFileDownloader downloader(rig.server.get(), nullptr, path);
            CQVMSG request(downloader.GetId(), MSG_GET_VIEWER_EXE, 0);
            request.WriteDWord(0);
            request.WriteDWord(2);
            request.WriteDWord(CLIENT_REVISION);
            ok = downloader.Run(&request) == DownloadResult::Written;
        }
        double tDl = SecondsSince(t0);
        if (!ok || !FileEquals(path, payload)) {
            Fail("download failed or the file on disk differs from what was served");
            ok = false;
            break;
        }
        double tRaw = 0;
        if (!RawTransfer(listener, at, payload, sink, &tRaw)) {
            Fail("raw TCP transfer was short or altered");
            ok = false;
            break;
        }
        dl.push_back(tDl * 1e3);
        dlRate.push_back(o.fileBytes / 1e6 / tDl);
        raw.push_back(tRaw * 1e3);
        rawRate.push_back(o.fileBytes / 1e6 / tRaw);
        ratio.push_back(tDl / tRaw);
    }
    remove(path.c_str());
    CloseSocket(listener);

    char size[64];
    snprintf(size, sizeof(size), "%.3g MB", o.fileBytes / 1e6);
    AddRow(std::string("download ") + size + " in " + std::to_string(o.pieceBytes) + "-byte pieces", "ms", dl,
           ok);
    AddRow("download, rate", "MB/s", dlRate, ok);
    AddRow(std::string("raw TCP ") + size, "ms", raw, ok);
    AddRow("raw TCP, rate", "MB/s", rawRate, ok);
    AddRow("download time / raw TCP time", "x", ratio, ok);
}

// ---- Command line ---------------------------------------------------------

void Usage()
{
    printf("usage: bench_win32 [--reps N] [--only bridge,session,download] [--smoke]\n"
           "  --reps N   repetitions of every figure (1..100, default 5)\n"
           "  --only     take only the figures named (comma-separated)\n"
           "  --smoke    tiny sizes and one repetition: checks that every figure works\n");
}

bool ParseArgs(int argc, char** argv, Options* o)
{
    bool onlyGiven = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--smoke") {
            o->smoke = true;
        } else if (a == "--reps" && i + 1 < argc) {
            char* end = nullptr;
            long n = strtol(argv[++i], &end, 10);
            if (!end || *end || n < 1 || n > 100) return false;
            o->reps = (int)n;
        } else if (a == "--only" && i + 1 < argc) {
            if (!onlyGiven) o->bridge = o->session = o->download = false;
            onlyGiven = true;
            std::string list = argv[++i];
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(',', start);
                std::string item =
                    list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (item == "bridge")
                    o->bridge = true;
                else if (item == "session")
                    o->session = true;
                else if (item == "download")
                    o->download = true;
                else
                    return false;
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else {
            return false;
        }
    }
    if (o->smoke) {
        o->reps = 1;
        o->blockBytes = 256u * 1024u;
        o->blocksPerRep = 2;
        o->roundTrips = 50;
        o->queries = 200;
        o->fileBytes = 1000u * 1000u; // still many pieces of the real size
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, &o)) {
        Usage();
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (!SocketStartup()) {
        fprintf(stderr, "bench_win32: sockets did not start\n");
        return 1;
    }
    Watchdog watchdog;
    g_pWatchdog = &watchdog;

    printf("Windows build, 127.0.0.1 only; %d repetition(s) per figure%s\n", o.reps,
           o.smoke ? " (smoke sizes)" : "");
    printf("bridge: %u-byte blocks, %d per repetition; round trips: %d per repetition\n", o.blockBytes,
           o.blocksPerRep, o.roundTrips);
    printf("spread = (max - min) / median\n\n");
    if (o.bridge) BenchBridge(o);
    if (o.session) BenchSession(o);
    if (o.download) BenchDownload(o);
    Arm("report", 30);

    printf("%s", FormatTable(g_Rows).c_str());
    g_pWatchdog = nullptr;
    SocketCleanup();
    if (!g_bAllOk) printf("\nsome figures FAILED (see above)\n");
    return g_bAllOk ? 0 : 1;
}
