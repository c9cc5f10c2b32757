// Cancel during each wait of a start attempt: the attempt ends within 300 ms of
// the answer "no", closes what it opened, and its last line says it was cancelled.
#include "test_voltarodlg_fixture.h"

#include "app/startattempt_win32.h"
#include "protocol/qvmsg.h"
#include "protocol/qvserver.h"
#include "util/qvtick.h"

namespace
{

// Lets the attempt run until a status line containing `trigger` has appeared and
// `asks` more questions were asked, then says no for ever; notes when it first did.
struct CancelAt : CAttemptObserver {
    std::string trigger;
    int asks;
    bool armed = false;
    uint32_t cancelledAt = 0;
    std::vector<std::string> lines;
    CancelAt(const char* t, int n) : trigger(t), asks(n) {}
    void OnStatus(const char* text) override
    {
        lines.push_back(text);
        if (lines.back().find(trigger) != std::string::npos) armed = true;
    }
    bool KeepWaiting() override
    {
        if (cancelledAt) return false;
        if (!armed || asks-- > 0) return true;
        cancelledAt = GetTick();
        return false;
    }
};

struct Wait {
    const char* what;
    const char* version;
    uint16_t silentOn; // the simulator never answers this request
    const char* trigger;
    bool programNeverTakesThePipe;
};

const Wait WAITS[] = {
    {"login", "7.1.1.0", MSG_GET_CHALLENGE, "Get Challenge", false},
    {"version", "7.1.1.0", MSG_GET_VERSION, "Getting Version Information", false},
    {"download", "7.1.1.0", MSG_GET_VIEWER_EXE, "Downloading:", false},
    {"pipe hand-over", "7.1.0.9", 0, "Remote System Version", true},
};

} // namespace

TEST_F(MainWndTest, CancelEndsTheAttemptWithin300MsAtEveryWait)
{
    for (const Wait& w : WAITS) {
        SCOPED_TRACE(w.what);
        StartSim(w.version, "pw");
        if (w.silentOn) {
            SimFaults f;
            f.silent = true;
            f.onCode = w.silentOn;
            m_pSim->SetFaults(f);
        }
        AttemptRequest r;
        r.systemName = SimName();
        r.password = "pw";
        r.road.kind = RoadKind::Typed;
        r.road.address = LoopbackAddress();
        r.road.port = m_pSim->GetPort();
        r.pipeId = 0x5EED0000u + (uint32_t)(&w - WAITS);
        r.dataFolder = m_strDataFolder;
        CancelAt observer(w.trigger, 3);
        CStartAttempt attempt(m_pSession, &observer);
        EXPECT_EQ(attempt.Run(r), AttemptOutcome::Cancelled);
        ASSERT_NE(observer.cancelledAt, 0u);
        EXPECT_LT(TickSince(observer.cancelledAt), 300u);
        ASSERT_FALSE(observer.lines.empty());
        EXPECT_EQ(observer.lines.back(), "Attempt cancelled");
        EXPECT_FALSE(m_pSession->IsConnected());
        EXPECT_FALSE(FileExistsA(VersionPath("7_1_1_0", "BRIGHTLEAF.EXE")));
        delete m_pSim;
        m_pSim = nullptr;
    }
}

// The direct road's connect wait: a listener whose queue is full never
// completes the connect, and Cancel ends the wait.
TEST_F(MainWndTest, CancelEndsTheConnectWait)
{
    QVSOCKET listener = SocketTcp();
    ASSERT_TRUE(SocketBind(listener, MakeSockAddr(LoopbackAddress(), 0)));
    ASSERT_TRUE(SocketListen(listener, 0));
    QVSockAddr at;
    ASSERT_TRUE(SocketLocalAddr(listener, &at));
    std::vector<QVSOCKET> filling;
    for (int i = 0; i < 8; ++i) {
        QVSOCKET s = SocketTcp();
        SetNonBlocking(s);
        SocketConnect(s, at);
        filling.push_back(s);
    }
    struct After : CAttemptObserver {
        int asks = 5;
        uint32_t cancelledAt = 0;
        void OnStatus(const char*) override {}
        bool KeepWaiting() override
        {
            if (cancelledAt || asks-- > 0) return cancelledAt == 0;
            cancelledAt = GetTick();
            return false;
        }
    } observer;
    CXConnection transport("servers.txt");
    const ConnectResult result = transport.ConnectDirect(at, 0, &observer);
    // Some stacks complete connects beyond the queue; then there was no wait to end.
    if (observer.cancelledAt) {
        EXPECT_EQ(result, ConnectResult::Cancelled);
        EXPECT_LT(TickSince(observer.cancelledAt), 300u);
        EXPECT_FALSE(transport.IsConnected());
    }
    for (QVSOCKET s : filling)
        CloseSocket(s);
    CloseSocket(listener);
}
