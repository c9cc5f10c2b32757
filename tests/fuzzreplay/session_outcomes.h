// What the session makes of the session target's well-formed seeds, so that the
// target keeps reaching the login, the query and both download forms.
#pragma once
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace
{

class ReplayOutcomes
{
  public:
    // Called after each input with the outcome the target left in g_LastOutcome.
    void Check(const std::string& name)
    {
        auto it = m_expected.find(name);
        if (it == m_expected.end()) return;
        m_seen++;
        const Expected& e = it->second;
        EXPECT_EQ(g_LastOutcome.loginOk, e.loginOk);
        EXPECT_EQ(g_LastOutcome.answered, e.answered);
        EXPECT_EQ(g_LastOutcome.downloadState, e.state);
        EXPECT_EQ(g_LastOutcome.fileWritten, e.state == CFileDownloader::StateWritten);
        if (e.state == CFileDownloader::StateWritten) {
            EXPECT_EQ(g_LastOutcome.fileSize, e.fileSize);
        }
    }

    void CheckAllSeen() const { EXPECT_EQ(m_seen, m_expected.size()); }

  private:
    struct Expected {
        bool loginOk;
        bool answered;
        int state;
        uintmax_t fileSize; // only when written
    };
    const std::map<std::string, Expected> m_expected = {
        {"seed-version-then-whole-file", {false, true, CFileDownloader::StateWritten, 768}},
        {"seed-pieces-in-small-chunks", {false, true, CFileDownloader::StateWritten, 768}},
        {"seed-login-then-configurator", {true, true, CFileDownloader::StateWritten, 16}},
        {"seed-nested-handlers", {false, true, CFileDownloader::StateWritten, 8}},
        {"seed-damaged-piece", {false, false, CFileDownloader::StateFailed, 0}},
        {"seed-huge-total", {false, false, CFileDownloader::StateFailed, 0}},
        {"seed-many-put-aside", {false, true, CFileDownloader::StateRunning, 0}},
    };
    size_t m_seen = 0;
};

} // namespace
