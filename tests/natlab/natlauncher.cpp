// natlauncher: the launcher's side in the NAT lab's self-tests with the controller
// simulator, built from the launcher's own pieces: the relay datagrams, the reliable
// stream over a punched path, and the session that logs in over whichever stream
// the road gave. It follows one relay's lookup answer to the end:
//   FIND ACK  -> hellos from the lookup's socket, the reliable stream (parameters
//                proposed), the session over it; when no hello is answered, a relayed
//                lookup from a fresh socket as the launcher does
//   TURN ACK  -> TCP to the relay's session port, the session id, the session
//   TCP ACK   -> TCP to the given address with the direct greeting, the session
// or goes straight to an address (direct). Over the session: login, version, echoes
// and, when asked, the viewer download compared with a file. Progress lines go to
// standard error; one JSON line with the outcome goes to standard output.
//
//   natlauncher connect RELAY NAME [--relayed] [options]
//   natlauncher direct ADDR:PORT [options]
//   options: --password TEXT, --echo N, --download FILE (expected bytes), --data DIR
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/downloader.h"
#include "protocol/qvserver.h"
#include "remote/relaypacket.h"
#include "remote/rudpclient.h"
#include "sim/core/sim_controller.h"
#include "sim/relay/simopts.h"
#include "util/qvtick.h"
#include "util/qvtypes.h"

namespace
{

// The launcher's own bounds for each wait (lookup: 5 x 1 s; punch: 10 x 250 ms).
const int kLookupSends = 5;
const uint32_t kLookupWaitMs = 1000;
const int kHelloAttempts = 10;
const uint32_t kHelloWaitMs = 250;
const uint32_t kTcpConnectMs = 3000;

struct Json {
    std::string text;
    void Add(const std::string& key, const std::string& raw)
    {
        text += (text.empty() ? "{" : ", ") + ("\"" + key + "\": ") + raw;
    }
    void Str(const std::string& key, const std::string& v)
    {
        std::string q;
        for (char c : v)
            q += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        Add(key, "\"" + q + "\"");
    }
    void Num(const std::string& key, long long v) { Add(key, std::to_string(v)); }
    void Bool(const std::string& key, bool v) { Add(key, v ? "true" : "false"); }
    std::string Done() const { return (text.empty() ? "{" : text) + "}"; }
};

void Say(const std::string& line)
{
    fprintf(stderr, "natlauncher: %s\n", line.c_str());
}

QVSOCKET LookupSocket()
{
    QVSOCKET s = SocketUdp();
    if (s != QV_INVALID_SOCKET && !SocketBind(s, MakeSockAddr(0, 0))) {
        CloseSocket(s);
        s = QV_INVALID_SOCKET;
    }
    return s;
}

// A decisive answer within five sendings; anything else is skipped.
bool Lookup(QVSOCKET s, const QVSockAddr& relay, const std::string& name, bool relayed,
            StunLookupAnswer* answer)
{
    uint8_t request[STUN_FIND_LENGTH];
    const int n = BuildLookup(request, relayed ? STUN_FIND_RELAY : STUN_FIND, name);
    for (int i = 0; i < kLookupSends; ++i) {
        if (SocketSendTo(s, request, n, relay) != n) return false;
        const uint32_t sent = GetTick();
        while (TickSince(sent) < kLookupWaitMs && SocketReadable(s, kLookupWaitMs - TickSince(sent))) {
            uint8_t buf[STUN_LARGE_RECEIVE];
            int r = SocketRecvFrom(s, buf, sizeof buf, nullptr);
            if (ParseLookupAnswer(buf, r, answer)) return true;
        }
    }
    return false;
}

// Hellos from the lookup's socket until one is acknowledged; the attempt count.
int Punch(QVSOCKET s, const QVSockAddr& to)
{
    for (int attempt = 1; attempt <= kHelloAttempts; ++attempt) {
        uint8_t hello[1];
        SocketSendTo(s, hello, BuildStunSingle(hello, STUN_HELLO), to);
        const uint32_t sent = GetTick();
        while (TickSince(sent) < kHelloWaitMs && SocketReadable(s, kHelloWaitMs - TickSince(sent))) {
            uint8_t buf[STUN_SMALL_RECEIVE];
            int r = SocketRecvFrom(s, buf, sizeof buf, nullptr);
            if (IsStunPacket(buf, r, STUN_HELLO_ACK)) return attempt;
        }
    }
    return 0;
}

bool ConnectTcp(const QVSockAddr& to, QVSOCKET* out)
{
    QVSOCKET s = SocketTcp();
    bool ok = s != QV_INVALID_SOCKET && SetNonBlocking(s) && SocketConnect(s, to) &&
              SocketWritable(s, kTcpConnectMs) && SocketConnectSucceeded(s);
    if (!ok) {
        CloseSocket(s);
        return false;
    }
    *out = s;
    return true;
}

struct StatusLines : public CAttemptObserver {
    void OnStatus(const char* text) override { Say(std::string("status: ") + text); }
};

// Login, version, echoes and the download over the installed stream.
void Session(CQVServer& server, int echoes, const std::string& expectedFile, const std::string& dataDir,
             uint32_t started, Json* out)
{
    StatusLines status;
    bool login = server.Login(&status) == LoginResult::Ok;
    out->Bool("login", login);
    out->Num("ms_to_login", TickSince(started));
    if (!login) return;
    CQVQuery vq(&server);
    CQVMSG ask(0, MSG_GET_VERSION, 0);
    CQVMSG* reply = nullptr;
    if (vq.Ask(&reply, &ask)) out->Str("version", reply->ReadString());
    int echoed = 0;
    for (int i = 0; i < echoes; ++i) {
        CQVQuery eq(&server);
        CQVMSG echo(0, SIM_MSG_ECHO, 0);
        std::string body(1000 + 997 * i, (char)('a' + i % 26));
        echo.WriteString(body);
        if (eq.Ask(&reply, &echo) && reply->ReadString() == body) ++echoed;
    }
    out->Num("echoed", echoed);
    if (expectedFile.empty()) return;
    std::ifstream want(expectedFile, std::ios::binary);
    std::vector<uint8_t> expected((std::istreambuf_iterator<char>(want)), std::istreambuf_iterator<char>());
    const std::string path = dataDir + "/natlauncher-download.bin";
    bool ran;
    {
        CFileDownloader dl(&server, nullptr, path);
        CQVMSG req(dl.GetId(), MSG_GET_VIEWER_EXE, 0);
        req.WriteDWord(0), req.WriteDWord(2), req.WriteDWord(CLIENT_REVISION);
        ran = dl.Run(&req) == DownloadResult::Written;
    }
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    out->Num("downloaded", ran ? (long long)got.size() : -1);
    out->Bool("download_ok", ran && !expected.empty() && got == expected);
}

int Usage()
{
    fputs("usage: natlauncher connect RELAY NAME [--relayed] [options]\n"
          "       natlauncher direct ADDR:PORT [options]\n"
          "options: --password TEXT, --echo N, --download FILE, --data DIR\n",
          stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    std::string password, expectedFile, dataDir = "/tmp";
    uint32_t echoes = 0;
    bool relayed = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--relayed")
            relayed = true;
        else if (args[i] == "--password" && hasValue)
            password = args[++i];
        else if (args[i] == "--echo" && hasValue && simopts::ParseNumber(args[i + 1], &echoes))
            ++i;
        else if (args[i] == "--download" && hasValue)
            expectedFile = args[++i];
        else if (args[i] == "--data" && hasValue)
            dataDir = args[++i];
        else if (args[i].compare(0, 2, "--") == 0)
            return Usage();
        else
            positional.push_back(args[i]);
    }
    QVSockAddr where;
    if (positional.empty() || !simopts::ParseEndpoint(positional[0], &where)) return Usage();
    if (command == "connect" ? positional.size() != 2 : (command != "direct" || positional.size() != 1))
        return Usage();

    SocketStartup();
    CQVServer server(dataDir);
    server.SetLoginInfo("00-11-22-33-44-55", "NATLAB", "WINDOWS", "WINDOWS");
    server.SetMode(0, password);
    Json out;
    const uint32_t started = GetTick();
    bool up = false;

    if (command == "direct") {
        out.Str("road", "direct");
        up = server.GetConnection()->ConnectDirect(where, kTcpConnectMs) == ConnectResult::Ok;
    } else {
        const std::string name = positional[1];
        for (int round = 0; round < 2 && !up; ++round) {
            QVSOCKET s = LookupSocket();
            StunLookupAnswer a;
            if (s == QV_INVALID_SOCKET || !Lookup(s, where, name, relayed, &a)) {
                CloseSocket(s);
                out.Str("answer", "none");
                break;
            }
            if (a.type == STUN_FIND_ACK) {
                out.Str("answer", "find-ack");
                out.Str("address", simopts::EndpointText(a.address));
                int attempts = Punch(s, a.address);
                out.Num("hello_attempts", attempts);
                if (attempts) {
                    Say("hole punched with " + simopts::EndpointText(a.address));
                    CRUDPClient* client = new CRUDPClient(s, a.address);
                    out.Bool("params_agreed", client->Negotiate(STUN_PARAMS_PROPOSED));
                    client->Start();
                    server.GetConnection()->InstallClient(client);
                    out.Str("road", "punched");
                    up = true;
                } else {
                    // As the launcher does after a failed punch: a relayed lookup
                    // from a fresh socket.
                    CloseSocket(s);
                    Say("no hello answered; asking for a relayed session");
                    out.Bool("punch_failed", true);
                    relayed = true;
                }
            } else if (a.type == STUN_TURN_ACK) {
                CloseSocket(s);
                out.Str("answer", "turn");
                out.Num("sid", a.dwSessionId);
                QVSOCKET t;
                uint8_t sid[4];
                PutLE32(sid, a.dwSessionId);
                if (ConnectTcp(MakeSockAddr(where.addr, a.wPort), &t) && SocketSend(t, sid, 4) == 4) {
                    server.GetConnection()->AdoptSocket(t);
                    out.Str("road", "turn");
                    up = true;
                }
                break;
            } else if (a.type == STUN_TCP_ACK) {
                CloseSocket(s);
                out.Str("answer", "tcp");
                out.Str("address", simopts::EndpointText(a.address));
                up = server.GetConnection()->ConnectDirect(a.address, kTcpConnectMs) == ConnectResult::Ok;
                if (up) out.Str("road", "tcp-ack");
                break;
            } else {
                CloseSocket(s);
                out.Str("answer", "nack");
                break;
            }
        }
    }
    out.Bool("stream", up);
    out.Num("ms_to_stream", TickSince(started));
    if (up) Session(server, (int)echoes, expectedFile, dataDir, started, &out);
    server.GetConnection()->Close();
    printf("%s\n", out.Done().c_str());
    fflush(stdout);
    return 0;
}
