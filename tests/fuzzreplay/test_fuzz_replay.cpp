// A fuzz target's committed inputs, replayed under the unit-test build (and so under
// the sanitizers and on Windows). tests/CMakeLists.txt compiles this one file once for
// each target (qv_fuzz_replay), naming the target's source, its corpus folder, its
// entry and the test; a target whose well-formed seeds must also lead somewhere
// names a header of expected outcomes in QV_REPLAY_OUTCOMES.
#include <gtest/gtest.h>

#include <string>

#define QV_FUZZ_FAIL(text) ADD_FAILURE() << "fuzz invariant broken: " << text
#include "fuzz/fuzz_replay.h"
#include QV_REPLAY_SOURCE
#ifdef QV_REPLAY_OUTCOMES
#include QV_REPLAY_OUTCOMES
#endif

namespace
{

// TEST pastes its name: the name macro has to be expanded one level earlier.
#define QV_REPLAY_TEST(name) TEST(FuzzReplay, name)

QV_REPLAY_TEST(QV_REPLAY_NAME)
{
    const auto files = qvfuzz::CorpusFiles(QV_REPLAY_CORPUS);
#ifdef _WIN32
    if (files.empty()) GTEST_SKIP() << "corpus folder not reachable from this prefix";
#endif
    ASSERT_FALSE(files.empty()) << qvfuzz::CorpusFolder(QV_REPLAY_CORPUS).string();
#ifdef QV_REPLAY_OUTCOMES
    ReplayOutcomes outcomes;
#endif
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = qvfuzz::ReadInput(file);
        QV_FUZZ_ENTRY(input.data(), input.size());
#ifdef QV_REPLAY_OUTCOMES
        outcomes.Check(file.filename().string());
#endif
    }
#ifdef QV_REPLAY_OUTCOMES
    outcomes.CheckAllSeen();
#endif
}

} // namespace
