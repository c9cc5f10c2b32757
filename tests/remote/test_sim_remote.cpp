// The controller simulator on the remote roads, with the launcher's own session on
// the other side: a relayed TCP socket (no greeting) and a hole-punched UDP path
// carrying the reliable stream, clean and through a lossy path.
#include <fstream>
#include <iterator>
#include <thread>

#include "protocol/downloader.h"
#include "protocol/test_qvserver_fixture.h"
#include "rudp_test_support.h"
#include "sim/impair/impair.h"
#include "sim/rudppeer/rudppeer.h"
#include "tests/support/tcppair.h"

using namespace sessiontest;

namespace
{

bool HasLine(const std::vector<std::string>& log, const std::string& line)
{
    for (const std::string& l : log)
        if (l == line) return true;
    return false;
}

class SimRemoteTest : public SessionTest
{
  protected:
    QVSOCKET ctl = QV_INVALID_SOCKET; // the controller's punched socket until handed over
    std::thread punch;

    void TearDown() override
    {
        if (punch.joinable()) punch.join();
        CloseSocket(ctl);
        SessionTest::TearDown();
    }

    // What the relay enrollment does on the controller's side: the first hello is
    // answered, then the socket and the launcher's address go to the simulator.
    QVSockAddr OpenPunchSide()
    {
        rudptest::StartSockets();
        ctl = SocketUdp();
        QVSockAddr at;
        EXPECT_TRUE(SocketBind(ctl, MakeSockAddr(LoopbackAddress(), 0)) && SocketLocalAddr(ctl, &at));
        punch = std::thread([this] {
            uint8_t d[64];
            QVSockAddr from;
            while (SocketReadable(ctl, 5000)) {
                if (SocketRecvFrom(ctl, d, sizeof d, &from) == 1 && d[0] == STUN_HELLO) {
                    uint8_t ack = STUN_HELLO_ACK;
                    SocketSendTo(ctl, &ack, 1, from);
                    sim->ServePunched(ctl, from);
                    ctl = QV_INVALID_SOCKET;
                    return;
                }
            }
        });
        return at;
    }

    // The launcher's side of a punched path, installed in the session, logged in.
    void LoginOver(CDatagramStream* stream)
    {
        ASSERT_NE(stream, nullptr);
        MakeServer();
        server->GetConnection()->InstallClient(stream);
        StatusLog status;
        ASSERT_EQ(server->Login(&status), LoginResult::Ok);
        EXPECT_EQ(status.lines.back(), "Login OK");
    }

    void ExpectVersionAndEcho()
    {
        CQVQuery vq(server.get());
        CQVMSG ask(0, MSG_GET_VERSION, 0);
        CQVMSG* reply = nullptr;
        ASSERT_TRUE(vq.Ask(&reply, &ask));
        EXPECT_EQ(reply->ReadString(), cfg.version);
        CQVQuery eq(server.get());
        CQVMSG echo(0, SIM_MSG_ECHO, 0);
        echo.WriteString(std::string(5000, 'e')); // more than one datagram's payload
        ASSERT_TRUE(eq.Ask(&reply, &echo));
        EXPECT_EQ(reply->GetCode(), SIM_MSG_ECHO_REPLY);
        EXPECT_EQ(reply->ReadString(), std::string(5000, 'e'));
    }
};

} // namespace

TEST_F(SimRemoteTest, ARelayedSocketWithoutTheGreetingGetsASessionAndTheSessionIdPrintedUnsigned)
{
    StartSim();
    QVSOCKET launcher, controller;
    ASSERT_TRUE(MakeTcpPair(&launcher, &controller));
    ASSERT_TRUE(sim->ServeRelayed(controller, 2147483649u));
    MakeServer();
    server->GetConnection()->AdoptSocket(launcher);
    ASSERT_EQ(server->Login(nullptr), LoginResult::Ok);
    ExpectVersionAndEcho();
    SimStats s = sim->GetStats();
    EXPECT_EQ(s.relayedSessions, 1u);
    EXPECT_EQ(s.preamblesOk + s.preamblesBad, 0u);
    EXPECT_EQ(s.loginsOk, 1u);
    EXPECT_TRUE(HasLine(sim->GetLog(), "conn 0: turn session 2147483649"));
    server->GetConnection()->Close();
    EXPECT_TRUE(SimSees([](const SimStats& st) { return st.closes == 1; }));
}

TEST_F(SimRemoteTest, TheDirectGreetingOnARelayedStreamEndsItAndTheDirectRoadStillWantsIt)
{
    StartSim();
    QVSOCKET launcher, controller;
    ASSERT_TRUE(MakeTcpPair(&launcher, &controller));
    ASSERT_TRUE(sim->ServeRelayed(controller, 7));
    std::vector<uint8_t> bytes(DIRECT_PREAMBLE, DIRECT_PREAMBLE + DIRECT_PREAMBLE_LENGTH);
    std::vector<uint8_t> ask = CSimController::Encode(0, MSG_GET_CHALLENGE, {});
    bytes.insert(bytes.end(), ask.begin(), ask.end());
    ASSERT_EQ(SocketSend(launcher, bytes.data(), (int)bytes.size()), (int)bytes.size());
    uint8_t b[64];
    ASSERT_TRUE(SocketReadable(launcher, 5000));
    EXPECT_EQ(SocketRecv(launcher, b, sizeof b), 0); // closed unanswered
    CloseSocket(launcher);
    EXPECT_TRUE(HasLine(sim->GetLog(), "conn 0: direct greeting on a relayed stream"));
    EXPECT_EQ(sim->GetStats().challenges, 0u);

    // The accepted road is unchanged: greeting first, then a session.
    MakeServer();
    ASSERT_EQ(server->ConnectDirect(sim->GetAddress()), LoginResult::Ok);
    EXPECT_TRUE(HasLine(sim->GetLog(), "conn 1: greeting ok"));
}

// The hole-punched road as the launcher takes it (hellos, the launcher's
// parameters, then the session), through 5% loss each way: the login, the version,
// an echo and a 1 MB download in pieces arrive intact.
TEST_F(SimRemoteTest, APunchedPathThroughFivePercentLossCarriesTheSessionAndAMegabyteDownloadIntact)
{
    cfg.viewerFile.resize(1000000);
    for (size_t i = 0; i < cfg.viewerFile.size(); i++)
        cfg.viewerFile[i] = (uint8_t)(i * 7 + (i >> 11));
    cfg.pieceSize = 64000;
    StartSim();
    QVSockAddr controller = OpenPunchSide();
    ImpairSettings lossy;
    lossy.loss = 0.05;
    CUdpImpairProxy path;
    ASSERT_TRUE(path.Start(controller, lossy, lossy, 20240611));
    LoginOver(RudpConnect(path.GetAddress(), &STUN_PARAMS_PROPOSED, 10000));
    ExpectVersionAndEcho();

    const std::string file = dir + "/VIEWER.EXE";
    {
        CFileDownloader dl(server.get(), nullptr, file);
        CQVMSG req(dl.GetId(), MSG_GET_VIEWER_EXE, 0);
        req.WriteDWord(0), req.WriteDWord(2), req.WriteDWord(CLIENT_REVISION);
        ASSERT_EQ(dl.Run(&req), DownloadResult::Written);
    }
    std::ifstream f(file, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(got == cfg.viewerFile) << got.size() << " bytes";
    EXPECT_GT(path.CountsToClient().dropped, 0u);

    std::vector<std::string> log = sim->GetLog();
    EXPECT_TRUE(HasLine(log, "conn 0: params 1390/24/8/128/127/512"));
    EXPECT_EQ(sim->GetStats().punchedSessions, 1u);
    EXPECT_EQ(sim->GetStats().streamsStarted, 1u);
    server->GetConnection()->Close(); // BYE: the simulator's side ends too
    EXPECT_TRUE(SimSees([](const SimStats& st) { return st.closes == 1; }, 8000));
}

// A launcher that proposes nothing keeps the initial block on both sides; a path on
// which nothing comes is given up after its wait; others' datagrams are ignored.
TEST_F(SimRemoteTest, APunchedPathStartsWithTheLaunchersFirstDatagramOrIsGivenUp)
{
    cfg.punchedStartMs = 400;
    StartSim();
    LoginOver(RudpConnect(OpenPunchSide(), nullptr, 5000));
    ExpectVersionAndEcho();
    EXPECT_TRUE(
        HasLine(sim->GetLog(), "conn 0: no params proposed (data came first), 509/24/8/24/4/384 stays"));
    server->GetConnection()->Close();
    punch.join();

    // Hellos only (answered), and a stranger's datagrams (ignored), then silence.
    QVSockAddr at = OpenPunchSide();
    rudptest::RawPeer launcher, stranger;
    rudptest::Bytes d;
    ASSERT_TRUE(launcher.SendTo(at, rudptest::Single(STUN_HELLO)));
    ASSERT_TRUE(launcher.RecvType(STUN_HELLO_ACK, &d)); // from the hand-over
    punch.join();
    ASSERT_TRUE(launcher.SendTo(at, rudptest::Single(STUN_HELLO)));
    EXPECT_TRUE(launcher.RecvType(STUN_HELLO_ACK, &d)); // from the simulator
    ASSERT_TRUE(stranger.SendTo(at, rudptest::Params(STUN_PARAMS_PROPOSED)));
    EXPECT_FALSE(stranger.Recv(&d, 200));
    EXPECT_TRUE(SimSees([](const SimStats& st) { return st.closes == 2; }));
    std::vector<std::string> log = sim->GetLog();
    EXPECT_TRUE(HasLine(log, "conn 1: no stream: no parameters or data within 400 ms"));
    EXPECT_TRUE(HasLine(log, "conn 1: closed (no stream)"));
    EXPECT_EQ(sim->GetStats().streamsStarted, 1u);
}

// A launcher that stops reading holds the simulator's send on its window; stopping
// the simulator must not wait for the stream's 30-second stall.
TEST_F(SimRemoteTest, StopEndsASessionBlockedOnALauncherThatStoppedReading)
{
    cfg.viewerFile.assign(1500000, 0x5A);
    cfg.requireLogin = false;
    StartSim();
    CRUDPClient* launcher = RudpConnect(OpenPunchSide(), &STUN_PARAMS_PROPOSED, 5000);
    ASSERT_NE(launcher, nullptr);
    uint8_t req[20];
    PutLE16(req, 1), PutLE16(req + 2, MSG_GET_VIEWER_EXE), PutLE32(req + 4, 12);
    PutLE32(req + 8, 0), PutLE32(req + 12, 2), PutLE32(req + 16, CLIENT_REVISION);
    ASSERT_TRUE(launcher->Send(req, sizeof req));
    ASSERT_TRUE(SimSees([](const SimStats& st) { return st.viewerRequests == 1; }));
    SleepMs(300); // the launcher's receive ring fills and its window shuts
    const uint32_t started = GetTick();
    sim->Stop();
    EXPECT_LT(TickSince(started), DATAGRAM_STREAM_CLOSE_MS + 1000);
    EXPECT_EQ(sim->GetStats().openConnections, 0u);
    launcher->Close();
    delete launcher;
}
