// The loopback bridge against a direct TCP connection on the same machine:
// throughput in each direction and round-trip time of small messages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_rigs.h"
#include "util/qvsocket.h"

namespace
{

const int kBlock = 8 * 1024 * 1024;

// Opens the link the benchmark's argument asks for: direct (0) or bridged.
bool OpenOrSkip(Link& link, benchmark::State& state)
{
    SocketStartup();
    if (link.Open(state.range(0) != 0)) return true;
    state.SkipWithError("link did not open");
    return false;
}

bool RecvAll(QVSOCKET s, char* buf, int n)
{
    int got = 0;
    while (got < n) {
        int r = SocketRecv(s, buf + got, n - got);
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

// Viewer to controller: the controller acknowledges every full block with one byte.
void BM_BridgeUpload(benchmark::State& state)
{
    Link link;
    if (!OpenOrSkip(link, state)) return;
    QVSOCKET server = link.server;
    link.worker = std::thread([server] {
        std::vector<char> buf(65536);
        for (;;) {
            int got = 0;
            while (got < kBlock) {
                int r = SocketRecv(server, buf.data(), std::min((int)buf.size(), kBlock - got));
                if (r <= 0) return;
                got += r;
            }
            if (SocketSend(server, "!", 1) != 1) return;
        }
    });
    std::vector<char> block(kBlock, 'u');
    char ack;
    for (auto _ : state) {
        if (SocketSend(link.client, block.data(), kBlock) != kBlock || !RecvAll(link.client, &ack, 1)) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kBlock);
}
BENCHMARK(BM_BridgeUpload)->ArgName("bridged")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Controller to viewer: one request byte, then a full block back.
void BM_BridgeDownload(benchmark::State& state)
{
    Link link;
    if (!OpenOrSkip(link, state)) return;
    QVSOCKET server = link.server;
    link.worker = std::thread([server] {
        std::vector<char> block(kBlock, 'd');
        char req;
        while (RecvAll(server, &req, 1)) {
            if (SocketSend(server, block.data(), kBlock) != kBlock) return;
        }
    });
    std::vector<char> buf(65536);
    for (auto _ : state) {
        bool ok = SocketSend(link.client, "?", 1) == 1;
        int got = 0;
        while (ok && got < kBlock) {
            int r = SocketRecv(link.client, buf.data(), std::min((int)buf.size(), kBlock - got));
            ok = r > 0;
            got += r;
        }
        if (!ok) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kBlock);
}
BENCHMARK(BM_BridgeDownload)
    ->ArgName("bridged")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 64-byte message to the controller and its echo back; the median round trip
// is reported as median_us.
void BM_BridgeRoundTrip(benchmark::State& state)
{
    Link link;
    if (!OpenOrSkip(link, state)) return;
    QVSOCKET server = link.server;
    link.worker = std::thread([server] {
        char buf[64];
        while (RecvAll(server, buf, 64)) {
            if (SocketSend(server, buf, 64) != 64) return;
        }
    });
    char msg[64] = {0};
    std::vector<double> times;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (SocketSend(link.client, msg, 64) != 64 || !RecvAll(link.client, msg, 64)) {
            state.SkipWithError("echo failed");
            break;
        }
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    if (!times.empty()) {
        std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
        state.counters["median_us"] = times[times.size() / 2];
    }
}
BENCHMARK(BM_BridgeRoundTrip)
    ->ArgName("bridged")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

} // namespace
