// A controller that sends a burst of tiny messages in one read: Poll must handle
// it in time proportional to its size (each byte moved a bounded number of times).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "protocol/qvserver.h"
#include "tests/support/fakestream.h"
#include "util/qvtypes.h"

namespace
{

void BM_PollBurstOfEmptyMessages(benchmark::State& state)
{
    const size_t bytes = (size_t)state.range(0);
    std::vector<uint8_t> burst(bytes - bytes % 8);
    for (size_t i = 0; i < burst.size(); i += 8) {
        PutLE16(&burst[i], 4242); // no endpoint has this id: dropped after the cut
        PutLE16(&burst[i + 2], 9300);
        PutLE32(&burst[i + 4], 0);
    }
    CQVServer server(".");
    for (auto _ : state) {
        state.PauseTiming();
        // The whole burst in one Receive; then the stream stays up with nothing to read.
        auto stream = std::make_shared<CFakeStream>();
        stream->Push(burst.data(), burst.size());
        server.GetConnection()->InstallClient(stream);
        state.ResumeTiming();
        server.Poll();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)burst.size());
    server.GetConnection()->Close();
}
BENCHMARK(BM_PollBurstOfEmptyMessages)
    ->Arg(256 << 10)
    ->Arg(1 << 20)
    ->Arg(1900000)
    ->Unit(benchmark::kMillisecond);

} // namespace
