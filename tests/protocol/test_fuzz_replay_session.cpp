// The session fuzz target's committed inputs, replayed under the unit-test build
// (and so under the sanitizers and on Windows). The well-formed seeds also pin
// what the session makes of them, so that the target keeps reaching the login,
// the query and both download forms.
#include <gtest/gtest.h>

#include <map>
#include <string>

#define QV_FUZZ_ENTRY ReplaySessionInput
#define QV_FUZZ_FAIL(text) ADD_FAILURE() << "fuzz invariant broken: " << text
#include "fuzz/fuzz_replay.h"
#include "fuzz/fuzz_session.cpp"

namespace
{

struct Expected {
    bool loginOk;
    bool answered;
    int state;
    uintmax_t fileSize; // only when written
};

TEST(FuzzReplay, SessionInputsKeepTheirInvariants)
{
    const auto files = qvfuzz::CorpusFiles("fuzz_session");
#ifdef _WIN32
    if (files.empty()) GTEST_SKIP() << "corpus folder not reachable from this prefix";
#endif
    ASSERT_FALSE(files.empty()) << qvfuzz::CorpusFolder("fuzz_session").string();

    const std::map<std::string, Expected> expected = {
        {"seed-version-then-whole-file", {false, true, CFileDownloader::StateWritten, 768}},
        {"seed-pieces-in-small-chunks", {false, true, CFileDownloader::StateWritten, 768}},
        {"seed-login-then-configurator", {true, true, CFileDownloader::StateWritten, 16}},
        {"seed-nested-handlers", {false, true, CFileDownloader::StateWritten, 8}},
        {"seed-damaged-piece", {false, false, CFileDownloader::StateFailed, 0}},
        {"seed-huge-total", {false, false, CFileDownloader::StateFailed, 0}},
        {"seed-many-put-aside", {false, true, CFileDownloader::StateRunning, 0}},
    };
    size_t seen = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> input = qvfuzz::ReadInput(file);
        ReplaySessionInput(input.data(), input.size());
        auto it = expected.find(file.filename().string());
        if (it == expected.end()) continue;
        seen++;
        const Expected& e = it->second;
        EXPECT_EQ(g_LastOutcome.loginOk, e.loginOk);
        EXPECT_EQ(g_LastOutcome.answered, e.answered);
        EXPECT_EQ(g_LastOutcome.downloadState, e.state);
        EXPECT_EQ(g_LastOutcome.fileWritten, e.state == CFileDownloader::StateWritten);
        if (e.state == CFileDownloader::StateWritten) {
            EXPECT_EQ(g_LastOutcome.fileSize, e.fileSize);
        }
    }
    EXPECT_EQ(seen, expected.size());
}

} // namespace
