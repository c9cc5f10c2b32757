// Building and parsing controller messages: the login request, a message of many
// strings, and a large file piece parsed in place.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/qvmsg.h"
#include "util/product.h"

static void BM_BuildLoginMessage(benchmark::State& state)
{
    const uint8_t response[16] = {0};
    for (auto _ : state) {
        CQVMSG m(0, MSG_LOGIN, 256);
        m.WriteDWord(CLIENT_REVISION);
        m.WriteDWord(0);
        m.WriteString("Win Rerudi " QV_VERSION_DISPLAY);
        m.WriteDWord(16);
        m.WriteBlock16(response);
        m.WriteDWord(2);
        m.WriteString("00-11-22-33-44-55");
        m.WriteString("WINDOWS");
        m.WriteString("WINDOWS");
        m.WriteString("DESKTOP-PC");
        benchmark::DoNotOptimize(m.GetWireData());
    }
}
BENCHMARK(BM_BuildLoginMessage);

static void BM_BuildAndParse100Strings(benchmark::State& state)
{
    std::vector<std::string> texts;
    for (int i = 0; i < 100; i++)
        texts.push_back("system entry " + std::to_string(i * 7919));
    std::string out;
    for (auto _ : state) {
        CQVMSG m(1, MSG_GET_VERSION_REPLY);
        for (const std::string& t : texts)
            m.WriteString(t);
        CQVMSG view(m.GetWireData());
        for (int i = 0; i < 100; i++)
            view.ReadString(&out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_BuildAndParse100Strings);

static void BM_ParseFilePiece64000(benchmark::State& state)
{
    const uint32_t piece = 64000;
    CQVMSG m(2, MSG_FILE_PIECE);
    m.WriteDWord(1000000);
    m.WriteDWord(piece);
    std::vector<uint8_t> data(piece, 0x5C);
    for (uint32_t i = 0; i < piece; i += 4) {
        uint32_t w;
        memcpy(&w, &data[i], 4);
        m.WriteDWord(w);
    }
    std::vector<uint8_t> wire(m.GetWireData(), m.GetWireData() + m.GetWireSize());
    std::vector<uint8_t> dest(piece);
    for (auto _ : state) {
        CQVMSG view(wire.data());
        uint32_t total = 0, n = 0;
        view.ReadDWord(&total);
        view.ReadDWord(&n);
        view.ReadBytes(dest.data(), n);
        benchmark::DoNotOptimize(dest.data());
    }
    state.SetBytesProcessed(state.iterations() * piece);
}
BENCHMARK(BM_ParseFilePiece64000);
