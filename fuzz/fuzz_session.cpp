// Arbitrary bytes from the controller's side of the session: the stream is a fake
// datagram client that hands the input out in chunks of sizes taken from the input.
// On it an optional login runs, then a query waits for its answer (the Pump road),
// then a download runs to a file (the Poll road), while a third endpoint may nest
// polls and pumps inside its handler or leave the session mid-dispatch. Whatever
// arrives, the session must not crash, read outside its buffers or loop forever,
// and a download file must appear only when it was completely received.
//
// Input layout:
//   byte 0: bit 0 login first; bit 1 the drained stream still reads as readable;
//           bits 2-3 question (version, challenge, login, none); bit 4 viewer or
//           configurator download; bits 5-7 extra polls the stream stays up after
//           it is drained
//   byte 1: bits 0-3 client mode (12..15 are out of range); bits 4-5 password kind;
//           bits 6-7 cancel the download after 0 (never), 2, 4 or 6 progress calls
//   byte 2: k (mod 16), then k chunk-size bytes, used in turn
//   rest:   the bytes the controller sends
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "protocol/downloader.h"
#include "protocol/qvmsg.h"
#include "protocol/qvserver.h"
#include "protocol/xconnection.h"
#include "tests/support/fakestream.h"

namespace
{

// Hands out the input as the stream's bytes in chunks taken from the input.
std::shared_ptr<CFakeStream> MakeStream(const uint8_t* data, size_t size, const uint8_t* chunks,
                                        size_t nchunks, bool readableDrained, int grace)
{
    auto stream = std::make_shared<CFakeStream>();
    std::vector<size_t> sizes;
    for (size_t i = 0; i < nchunks; i++) {
        uint8_t b = chunks[i];
        sizes.push_back(b < 128 ? (size_t)b + 1 : ((size_t)(b & 127) + 1) * 32);
    }
    if (sizes.empty()) sizes.push_back(4096);
    stream->SetChunks(sizes);
    stream->SetReadableWhenDrained(readableDrained);
    stream->SetWaitsAtOnce(true);
    // A few more rounds after the last byte, so that messages the session has
    // buffered but not yet handed out still get dispatched.
    stream->SetUpAfterDrain(grace);
    stream->Push(data, size);
    return stream;
}

// Reports progress and status lines, and cancels the download after a number of
// progress calls.
class FuzzObserver : public CAttemptObserver
{
  public:
    explicit FuzzObserver(int cancelAfter) : m_nCancelAfter(cancelAfter), m_nProgress(0), m_nErrors(0) {}
    void OnStatus(const char* text) override
    {
        FUZZ_CHECK(text && *text);
        m_nErrors++;
    }
    void OnProgress(uint32_t done, uint32_t total) override
    {
        FUZZ_CHECK(done <= total);
        m_nProgress++;
    }
    bool KeepWaiting() override { return m_nCancelAfter == 0 || m_nProgress < m_nCancelAfter; }

  private:
    int m_nCancelAfter;
    int m_nProgress;
    int m_nErrors;
};

// An endpoint whose handler does what a careless one might: poll or pump the
// session from inside a dispatch, or leave the table while being dispatched to.
class NestingSink : public CSocketSink
{
  public:
    NestingSink(CQVServer* session, uint16_t queryId)
        : CSocketSink(session), m_nQueryId(queryId), m_nDepth(0), m_nNested(0)
    {
    }
    void OnMessage(CQVMSG* msg) override
    {
        FUZZ_CHECK(msg->GetCursor() == 0);
        FUZZ_CHECK(msg->GetId() == m_nId || msg->GetId() == MSG_ID_UNSOLICITED);
        std::string text;
        for (int i = 0; i < 8 && msg->ReadString(&text); i++) {
        }
        FUZZ_CHECK(msg->GetCursor() <= msg->GetLength());
        if (m_nDepth >= 2 || m_nNested >= 64) return;
        m_nDepth++;
        m_nNested++;
        switch (msg->GetCode() & 7) {
        case 1:
            m_pSession->Poll();
            break;
        case 2:
            m_pSession->Pump(m_nId);
            break;
        case 3:
            m_pSession->Pump(m_nQueryId);
            break;
        case 4:
            m_pSession->Unregister(this);
            break;
        case 5: {
            CQVMSG answer(m_nId, (uint16_t)(msg->GetCode() + 1), 0);
            answer.WriteDWord(msg->GetLength());
            m_pSession->Send(&answer);
            break;
        }
        default:
            break;
        }
        m_nDepth--;
    }

  private:
    uint16_t m_nQueryId;
    int m_nDepth;
    int m_nNested;
};

// What the last input led to, for the replay test's expectations on the seeds.
struct SessionOutcome {
    bool loginOk = false;
    bool answered = false;
    int downloadState = -1;
    bool fileWritten = false;
    uintmax_t fileSize = 0;
};
SessionOutcome g_LastOutcome;

const uint16_t QUESTIONS[3] = {MSG_GET_VERSION, MSG_GET_CHALLENGE, MSG_LOGIN};

std::string PasswordOfKind(int kind)
{
    switch (kind) {
    case 0:
        return std::string();
    case 1:
        return "secret";
    case 2:
        return "0123456789abcdef0123"; // a 32-byte key
    default:
        return std::string(40, 'x'); // too long for any key
    }
}

void RunSession(CQVServer* server, qvfuzz::Reader& in, const std::string& folder)
{
    const uint8_t flags = in.Byte();
    const uint8_t setup = in.Byte();
    const size_t nchunks = in.Byte() % 16;
    const uint8_t* chunks = in.Here();
    if (in.Left() < nchunks) return;
    in.Bytes(nchunks);
    const uint8_t* stream = in.Here();
    const size_t streamSize = in.Left();

    const bool login = flags & 1;
    const bool readableDrained = (flags & 2) != 0;
    const int question = (flags >> 2) & 3;
    const uint16_t downloadCode = (flags & 0x10) ? MSG_GET_CONFIG_EXE : MSG_GET_VIEWER_EXE;
    const int grace = flags >> 5;
    const int mode = setup & 15;
    const int cancelAfter = ((setup >> 6) & 3) * 2;

    g_LastOutcome = SessionOutcome();
    const std::string target = folder + "/download.exe";

    // One session serves every input: its receive buffer is made once. What an
    // input leaves behind (bytes, put-aside messages, ids) is dropped by the
    // next login or connection start, as it is between two real connections.
    server->SetMode(mode, PasswordOfKind((setup >> 4) & 3));
    server->ResetSession();
    std::shared_ptr<CFakeStream> fake =
        MakeStream(stream, streamSize, chunks, nchunks, readableDrained, grace);
    server->GetConnection()->InstallClient(fake);
    FUZZ_CHECK(server->IsConnected() || streamSize == 0);

    {
        // Ids are handed out in construction order: the query gets 1, the
        // downloader 2 and the nesting endpoint 3, so inputs can aim at them.
        CQVQuery query(server);
        query.SetTimeout(3000);
        FuzzObserver observer(cancelAfter);
        CFileDownloader downloader(server, &observer, target);
        NestingSink nesting(server, query.GetId());
        server->Register(&nesting);

        if (login) g_LastOutcome.loginOk = server->Login(nullptr) == LoginResult::Ok;

        if (question < 3 && server->IsConnected()) {
            CQVMSG ask(0, QUESTIONS[question], 0);
            CQVMSG* reply = nullptr;
            if (query.Ask(&reply, &ask)) {
                g_LastOutcome.answered = true;
                FUZZ_CHECK(reply != nullptr);
                FUZZ_CHECK(reply->GetCode() == CQVMSG::ReplyCode(QUESTIONS[question]));
                FUZZ_CHECK(reply->GetCursor() == 0);
                std::string text;
                for (int i = 0; i < 64 && reply->Remaining() > 0; i++) {
                    if (!reply->ReadString(&text) && !reply->ReadDWord()) break;
                }
                FUZZ_CHECK(reply->GetCursor() <= reply->GetLength());
            }
        }

        CQVMSG request(0, downloadCode, 0);
        const bool written = downloader.Run(&request) == DownloadResult::Written;
        const int state = downloader.GetState();
        FUZZ_CHECK(!written || state == CFileDownloader::StateWritten);
        // The file is on disk exactly when the download completed.
        FUZZ_CHECK(qvfuzz::PathExists(target) == (state == CFileDownloader::StateWritten));
        g_LastOutcome.downloadState = state;
        g_LastOutcome.fileWritten = qvfuzz::PathExists(target);
        if (g_LastOutcome.fileWritten) {
            // Every byte of the file came off the stream: a larger file holds bytes
            // read from beyond a message, which the session's big receive buffer
            // would hide from the address checker.
            g_LastOutcome.fileSize = qvfuzz::FileSize(target);
            FUZZ_CHECK(g_LastOutcome.fileSize <= streamSize);
        }
        FUZZ_CHECK(server->GetDeferredCount() <= QVSERVER_MAX_DEFERRED);
        FUZZ_CHECK(server->GetSinkCount() <= QVSERVER_MAX_SINKS);
    }
    // Every endpoint that went away has left the table; only the session remains.
    FUZZ_CHECK(server->GetSinkCount() == 1);

    // Each wait either takes at least one byte off the stream or is one of the few
    // rounds the stream stays up after it is drained; anything beyond is a loop that
    // makes no progress.
    const size_t bound = streamSize + (size_t)grace * 8 + 64 * 8 + 64;
    const CFakeStream::Stats stats = fake->GetStats();
    FUZZ_CHECK(stats.waits <= bound);
    FUZZ_CHECK(stats.receives <= bound);

    server->GetConnection()->Close();
    if (g_LastOutcome.fileWritten) qvfuzz::RemovePath(target);
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    static qvfuzz::TempFolder folder("session");
    if (!folder.Ok()) return 0;
    static CQVServer* server = [] {
        CQVServer* s = new CQVServer(folder.Path());
        s->SetLoginInfo("00-11-22-33-44-55", "FUZZPC", "WINDOWS", "WINDOWS");
        return s;
    }();
    qvfuzz::Reader in(data, size);
    RunSession(server, in, folder.Path());
    return 0;
}
