// Download speed: a 20 MB program in pieces of 64,000 bytes from the simulated
// controller on loopback, next to a raw TCP transfer of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/downloader.h"
#include "protocol/qvserver.h"
#include "sim/core/sim_controller.h"
#include "util/qvsocket.h"

namespace
{

const uint32_t kFileSize = 20u * 1000u * 1000u;
const uint32_t kPiece = 64000;

std::vector<uint8_t> Payload()
{
    std::vector<uint8_t> bytes(kFileSize);
    for (uint32_t i = 0; i < kFileSize; i++)
        bytes[i] = (uint8_t)(i * 31u + (i >> 11));
    return bytes;
}

void BM_Download20MBInPieces(benchmark::State& state)
{
    SocketStartup();
    SimConfig cfg;
    cfg.password = "bench";
    cfg.viewerFile = Payload();
    cfg.pieceSize = kPiece;
    CSimController sim(cfg);
    if (!sim.Start()) {
        state.SkipWithError("simulator did not start");
        return;
    }
    CQVServer server(".");
    server.SetLoginInfo("00-11-22-33-44-55", "BENCH", "WINDOWS", "WINDOWS");
    server.SetMode(0, cfg.password);
    if (server.ConnectDirect(sim.GetAddress()) != LoginResult::Ok) {
        state.SkipWithError("login failed");
        return;
    }
    const std::string path = "bench_download.tmp";
    for (auto _ : state) {
        CFileDownloader downloader(&server, nullptr, path);
        CQVMSG request(downloader.GetId(), MSG_GET_VIEWER_EXE, 0);
        request.WriteDWord(0);
        request.WriteDWord(2);
        request.WriteDWord(CLIENT_REVISION);
        if (downloader.Run(&request) != DownloadResult::Written) {
            state.SkipWithError("download failed");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFileSize);
    remove(path.c_str());
    server.GetConnection()->Close();
}
BENCHMARK(BM_Download20MBInPieces)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes over a plain TCP connection on loopback, read into a buffer.
void BM_RawTcp20MB(benchmark::State& state)
{
    SocketStartup();
    std::vector<uint8_t> payload = Payload();
    QVSOCKET listener = SocketTcp();
    SocketBind(listener, MakeSockAddr(LoopbackAddress(), 0));
    SocketListen(listener, 1);
    QVSockAddr local;
    SocketLocalAddr(listener, &local);
    std::vector<uint8_t> sink(kFileSize);
    for (auto _ : state) {
        std::thread sender([&] {
            QVSOCKET s = SocketAccept(listener, nullptr);
            SocketSend(s, payload.data(), (int)payload.size());
            CloseSocket(s);
        });
        QVSOCKET c = SocketTcp();
        SocketConnect(c, local);
        uint32_t got = 0;
        while (got < kFileSize) {
            int n = SocketRecv(c, sink.data() + got, (int)(kFileSize - got));
            if (n <= 0) break;
            got += (uint32_t)n;
        }
        CloseSocket(c);
        sender.join();
        if (got != kFileSize) {
            state.SkipWithError("short transfer");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kFileSize);
    CloseSocket(listener);
}
BENCHMARK(BM_RawTcp20MB)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
