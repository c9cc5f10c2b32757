// The discovery fuzz target's committed inputs, replayed under the unit-test build.
#include <gtest/gtest.h>

#define QV_FUZZ_ENTRY ReplayDiscoveryInput
#define QV_FUZZ_FAIL(text) ADD_FAILURE() << "fuzz invariant broken: " << text
#include "fuzz/fuzz_discovery.cpp"
#include "fuzz/fuzz_replay.h"

namespace
{

TEST(FuzzReplay, DiscoveryInputsKeepTheirInvariants)
{
    const auto files = qvfuzz::CorpusFiles("fuzz_discovery");
#ifdef _WIN32
    if (files.empty()) GTEST_SKIP() << "corpus folder not reachable from this prefix";
#endif
    ASSERT_FALSE(files.empty()) << qvfuzz::CorpusFolder("fuzz_discovery").string();
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = qvfuzz::ReadInput(file);
        ReplayDiscoveryInput(input.data(), input.size());
    }
}

} // namespace
