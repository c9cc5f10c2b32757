// The reliable-stream fuzz target's committed inputs, replayed under the unit-test build.
#include <gtest/gtest.h>

#define QV_FUZZ_ENTRY ReplayRudpInput
#define QV_FUZZ_FAIL(text) ADD_FAILURE() << "fuzz invariant broken: " << text
#include "fuzz/fuzz_replay.h"
#include "fuzz/fuzz_rudp.cpp"

namespace
{

TEST(FuzzReplay, ReliableStreamInputsKeepTheirInvariants)
{
    const auto files = qvfuzz::CorpusFiles("fuzz_rudp");
#ifdef _WIN32
    if (files.empty()) GTEST_SKIP() << "corpus folder not reachable from this prefix";
#endif
    ASSERT_FALSE(files.empty()) << qvfuzz::CorpusFolder("fuzz_rudp").string();
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = qvfuzz::ReadInput(file);
        ReplayRudpInput(input.data(), input.size());
    }
}

} // namespace
