// Shared set-up for the session and download tests: a simulated controller on
// 127.0.0.1 and a fresh session that is the process-wide one for the test.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "protocol/qvserver.h"
#include "sim/core/sim_controller.h"
#include "util/tempdir.h"
#include "util/qvtick.h"
#include "util/qvtypes.h"

namespace sessiontest
{

// Little-endian building blocks written out by hand, so that expectations do not
// come from the encoder under test.
inline void Word(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back((uint8_t)x);
    v.push_back((uint8_t)(x >> 8));
    v.push_back((uint8_t)(x >> 16));
    v.push_back((uint8_t)(x >> 24));
}
inline void Text(std::vector<uint8_t>& v, const std::string& s)
{
    Word(v, (uint32_t)s.size());
    v.insert(v.end(), s.begin(), s.end());
    while (v.size() % 4)
        v.push_back(0);
}
inline std::vector<uint8_t> Header(uint16_t id, uint16_t code, uint32_t length)
{
    std::vector<uint8_t> v = {(uint8_t)id, (uint8_t)(id >> 8), (uint8_t)code, (uint8_t)(code >> 8)};
    Word(v, length);
    return v;
}

// The session of the running test, for endpoints made inside it.
inline CQVServer*& TestSession()
{
    static CQVServer* session = nullptr;
    return session;
}

struct RecordingSink : public CSocketSink {
    RecordingSink() : CSocketSink(TestSession()) {}
    explicit RecordingSink(uint16_t id) : CSocketSink(TestSession(), id) {}
    struct Seen {
        uint16_t id, code;
        std::vector<uint8_t> body;
    };
    std::vector<Seen> seen;
    std::vector<bool> states;
    void OnMessage(CQVMSG* m) override
    {
        Seen s{m->GetId(), m->GetCode(), std::vector<uint8_t>()};
        if (m->GetLength()) s.body.assign(m->GetBody(), m->GetBody() + m->GetLength());
        seen.push_back(s);
    }
    void OnConnectionState(bool c) override { states.push_back(c); }
};

struct StatusLog : public CAttemptObserver {
    std::vector<std::string> lines;
    void OnStatus(const char* text) override { lines.push_back(text); }
};

using ::MakeTempDir;

class SessionTest : public ::testing::Test
{
  protected:
    SimConfig cfg;
    std::unique_ptr<CSimController> sim;
    std::unique_ptr<CQVServer> server;
    std::string dir;

    void SetUp() override
    {
        SocketStartup();
        cfg.password = "secret";
        dir = MakeTempDir("session");
    }
    void TearDown() override
    {
        server.reset();
        TestSession() = nullptr;
        if (sim) sim->Stop();
        sim.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void StartSim()
    {
        sim.reset(new CSimController(cfg));
        ASSERT_TRUE(sim->Start());
    }
    void MakeServer(int mode = 0)
    {
        server.reset(new CQVServer(dir));
        TestSession() = server.get();
        server->SetLoginInfo("00-11-22-33-44-55", "TESTPC", "WINDOWS", "WINDOWS");
        server->SetMode(mode, cfg.password);
    }
    // Simulator, session and a logged-in direct connection.
    void Connect()
    {
        StartSim();
        MakeServer();
        ASSERT_EQ(server->ConnectDirect(sim->GetAddress()), LoginResult::Ok);
    }
    template <class P> bool PollUntil(P done, uint32_t ms = 5000)
    {
        uint32_t start = GetTick();
        while (!done()) {
            if (TickSince(start) > ms) return false;
            server->Poll();
        }
        return true;
    }
    bool SimSees(const std::function<bool(const SimStats&)>& c, uint32_t ms = 5000)
    {
        return sim->WaitUntil(c, ms);
    }
};

} // namespace sessiontest
