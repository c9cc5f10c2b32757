// The relay datagrams fuzz target's committed inputs, replayed under the unit-test build.
#include <gtest/gtest.h>

#define QV_FUZZ_ENTRY ReplayRelayInput
#define QV_FUZZ_FAIL(text) ADD_FAILURE() << "fuzz invariant broken: " << text
#include "fuzz/fuzz_relay.cpp"
#include "fuzz/fuzz_replay.h"

namespace
{

TEST(FuzzReplay, RelayDatagramInputsKeepTheirInvariants)
{
    const auto files = qvfuzz::CorpusFiles("fuzz_relay");
#ifdef _WIN32
    if (files.empty()) GTEST_SKIP() << "corpus folder not reachable from this prefix";
#endif
    ASSERT_FALSE(files.empty()) << qvfuzz::CorpusFolder("fuzz_relay").string();
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = qvfuzz::ReadInput(file);
        ReplayRelayInput(input.data(), input.size());
    }
}

} // namespace
