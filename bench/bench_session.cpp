// Session speed against the simulated controller on loopback: one full connect
// and login, and query round trips on an open session.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_rigs.h"

namespace
{

bool StartRig(SessionRig& rig)
{
    SocketStartup();
    SimConfig cfg;
    cfg.password = "benchmark";
    return rig.Start(cfg);
}

void BM_ConnectAndLogin(benchmark::State& state)
{
    SessionRig rig;
    if (!StartRig(rig)) {
        state.SkipWithError("simulator did not start");
        return;
    }
    for (auto _ : state) {
        if (rig.server->ConnectDirect(rig.sim->GetAddress()) != LoginResult::Ok) {
            state.SkipWithError("login failed");
            break;
        }
        rig.server->GetConnection()->Close();
    }
}
BENCHMARK(BM_ConnectAndLogin)->Unit(benchmark::kMicrosecond);

// One login, then 10,000 echo queries per iteration.
void BM_LoginPlus10000Queries(benchmark::State& state)
{
    SessionRig rig;
    if (!StartRig(rig)) {
        state.SkipWithError("simulator did not start");
        return;
    }
    const int kQueries = 10000;
    for (auto _ : state) {
        if (rig.server->ConnectDirect(rig.sim->GetAddress()) != LoginResult::Ok) {
            state.SkipWithError("login failed");
            break;
        }
        CQVMSG request(0, SIM_MSG_ECHO, 0);
        request.WriteDWord(0x12345678);
        CQVQuery q(rig.server.get());
        for (int i = 0; i < kQueries; i++) {
            CQVMSG* reply = nullptr;
            if (!q.Ask(&reply, &request)) {
                state.SkipWithError("query failed");
                break;
            }
        }
        rig.server->GetConnection()->Close();
    }
    state.SetItemsProcessed(state.iterations() * kQueries);
}
BENCHMARK(BM_LoginPlus10000Queries)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
