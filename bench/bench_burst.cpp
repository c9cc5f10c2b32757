// A controller that sends a burst of tiny messages in one read: Poll must handle
// it in time proportional to its size (each byte moved a bounded number of times).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "protocol/qvserver.h"
#include "util/qvtypes.h"

namespace {

// Hands out the whole burst in one Receive, then stays up with nothing to read.
class BurstStream : public CDatagramStream
{
public:
    explicit BurstStream(const std::vector<uint8_t>& bytes) : m_Bytes(bytes), m_nPos(0) {}
    bool Send(const void*, int) override { return true; }
    int Receive(void* buffer, int size) override
    {
        size_t n = m_Bytes.size() - m_nPos;
        if (n > (size_t)size) n = (size_t)size;
        memcpy(buffer, m_Bytes.data() + m_nPos, n);
        m_nPos += n;
        return (int)n;
    }
    bool WaitReadable(uint32_t) override { return m_nPos < m_Bytes.size(); }
    QVSOCKET GetReadySocket() override { return QV_INVALID_SOCKET; }
    bool IsUp() override { return true; }
    void Close() override {}

private:
    std::vector<uint8_t> m_Bytes;
    size_t m_nPos;
};

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
    g_pServer = &server;
    for (auto _ : state) {
        server.GetConnection()->InstallClient(new BurstStream(burst));
        server.Poll();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)burst.size());
    server.GetConnection()->Close();
    g_pServer = nullptr;
}
BENCHMARK(BM_PollBurstOfEmptyMessages)->Arg(256 << 10)->Arg(1 << 20)->Arg(1900000)->Unit(benchmark::kMillisecond);

} // namespace
