// The reliable UDP stream: goodput against its window bound (24 packets of
// 1390 bytes per round trip) on a path with a fixed delay; goodput against TCP
// on the very same impaired IP path at 0%, 1% and 5% loss; CPU per megabyte
// against TCP on the loopback; and a path that changes under a transfer (the
// round trip rising tenfold and falling back, a reader that stops for 2 s).
// Every transfer carries position-pattern bytes that the receiving end checks,
// the same work on both sides of each comparison. tools/bench --rudp runs these.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_rudp_tunpath.h"
#include "remote/rudpclient.h"
#include "sim/impair/impair.h"
#include "sim/rudppeer/rudppeer.h"
#include "tests/support/rudppattern.h"
#include "util/qvsocket.h"
#include "util/qvtick.h"

namespace
{

const TransferParams kBlock = STUN_PARAMS_PROPOSED;
const double kMB = 1048576.0;

double CpuSeconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

double Seconds(uint64_t startUs)
{
    return (double)(ImpairNowUs() - startUs) / 1e6;
}

// One transfer from a fresh client to the peer's sink through via (the peer
// itself or a path in front of it): seconds from the first byte sent to the
// peer having read and checked the last one; negative on failure.
double RudpTransfer(CRudpPeer& peer, const QVSockAddr& via, uint64_t total, const QVSockAddr* local = nullptr)
{
    const int served = peer.Served();
    std::unique_ptr<CRUDPClient> client(RudpConnect(via, &kBlock, 10000, local));
    if (!client) return -1;
    const uint64_t start = ImpairNowUs();
    bool ok = SendPattern(client.get(), total, 65536);
    const uint32_t waitFrom = GetTick();
    while (ok && peer.ReceivedNow() < total && TickSince(waitFrom) < 120000)
        SleepMs(1);
    const double spent = Seconds(start);
    ok = ok && peer.ReceivedNow() == total;
    client->Close();
    client.reset();
    // The BYE goes out once and the path may lose it: the peer would then serve
    // the old stream for ever and never answer the next client's hellos.
    if (!peer.WaitServed(served + 1, 1000)) peer.CloseCurrent();
    peer.WaitServed(served + 1, 10000);
    if (ok && !peer.LastResult().patternOk) ok = false;
    return ok ? spent : -1;
}

// One read of the peer's pattern stream, checked against where it stands.
enum ReadOutcome { READ_STREAM_DOWN, READ_NOTHING, READ_SOME };

ReadOutcome ReadChecked(CRUDPClient& client, std::vector<uint8_t>& buf, std::atomic<uint64_t>& read,
                        std::atomic<bool>& intact)
{
    const int n = client.Receive(buf.data(), (int)buf.size());
    if (n <= 0) return client.IsUp() ? READ_NOTHING : READ_STREAM_DOWN;
    if (PatternMismatch(read, buf.data(), (size_t)n) < (size_t)n) intact = false;
    read += (uint64_t)n;
    return READ_SOME;
}

// The TCP counterpart: a sink that accepts one connection and reads total bytes,
// checking them; a client that connects and sends them.
struct TcpSink {
    QVSOCKET listen = QV_INVALID_SOCKET;
    QVSockAddr address{};
    std::atomic<uint64_t> received{0};
    std::atomic<bool> ok{true};

    bool Open(uint32_t addr)
    {
        listen = SocketTcp();
        return listen != QV_INVALID_SOCKET && SocketBind(listen, MakeSockAddr(addr, 0)) &&
               SocketListen(listen, 1) && SocketLocalAddr(listen, &address);
    }
    void Serve(uint64_t total)
    {
        QVSOCKET s = SocketAccept(listen, nullptr);
        std::vector<uint8_t> buf(65536);
        uint64_t at = 0;
        while (s != QV_INVALID_SOCKET && at < total) {
            int n = SocketRecv(s, buf.data(), (int)buf.size());
            if (n <= 0) break;
            if (PatternMismatch(at, buf.data(), (size_t)n) < (size_t)n) ok = false;
            at += (uint64_t)n;
            received = at;
        }
        CloseSocket(s);
    }
    ~TcpSink() { CloseSocket(listen); }
};

double TcpSend(const QVSockAddr& to, uint64_t total, std::atomic<uint64_t>& received)
{
    QVSOCKET s = SocketTcp();
    if (s == QV_INVALID_SOCKET || !SocketConnect(s, to)) {
        CloseSocket(s);
        return -1;
    }
    const uint64_t start = ImpairNowUs();
    std::vector<uint8_t> chunk(65536);
    bool ok = true;
    for (uint64_t done = 0; ok && done < total;) {
        size_t n = (size_t)(total - done < chunk.size() ? total - done : chunk.size());
        PatternFill(done, chunk.data(), n);
        ok = SocketSend(s, chunk.data(), (int)n) == (int)n;
        done += n;
    }
    const uint32_t waitFrom = GetTick();
    while (ok && received < total && TickSince(waitFrom) < 120000)
        SleepMs(1);
    const double spent = Seconds(start);
    CloseSocket(s);
    return ok && received == total ? spent : -1;
}

void Report(benchmark::State& state, double seconds, uint64_t bytes, double cpu)
{
    state.SetIterationTime(seconds > 0 ? seconds : 1);
    state.counters["goodput_MBps"] = seconds > 0 ? bytes / kMB / seconds : 0;
    if (cpu >= 0) state.counters["cpu_ms_per_MB"] = cpu * 1000 / (bytes / kMB);
}

// ---------------------------------------------------------------------------
// Lossless loopback, no path in between: what each end costs.

void BM_RudpLoopback(benchmark::State& state)
{
    SocketStartup();
    const uint64_t total = 64ull << 20;
    RudpServeOptions options;
    CRudpPeer peer(options);
    if (!peer.Start()) return state.SkipWithError("peer did not start");
    for (auto _ : state) {
        const double cpu0 = CpuSeconds();
        double s = RudpTransfer(peer, peer.GetAddress(), total);
        if (s < 0) return state.SkipWithError("transfer failed");
        Report(state, s, total, CpuSeconds() - cpu0);
    }
}
BENCHMARK(BM_RudpLoopback)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_TcpLoopback(benchmark::State& state)
{
    SocketStartup();
    const uint64_t total = 64ull << 20;
    for (auto _ : state) {
        TcpSink sink;
        if (!sink.Open(LoopbackAddress())) return state.SkipWithError("no listener");
        std::thread t([&] { sink.Serve(total); });
        const double cpu0 = CpuSeconds();
        double s = TcpSend(sink.address, total, sink.received);
        const double cpu = CpuSeconds() - cpu0;
        t.join();
        if (s < 0 || !sink.ok) return state.SkipWithError("transfer failed");
        Report(state, s, total, cpu);
    }
}
BENCHMARK(BM_TcpLoopback)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// ---------------------------------------------------------------------------
// The window bound: at most 24 unacknowledged packets, so at most 24 x 1390
// bytes per round trip. The proxy delays every datagram by the argument (ms)
// each way; no loss.

void BM_RudpWindowBound(benchmark::State& state)
{
    SocketStartup();
    const uint32_t oneWay = (uint32_t)state.range(0);
    const double rtt = 2 * oneWay / 1000.0;
    const double bound = 24 * 1390 / rtt; // bytes per second
    const uint64_t total = (uint64_t)(bound * 4);
    RudpServeOptions options;
    CRudpPeer peer(options);
    if (!peer.Start()) return state.SkipWithError("peer did not start");
    ImpairSettings path;
    path.delayMs = oneWay;
    CUdpImpairProxy proxy;
    if (!proxy.Start(peer.GetAddress(), path, path, 1)) return state.SkipWithError("proxy did not start");
    for (auto _ : state) {
        double s = RudpTransfer(peer, proxy.GetAddress(), total);
        if (s < 0) return state.SkipWithError("transfer failed");
        Report(state, s, total, -1);
        state.counters["bound_MBps"] = bound / kMB;
        state.counters["of_bound_pct"] = 100.0 * (total / s) / bound;
    }
}
BENCHMARK(BM_RudpWindowBound)
    ->Arg(10)
    ->Arg(25)
    ->Arg(50)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// ---------------------------------------------------------------------------
// Both policies side by side on the proxy's path: the argument's round trip
// (ms), loss in tenths of a percent each way, direction (0: the launcher sends
// to the controller-side peer; 1: the peer, which always recovers as the
// controller does, sends to the launcher, whose acknowledgements are what
// differs) and the launcher's policy. Each run moves data for a fixed time and
// counts what the receiving end read in order and checked, so a slow policy
// costs no more time than a fast one.

const double kTableSeconds = 4.0;
const double kTableWarmUp = 0.5;

// Ends a measured run: its thread stops, the stream closes, and the peer is
// ready for the next run even when the path lost the BYE.
void EndMeasuredStream(CRudpPeer& peer, int served, std::unique_ptr<CRUDPClient>& client,
                       std::atomic<bool>& stop, std::thread& thread)
{
    stop = true;
    client->Close();
    thread.join();
    client.reset();
    if (!peer.WaitServed(served + 1, 2000)) peer.CloseCurrent();
    peer.WaitServed(served + 1, 10000);
}

uint64_t Sample(CRudpPeer& peer, const std::atomic<uint64_t>& read, int direction)
{
    return direction == 0 ? peer.ReceivedNow() : read.load();
}

void BM_RudpTable(benchmark::State& state)
{
    SocketStartup();
    const uint32_t rttMs = (uint32_t)state.range(0);
    const double loss = state.range(1) / 1000.0;
    const int direction = (int)state.range(2);
    const RudpPolicy policy = (RudpPolicy)state.range(3);
    const double bound = 24 * 1390 / (rttMs / 1000.0); // bytes per second
    RudpServeOptions options;
    if (direction == 1) options.sendBytes = 1ull << 40; // for as long as the run lasts
    CRudpPeer peer(options);
    if (!peer.Start()) return state.SkipWithError("peer did not start");
    ImpairSettings path;
    path.delayMs = rttMs / 2;
    CUdpImpairProxy proxy;
    if (!proxy.Start(peer.GetAddress(), path, path, 1 + (uint32_t)state.range(1)))
        return state.SkipWithError("proxy did not start");
    for (auto _ : state) {
        const int served = peer.Served();
        std::unique_ptr<CRUDPClient> client(RudpConnect(proxy.GetAddress(), &kBlock, 10000, nullptr, policy));
        if (!client) return state.SkipWithError("no stream");
        // Loss only once the stream is agreed: the set-up is not what is measured.
        path.loss = loss;
        proxy.SetSettings(path, path);
        std::atomic<bool> stop(false);
        std::atomic<uint64_t> read(0);
        std::atomic<bool> intact(true);
        std::thread worker;
        if (direction == 0) {
            worker = std::thread([&] {
                std::vector<uint8_t> chunk(65536);
                for (uint64_t done = 0; !stop;) {
                    PatternFill(done, chunk.data(), chunk.size());
                    if (!client->Send(chunk.data(), (int)chunk.size())) break;
                    done += chunk.size();
                }
            });
        } else {
            client->Send("go", 2); // the peer speaks once spoken to
            worker = std::thread([&] {
                std::vector<uint8_t> buf(65536);
                while (!stop) {
                    if (!client->WaitReadable(50)) continue;
                    if (ReadChecked(*client, buf, read, intact) == READ_STREAM_DOWN) break;
                }
            });
        }
        SleepMs((uint32_t)(kTableWarmUp * 1000));
        const uint64_t from = Sample(peer, read, direction);
        const uint64_t t0 = ImpairNowUs();
        SleepMs((uint32_t)(kTableSeconds * 1000));
        const uint64_t moved = Sample(peer, read, direction) - from;
        const double spent = Seconds(t0);
        const bool up = client->IsUp();
        // A clean path for the end, so that closing costs no resend time-outs.
        path.loss = 0;
        proxy.SetSettings(path, path);
        EndMeasuredStream(peer, served, client, stop, worker);
        if (!up) return state.SkipWithError("stream failed during the run");
        if (!intact || (direction == 0 && !peer.LastResult().patternOk))
            return state.SkipWithError("data arrived damaged");
        Report(state, spent, moved, -1);
        state.counters["of_bound_pct"] = 100.0 * (moved / spent) / bound;
    }
}

void TableArgs(benchmark::internal::Benchmark* b)
{
    for (int rtt : {20, 100})
        for (int loss : {0, 10, 50})
            for (int direction : {0, 1})
                for (int policy : {RUDP_POLICY_CONTROLLER, RUDP_POLICY_OWN})
                    b->Args({rtt, loss, direction, policy});
}
BENCHMARK(BM_RudpTable)
    ->ArgNames({"rtt", "loss", "dir", "policy"})
    ->Apply(TableArgs)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// ---------------------------------------------------------------------------
// The path changes under a transfer, both policies side by side (the argument).

void OnceEachPolicy(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"policy"})
        ->Arg(RUDP_POLICY_CONTROLLER)
        ->Arg(RUDP_POLICY_OWN)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
}

// The round trip rises from 20 to 200 ms in the middle of a transfer from the
// launcher and falls back to 20 ms later, without loss; the path keeps its
// order, as a queue that fills and drains does. After the rise: sendings per
// packet (1.0: nothing sent twice) and goodput as a share of the window bound
// at 200 ms; after the fall, sendings per packet again.
const uint32_t kStepLowMs = 20, kStepHighMs = 200;

void BM_RudpRttStep(benchmark::State& state)
{
    SocketStartup();
    const RudpPolicy policy = (RudpPolicy)state.range(0);
    CRudpPeer peer{RudpServeOptions()};
    if (!peer.Start()) return state.SkipWithError("peer did not start");
    ImpairSettings path;
    path.delayMs = kStepLowMs / 2;
    path.inOrder = true;
    CUdpImpairProxy proxy;
    if (!proxy.Start(peer.GetAddress(), path, path, 3)) return state.SkipWithError("proxy did not start");
    const double bound = 24 * 1390 / (kStepHighMs / 1000.0);
    for (auto _ : state) {
        const int served = peer.Served();
        std::unique_ptr<CRUDPClient> client(RudpConnect(proxy.GetAddress(), &kBlock, 10000, nullptr, policy));
        if (!client) return state.SkipWithError("no stream");
        std::atomic<bool> stop(false);
        std::thread writer([&] {
            std::vector<uint8_t> chunk(65536);
            for (uint64_t done = 0; !stop; done += chunk.size()) {
                PatternFill(done, chunk.data(), chunk.size());
                if (!client->Send(chunk.data(), (int)chunk.size())) break;
            }
        });
        SleepMs(2000);
        CDataSendCount rise(true, kBlock), fall(true, kBlock);
        proxy.SetObserver(&rise);
        path.delayMs = kStepHighMs / 2;
        proxy.SetSettings(path, path);
        const uint64_t from = peer.ReceivedNow();
        const uint64_t t0 = ImpairNowUs();
        SleepMs(6000);
        const uint64_t moved = peer.ReceivedNow() - from;
        const double spent = Seconds(t0);
        proxy.SetObserver(&fall);
        path.delayMs = kStepLowMs / 2;
        proxy.SetSettings(path, path);
        SleepMs(3000);
        proxy.SetObserver(nullptr);
        const bool up = client->IsUp();
        EndMeasuredStream(peer, served, client, stop, writer);
        if (!up) return state.SkipWithError("stream failed during the run");
        if (!peer.LastResult().patternOk) return state.SkipWithError("data arrived damaged");
        Report(state, spent, moved, -1);
        state.counters["of_bound_pct"] = 100.0 * (moved / spent) / bound;
        state.counters["rise_sendings_per_packet"] =
            rise.Packets() ? (double)rise.Sendings() / rise.Packets() : 0;
        state.counters["fall_sendings_per_packet"] =
            fall.Packets() ? (double)fall.Sendings() / fall.Packets() : 0;
    }
}
BENCHMARK(BM_RudpRttStep)->Apply(OnceEachPolicy);

// A launcher-side reader that stops for 2 s while the controller-side peer
// sends (20 ms round trip, no loss): from its restart to the next megabyte
// read, beside the time a megabyte takes a reader that never stopped. The
// receive ring holds some 0.7 MB, which the restarted reader has at once; the
// longest it then waits for more data shows a peer that did not go on at once.
void BM_RudpPausedReader(benchmark::State& state)
{
    SocketStartup();
    const RudpPolicy policy = (RudpPolicy)state.range(0);
    RudpServeOptions options;
    options.sendBytes = 1ull << 40; // for as long as the run lasts
    CRudpPeer peer(options);
    if (!peer.Start()) return state.SkipWithError("peer did not start");
    ImpairSettings path;
    path.delayMs = kStepLowMs / 2;
    CUdpImpairProxy proxy;
    if (!proxy.Start(peer.GetAddress(), path, path, 4)) return state.SkipWithError("proxy did not start");
    const uint64_t mb = 1 << 20;
    for (auto _ : state) {
        const int served = peer.Served();
        std::unique_ptr<CRUDPClient> client(RudpConnect(proxy.GetAddress(), &kBlock, 10000, nullptr, policy));
        if (!client) return state.SkipWithError("no stream");
        client->Send("go", 2); // the peer speaks once spoken to
        std::atomic<bool> stop(false), paused(false), intact(true);
        std::atomic<uint64_t> read(0), lastReadUs(0), longestWaitUs(0);
        std::thread reader([&] {
            std::vector<uint8_t> buf(65536);
            while (!stop) {
                if (paused || !client->WaitReadable(20)) {
                    if (paused) SleepMs(1);
                    continue;
                }
                const ReadOutcome got = ReadChecked(*client, buf, read, intact);
                if (got == READ_STREAM_DOWN) break;
                if (got == READ_NOTHING) continue;
                const uint64_t now = ImpairNowUs();
                if (now - lastReadUs > longestWaitUs) longestWaitUs = now - lastReadUs;
                lastReadUs = now;
            }
        });
        SleepMs(1000);
        const uint64_t r0 = read;
        const uint64_t t0 = ImpairNowUs();
        SleepMs(3000);
        const double steadyMs = 1000 * Seconds(t0) / ((double)(read - r0) / mb);
        paused = true;
        SleepMs(2000);
        const uint64_t at = read;
        const uint64_t t1 = ImpairNowUs();
        lastReadUs = t1;
        longestWaitUs = 0;
        paused = false;
        while (read < at + mb && Seconds(t1) < 30)
            SleepMs(1);
        const double restartMs = 1000 * Seconds(t1);
        const bool up = client->IsUp();
        EndMeasuredStream(peer, served, client, stop, reader);
        if (!up || read < at + mb) return state.SkipWithError("stream failed or stalled during the run");
        if (!intact) return state.SkipWithError("data arrived damaged");
        state.SetIterationTime(restartMs / 1000);
        state.counters["steady_MB_ms"] = steadyMs;
        state.counters["restart_MB_ms"] = restartMs;
        state.counters["longest_wait_ms"] = longestWaitUs / 1000.0;
        state.counters["rtt_ms"] = kStepLowMs;
    }
}
BENCHMARK(BM_RudpPausedReader)->Apply(OnceEachPolicy);

// ---------------------------------------------------------------------------
// The same impaired IP path for both: 10 ms each way, and the argument's loss
// in tenths of a percent each way. Needs root (see bench_rudp_tunpath.h).

uint64_t PathVolume(int lossTenths)
{
    return lossTenths == 0 ? (6ull << 20) : lossTenths <= 10 ? (3ull << 20) : (1ull << 20);
}

CTunPath* PreparePath(benchmark::State& state, int lossTenths)
{
    std::string why;
    CTunPath* path = CTunPath::Get(&why);
    if (!path) {
        state.SkipWithError(why.c_str());
        return nullptr;
    }
    ImpairSettings s;
    s.delayMs = 10;
    s.loss = lossTenths / 1000.0;
    path->SetImpairment(s);
    return path;
}

// What the path did to the data direction since the benchmark began.
void ReportPath(benchmark::State& state, CTunPath* path, const ImpairCounts& before)
{
    ImpairCounts c = path->CountsAToB();
    const double received = (double)(c.received - before.received);
    state.counters["lost_pct"] = received > 0 ? 100.0 * (double)(c.dropped - before.dropped) / received : 0;
    state.counters["packets"] = received;
}

// Both sides of the path comparison: 0%, 1% and 5% loss (in tenths of a percent),
// three runs each.
void PathLosses(benchmark::internal::Benchmark* b)
{
    b->Arg(0)->Arg(10)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
}

void BM_RudpPath(benchmark::State& state)
{
    const int loss = (int)state.range(0);
    CTunPath* path = PreparePath(state, loss);
    if (!path) return;
    const uint64_t total = PathVolume(loss);
    std::unique_ptr<CRudpPeer> peer;
    path->RunInB([&] {
        peer.reset(new CRudpPeer(RudpServeOptions()));
        QVSockAddr here = MakeSockAddr(path->AddressB(), 0);
        if (!peer->Start(&here)) peer.reset();
    });
    if (!peer) return state.SkipWithError("peer did not start in its namespace");
    const ImpairCounts before = path->CountsAToB();
    for (auto _ : state) {
        double s = -1;
        path->RunInA([&] {
            QVSockAddr here = MakeSockAddr(path->AddressA(), 0);
            s = RudpTransfer(*peer, peer->GetAddress(), total, &here);
        });
        if (s < 0) return state.SkipWithError("transfer failed");
        Report(state, s, total, -1);
    }
    ReportPath(state, path, before);
    path->RunInB([&] { peer.reset(); });
}
BENCHMARK(BM_RudpPath)->Apply(PathLosses);

void BM_TcpPath(benchmark::State& state)
{
    const int loss = (int)state.range(0);
    CTunPath* path = PreparePath(state, loss);
    if (!path) return;
    const uint64_t total = PathVolume(loss);
    const ImpairCounts before = path->CountsAToB();
    for (auto _ : state) {
        TcpSink sink;
        bool open = false;
        path->RunInB([&] { open = sink.Open(path->AddressB()); });
        if (!open) return state.SkipWithError("no listener in its namespace");
        std::thread t = path->StartInB([&] { sink.Serve(total); });
        double s = -1;
        path->RunInA([&] { s = TcpSend(sink.address, total, sink.received); });
        t.join();
        if (s < 0 || !sink.ok) return state.SkipWithError("transfer failed");
        Report(state, s, total, -1);
    }
    ReportPath(state, path, before);
}
BENCHMARK(BM_TcpPath)->Apply(PathLosses);

} // namespace
