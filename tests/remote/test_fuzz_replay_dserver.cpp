// The discovery-server answer fuzz target's committed inputs, replayed under the unit-test build.
#include <gtest/gtest.h>

#define QV_FUZZ_ENTRY ReplayDServerInput
#define QV_FUZZ_FAIL(text) ADD_FAILURE() << "fuzz invariant broken: " << text
#include "fuzz/fuzz_dserver.cpp"
#include "fuzz/fuzz_replay.h"

namespace
{

TEST(FuzzReplay, DiscoveryServerInputsKeepTheirInvariants)
{
    const auto files = qvfuzz::CorpusFiles("fuzz_dserver");
#ifdef _WIN32
    if (files.empty()) GTEST_SKIP() << "corpus folder not reachable from this prefix";
#endif
    ASSERT_FALSE(files.empty()) << qvfuzz::CorpusFolder("fuzz_dserver").string();
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = qvfuzz::ReadInput(file);
        ReplayDServerInput(input.data(), input.size());
    }
}

} // namespace
