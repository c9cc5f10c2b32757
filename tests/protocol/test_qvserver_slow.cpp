// The session's fixed time-outs, which take seconds each; kept together and few.
#include "test_qvserver_fixture.h"

using namespace sessiontest;

namespace
{

// Moves the tick counter so that it wraps a few seconds into the test.
struct TickNearWrap {
    TickNearWrap()
    {
        SetTickOffsetForTest(0);
        SetTickOffsetForTest((uint32_t)(0xFFFFFFFFu - 3000u) - GetTick());
    }
    ~TickNearWrap() { SetTickOffsetForTest(0); }
};

} // namespace

TEST_F(SessionTest, SilentControllerIsDroppedByPollAfterTenSecondsAcrossTheTickWrap)
{
    TickNearWrap wrap;
    Connect();
    // The version answer after the login is the last message the controller sends.
    ASSERT_TRUE(PollUntil([&] { return sim->GetStats().versionRequests == 1; }));
    while (server->Poll() != PollResult::Nothing) {
    }
    uint32_t start = GetTick();
    PollResult result;
    while ((result = server->Poll()) != PollResult::TransportDown && TickSince(start) < 20000) {
    }
    uint32_t elapsed = TickSince(start);
    EXPECT_EQ(result, PollResult::TransportDown);
    EXPECT_FALSE(server->IsConnected());
    EXPECT_GE(elapsed, 9800u);
    EXPECT_LT(elapsed, 12000u);
    EXPECT_TRUE(SimSees([](const SimStats& s) { return s.closes == 1; }));
}

TEST_F(SessionTest, UnansweredChallengeGivesUpAfterFiveSeconds)
{
    cfg.faults.onCode = MSG_GET_CHALLENGE;
    cfg.faults.silent = true;
    StartSim();
    MakeServer();
    StatusLog log;
    ASSERT_EQ(server->GetConnection()->ConnectDirect(sim->GetAddress(), 0), ConnectResult::Ok);
    uint32_t start = GetTick();
    EXPECT_NE(server->Login(&log), LoginResult::Ok);
    uint32_t elapsed = TickSince(start);
    EXPECT_GE(elapsed, 5000u);
    EXPECT_LT(elapsed, 6500u);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Get Challenge", "No Response From Server"}));
    EXPECT_EQ(sim->GetStats().messagesByCode[MSG_LOGIN], 0u);
}
