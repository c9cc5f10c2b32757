// Fetching the viewer and configurator from a simulated controller: whole files,
// pieces, wrong and malformed replies, cancel and a lost connection.
#include <fstream>
#include <iterator>

#include "protocol/downloader.h"
#include "test_qvserver_fixture.h"

using namespace sessiontest;

namespace
{

struct Tracker : public CAttemptObserver {
    std::vector<std::pair<uint32_t, uint32_t>> progress;
    std::vector<std::string> errors;
    int cancelAfter = -1; // answer "cancelled" once asked more than this often
    int asked = 0;
    void OnProgress(uint32_t done, uint32_t total) override { progress.push_back({done, total}); }
    void OnStatus(const char* m) override { errors.push_back(m); }
    bool KeepWaiting() override
    {
        asked++;
        return !(cancelAfter >= 0 && asked > cancelAfter);
    }
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(seed + i * 13 + (i >> 8));
    return v;
}

class DownloadTest : public SessionTest
{
  protected:
    Tracker tracker;
    std::string Path() const { return dir + "/BRIGHTLEAF.EXE"; }
    bool Exists() const { return std::filesystem::exists(Path()); }
    std::vector<uint8_t> OnDisk() const
    {
        std::ifstream f(Path(), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    bool Fetch(CFileDownloader& dl, bool viewer = true)
    {
        CQVMSG req(dl.GetId(), viewer ? MSG_GET_VIEWER_EXE : MSG_GET_CONFIG_EXE, 0);
        if (viewer)
            req.WriteDWord(0), req.WriteDWord(2);
        else
            req.WriteDWord(3);
        req.WriteDWord(CLIENT_REVISION);
        return dl.Run(&req) == DownloadResult::Written;
    }
    // The simulator holds its answer so that the test can send its own replies.
    void Hold()
    {
        SimFaults f;
        f.silent = true;
        f.onCode = MSG_GET_VIEWER_EXE;
        sim->SetFaults(f);
    }
};

} // namespace

TEST_F(DownloadTest, WholeFileIsWrittenAndRequestCarriesItsWords)
{
    cfg.viewerFile = Pattern(3001, 1);
    Connect();
    CFileDownloader dl(server.get(), &tracker, Path());
    EXPECT_TRUE(Fetch(dl));
    EXPECT_EQ(dl.GetState(), CFileDownloader::StateWritten);
    EXPECT_EQ(OnDisk(), cfg.viewerFile);
    EXPECT_TRUE(tracker.errors.empty());
    SimStats s = sim->GetStats();
    EXPECT_EQ(s.viewerRequests, 1u);
    EXPECT_EQ(s.badRequests, 0u); // the words 0, 2, 1528 were as expected
}

TEST_F(DownloadTest, ConfiguratorAndTheOtherReplyCodesAreAccepted)
{
    cfg.configFile = Pattern(500, 2);
    cfg.configWholeCode = 8149;
    cfg.viewerFile = Pattern(70, 3);
    cfg.viewerWholeCode = 8132;
    Connect();
    {
        CFileDownloader dl(server.get(), &tracker, Path());
        EXPECT_TRUE(Fetch(dl, false));
        EXPECT_EQ(OnDisk(), cfg.configFile);
    }
    {
        CFileDownloader dl(server.get(), &tracker, Path());
        EXPECT_TRUE(Fetch(dl));
        EXPECT_EQ(OnDisk(), cfg.viewerFile); // replaced the earlier file
    }
    SimStats s = sim->GetStats();
    EXPECT_EQ(s.configRequests, 1u);
    EXPECT_EQ(s.badRequests, 0u);
}

TEST_F(DownloadTest, EmptyFileWholeOrInPiecesGivesAnEmptyFile)
{
    Connect();
    {
        CFileDownloader dl(server.get(), &tracker, Path());
        EXPECT_TRUE(Fetch(dl));
        EXPECT_TRUE(Exists());
        EXPECT_TRUE(OnDisk().empty());
    }
    std::filesystem::remove(Path());
    sim->SetPieceSize(1000);
    CFileDownloader dl(server.get(), &tracker, Path());
    EXPECT_TRUE(Fetch(dl));
    EXPECT_TRUE(Exists());
    EXPECT_TRUE(OnDisk().empty());
    ASSERT_EQ(tracker.progress.size(), 1u);
    EXPECT_EQ(tracker.progress[0], std::make_pair(0u, 0u));
}

TEST_F(DownloadTest, PiecesReportProgressBeforeEachPiece)
{
    cfg.viewerFile = Pattern(2500, 4);
    cfg.pieceSize = 1000;
    Connect();
    CFileDownloader dl(server.get(), &tracker, Path());
    EXPECT_TRUE(Fetch(dl));
    std::vector<std::pair<uint32_t, uint32_t>> expected = {{0, 2500}, {1000, 2500}, {2000, 2500}};
    EXPECT_EQ(tracker.progress, expected);
    EXPECT_EQ(OnDisk(), cfg.viewerFile);
    EXPECT_TRUE(SimSees([](const SimStats& s) { return s.piecesSent == 3; }));
}

TEST_F(DownloadTest, OtherPieceCodeDribbledBytesAndAStrayBroadcastStillComplete)
{
    cfg.viewerFile = Pattern(1300, 5);
    cfg.pieceSize = 512;
    cfg.pieceCode = 8333;
    cfg.faults.dribble = true;
    cfg.faults.unsolicitedFirst = true;
    cfg.faults.onCode = MSG_GET_VIEWER_EXE;
    Connect();
    CFileDownloader dl(server.get(), &tracker, Path());
    EXPECT_TRUE(Fetch(dl));
    EXPECT_EQ(OnDisk(), cfg.viewerFile);
    EXPECT_EQ(tracker.progress.size(), 3u);
}

TEST_F(DownloadTest, WrongReplyCodesEndTheDownloadWithoutAFile)
{
    for (uint16_t code : {(uint16_t)8120, (uint16_t)9000, (uint16_t)8130}) {
        cfg.viewerFile = Pattern(100, 6);
        cfg.faults.onCode = MSG_GET_VIEWER_EXE;
        cfg.faults.wrongReplyCode = true;
        cfg.faults.wrongCode = code;
        Connect();
        Tracker t;
        CFileDownloader dl(server.get(), &t, Path());
        EXPECT_FALSE(Fetch(dl)) << code;
        EXPECT_EQ(dl.GetState(), CFileDownloader::StateFailed);
        EXPECT_EQ(t.errors, std::vector<std::string>{"Unexpected message from system controller"});
        EXPECT_FALSE(Exists());
        server.reset();
        sim.reset();
    }
}

TEST_F(DownloadTest, MalformedRepliesFailWithoutTouchingMemoryOutsideTheirBounds)
{
    struct Case {
        const char* what;
        uint16_t code;
        std::vector<uint8_t> body;
        const char* error;
    };
    std::vector<Case> cases;
    {
        std::vector<uint8_t> b; // a piece that runs past the announced total
        Word(b, 100);
        Word(b, 200);
        b.resize(b.size() + 200, 0xEE);
        cases.push_back({"past total", 8301, b, "Unexpected message from system controller"});
    }
    {
        std::vector<uint8_t> b; // a piece longer than its message
        Word(b, 100);
        Word(b, 50);
        b.resize(b.size() + 12, 0xEE);
        cases.push_back({"past message", 8301, b, "Unexpected message from system controller"});
    }
    {
        std::vector<uint8_t> b; // a whole-file length past the message end
        Word(b, 1000);
        b.resize(b.size() + 16, 0xEE);
        cases.push_back({"whole past message", 8131, b, "Unexpected message from system controller"});
    }
    {
        std::vector<uint8_t> b; // a piece without its words
        Word(b, 100);
        cases.push_back({"short piece", 8301, b, "Unexpected message from system controller"});
    }
    {
        std::vector<uint8_t> b; // an absurd total is refused before any allocation
        Word(b, 0xFFFFFFF0u);
        Word(b, 4);
        Word(b, 0);
        cases.push_back({"absurd total", 8301, b, "ERROR: File from system controller is too large"});
    }
    Connect();
    for (const Case& c : cases) {
        Hold();
        Tracker t;
        CFileDownloader dl(server.get(), &t, Path());
        sim->Push(dl.GetId(), c.code, c.body);
        EXPECT_FALSE(Fetch(dl)) << c.what;
        EXPECT_EQ(dl.GetState(), CFileDownloader::StateFailed) << c.what;
        EXPECT_EQ(t.errors, std::vector<std::string>{c.error}) << c.what;
        EXPECT_FALSE(Exists()) << c.what;
        EXPECT_TRUE(server->IsConnected());
    }
}

TEST_F(DownloadTest, LaterPiecesAreBoundedByTheFirstTotal)
{
    Connect();
    Hold();
    CFileDownloader dl(server.get(), &tracker, Path());
    std::vector<uint8_t> first, second;
    Word(first, 8);
    Word(first, 4);
    Word(first, 0x04030201);
    // The second piece claims a larger total; only the first one's counts.
    Word(second, 1000);
    Word(second, 8);
    Word(second, 0x08070605);
    Word(second, 0x0C0B0A09);
    sim->Push(dl.GetId(), 8301, first);
    sim->Push(dl.GetId(), 8301, second);
    EXPECT_FALSE(Fetch(dl));
    EXPECT_EQ(tracker.errors, std::vector<std::string>{"Unexpected message from system controller"});
    EXPECT_FALSE(Exists());
}

TEST_F(DownloadTest, UnwritablePathReportsTheOpenFailure)
{
    cfg.viewerFile = Pattern(10, 7);
    Connect();
    CFileDownloader dl(server.get(), &tracker, dir + "/no such folder/BRIGHTLEAF.EXE");
    EXPECT_FALSE(Fetch(dl));
    EXPECT_EQ(dl.GetState(), CFileDownloader::StateFailed);
    EXPECT_EQ(tracker.errors, std::vector<std::string>{"ERROR: Cannot open file for writing"});
}

TEST_F(DownloadTest, CancelEndsTheRunWithNothingOnDisk)
{
    Connect();
    Hold();
    tracker.cancelAfter = 3;
    CFileDownloader dl(server.get(), &tracker, Path());
    // One piece of a file that never completes.
    std::vector<uint8_t> piece;
    Word(piece, 2000);
    Word(piece, 4);
    Word(piece, 7);
    sim->Push(dl.GetId(), 8301, piece);
    EXPECT_FALSE(Fetch(dl));
    EXPECT_EQ(dl.GetState(), CFileDownloader::StateRunning);
    EXPECT_EQ(tracker.asked, 4);
    EXPECT_FALSE(Exists());
    EXPECT_TRUE(server->IsConnected());
}

TEST_F(DownloadTest, LostConnectionMidDownloadLeavesNoFile)
{
    cfg.viewerFile = Pattern(2500, 9);
    cfg.pieceSize = 1000;
    cfg.faults.onCode = MSG_GET_VIEWER_EXE;
    cfg.faults.closeAfterPieces = 1;
    Connect();
    CFileDownloader dl(server.get(), &tracker, Path());
    EXPECT_FALSE(Fetch(dl));
    EXPECT_EQ(tracker.progress.size(), 1u);
    EXPECT_FALSE(Exists());
    EXPECT_FALSE(server->IsConnected());
    // The downloader left the session's table when the transport went down.
    EXPECT_EQ(server->GetSinkCount(), 1);
}

TEST_F(DownloadTest, RunWithoutAConnectionFailsAtOnce)
{
    StartSim();
    MakeServer();
    CFileDownloader dl(server.get(), &tracker, Path());
    EXPECT_FALSE(Fetch(dl));
    EXPECT_EQ(dl.GetState(), CFileDownloader::StateRunning);
    EXPECT_FALSE(Exists());
}
