// natlauncher: the launcher's side in the NAT lab's self-tests and benchmarks,
// natively, with the launcher's own code: the remote procedure (ConnectRemote
// with the list file of its data folder) or the direct road, then the session
// that logs in over whatever stream the road gave, the version, echoes and, when
// asked, the viewer download compared with a file. Status lines go to standard
// error as they come; one JSON line with the outcome goes to standard output:
// the road taken, every status and trace line with its time since the start of
// the procedure, and the times to the stream and to the login.
//
//   natlauncher remote NAME [options]     (DIR/servers.txt lists the relays)
//   natlauncher direct ADDR:PORT [options]
//   options: --data DIR, --dserver ADDR:PORT (default: the deployment's discovery
//            host), --dserver-host NAME (a discovery host resolved by the procedure
//            itself, port 500), --policy sequential|own (whose timing; default
//            ours), --cancel-after MS (the observer says no from then on),
//            --await-threads MS (after the procedure, how long to wait for the
//            process to be back at its threads of before), --password TEXT,
//            --echo N, --download FILE (expected bytes), --silence S (after the
//            echoes, S seconds without a word, then one echo)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/downloader.h"
#include "protocol/qvserver.h"
#include "remote/netaddr.h"
#include "remote/remoteconnect.h"
#include "sim/core/sim_controller.h"
#include "sim/tools/simopts.h"
#include "tests/support/proccount.h"
#include "util/qvtick.h"
#include "util/qvtypes.h"
#include "util/trace.h"

namespace
{

struct Json {
    std::string text;
    void Add(const std::string& key, const std::string& raw)
    {
        text += (text.empty() ? "{" : ", ") + ("\"" + key + "\": ") + raw;
    }
    static std::string Quote(const std::string& v)
    {
        std::string q = "\"";
        for (unsigned char c : v) {
            if (c == '"' || c == '\\')
                q += std::string("\\") + (char)c;
            else if (c < 0x20 || c >= 0x7F)
                q += StrPrintf("\\u%04x", c);
            else
                q += (char)c;
        }
        return q + "\"";
    }
    void Str(const std::string& key, const std::string& v) { Add(key, Quote(v)); }
    void Num(const std::string& key, long long v) { Add(key, std::to_string(v)); }
    void Bool(const std::string& key, bool v) { Add(key, v ? "true" : "false"); }
    std::string Done() const { return (text.empty() ? "{" : text) + "}"; }
};

// Status and trace lines with their times since the start of the procedure.
struct Timeline {
    std::mutex lock;
    uint32_t start = GetTick();
    std::vector<std::pair<uint32_t, std::string>> status, trace;

    static Timeline& Get()
    {
        static Timeline t;
        return t;
    }
    static void OnTrace(const char* line)
    {
        Timeline& t = Get();
        std::lock_guard<std::mutex> hold(t.lock);
        t.trace.push_back({TickSince(t.start), line});
    }
    // The time of the first status line that starts with prefix, or -1.
    long long At(const std::string& prefix)
    {
        std::lock_guard<std::mutex> hold(lock);
        for (const auto& l : status)
            if (l.second.compare(0, prefix.size(), prefix) == 0) return l.first;
        return -1;
    }
    std::string Lines(const std::vector<std::pair<uint32_t, std::string>>& lines)
    {
        std::lock_guard<std::mutex> hold(lock);
        std::string out = "[";
        for (const auto& l : lines)
            out +=
                (out.size() > 1 ? ", [" : "[") + std::to_string(l.first) + ", " + Json::Quote(l.second) + "]";
        return out + "]";
    }
};

struct StatusLines : public CAttemptObserver {
    // The observer says no from this many ms after the start (0: never), and
    // notes when it first did.
    uint32_t cancelAfterMs = 0;
    long long cancelledAt = -1;
    bool KeepWaiting() override
    {
        if (!cancelAfterMs) return true;
        const uint32_t now = TickSince(Timeline::Get().start);
        if (now < cancelAfterMs) return true;
        if (cancelledAt < 0) cancelledAt = now;
        return false;
    }
    void OnStatus(const char* text) override
    {
        Timeline& t = Timeline::Get();
        {
            std::lock_guard<std::mutex> hold(t.lock);
            t.status.push_back({TickSince(t.start), text});
        }
        fprintf(stderr, "natlauncher: status: %s\n", text);
    }
};

// Login, version, echoes and the download over the installed stream.
void Session(CQVServer& server, int echoes, uint32_t silenceMs, const std::string& expectedFile,
             const std::string& dataDir, Json* out)
{
    StatusLines status;
    bool login = server.Login(&status) == LoginResult::Ok;
    out->Bool("login", login);
    out->Num("ms_to_login", TickSince(Timeline::Get().start));
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
    if (silenceMs) {
        // Nothing asked of the stream for a while, as a viewer showing a still screen.
        SleepMs(silenceMs);
        CQVQuery eq(&server);
        CQVMSG echo(0, SIM_MSG_ECHO, 0);
        const std::string body = "after the silence";
        echo.WriteString(body);
        out->Bool("echoed_after_silence", eq.Ask(&reply, &echo) && reply->ReadString() == body);
    }
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

// The road the status lines show.
std::string RoadOf(Timeline& t, ConnectResult result)
{
    if (result != ConnectResult::Ok) return "none";
    if (t.At("UDP Connect OK") >= 0) return "punched";
    if (t.At("TURN: (sid:") >= 0) return "turn";
    if (t.At("TCP direct -> ") >= 0) return "dserver";
    return "tcp-ack";
}

int Usage()
{
    fputs("usage: natlauncher remote NAME [options]\n"
          "       natlauncher direct ADDR:PORT [options]\n"
          "options: --data DIR, --dserver ADDR:PORT, --dserver-host NAME, --policy sequential|own,\n"
          "         --cancel-after MS, --await-threads MS, --password TEXT, --echo N, --download FILE,\n"
          "         --silence S\n",
          stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    const std::string target = argv[2];
    std::vector<std::string> args(argv + 3, argv + argc);
    std::string password, expectedFile, dataDir = "/tmp";
    uint32_t echoes = 0, silence = 0, cancelAfter = 0, awaitThreads = 0;
    RemoteSettings settings;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        QVSockAddr dserver;
        if (args[i] == "--password" && hasValue)
            password = args[++i];
        else if (args[i] == "--echo" && hasValue && simopts::ParseNumber(args[i + 1], &echoes))
            ++i;
        else if (args[i] == "--silence" && hasValue && simopts::ParseNumber(args[i + 1], &silence))
            ++i;
        else if (args[i] == "--download" && hasValue)
            expectedFile = args[++i];
        else if (args[i] == "--data" && hasValue)
            dataDir = args[++i];
        else if (args[i] == "--dserver-host" && hasValue && !args[i + 1].empty())
            settings.discoveryHost = args[++i];
        else if (args[i] == "--policy" && hasValue && (args[i + 1] == "sequential" || args[i + 1] == "own"))
            settings.policy = args[++i] == "own" ? REMOTE_POLICY_OWN : REMOTE_POLICY_SEQUENTIAL;
        else if (args[i] == "--cancel-after" && hasValue && simopts::ParseNumber(args[i + 1], &cancelAfter))
            ++i;
        else if (args[i] == "--await-threads" && hasValue && simopts::ParseNumber(args[i + 1], &awaitThreads))
            ++i;
        else if (args[i] == "--dserver" && hasValue && simopts::ParseEndpoint(args[i + 1], &dserver)) {
            settings.discoveryHost = FormatIPv4(dserver);
            settings.discoveryPort = SockAddrPort(dserver);
            ++i;
        } else
            return Usage();
    }
    QVSockAddr where;
    if (command == "direct" ? !simopts::ParseEndpoint(target, &where) : command != "remote") return Usage();

    SocketStartup();
    SetTraceSink(&Timeline::OnTrace);
    CQVServer server(dataDir);
    server.SetLoginInfo("00-11-22-33-44-55", "NATLAB", "WINDOWS", "WINDOWS");
    server.SetMode(0, password);
    Json out;
    StatusLines status;
    status.cancelAfterMs = cancelAfter;
    Timeline& t = Timeline::Get();
    ConnectResult result;
    // A sanitizer's runtime starts a thread of its own with the first thread of the
    // program: one made and ended here puts it into the count of before.
    std::thread([] {}).join();
    const int threadsBefore = ThreadCount();
    if (command == "direct") {
        t.start = GetTick();
        result = server.GetConnection()->ConnectDirect(where, 3000, &status);
        out.Str("road", result == ConnectResult::Ok ? "direct" : "none");
    } else {
        CServerPool pool(dataDir + "/servers.txt");
        PrepareServerPool(pool);
        t.start = GetTick();
        result = ConnectRemote(*server.GetConnection(), pool, settings, &status, target);
        out.Str("road", RoadOf(t, result));
    }
    out.Num("ms_to_stream", TickSince(t.start));
    out.Str("policy", settings.policy == REMOTE_POLICY_OWN ? "own" : "sequential");
    out.Num("ms_cancelled", status.cancelledAt);
    out.Num("threads_before", threadsBefore);
    out.Num("threads_at_return", ThreadCount());
    if (awaitThreads) {
        // A resolution the procedure stopped waiting for ends on its own, within
        // the system resolver's own time-out.
        const uint32_t returned = GetTick();
        long long back = -1;
        for (;;) {
            if (ThreadCount() <= threadsBefore) {
                back = TickSince(returned);
                break;
            }
            if (TickSince(returned) >= awaitThreads) break;
            SleepMs(10);
        }
        out.Num("ms_threads_back", back);
    }
    out.Str("result", ConnectResultText(result));
    out.Num("ms_to_udp_ok", t.At("UDP Connect OK"));
    if (result == ConnectResult::Ok)
        Session(server, (int)echoes, silence * 1000, expectedFile, dataDir, &out);
    server.GetConnection()->Close();
    SetTraceSink(nullptr);
    out.Add("status", t.Lines(t.status));
    out.Add("trace", t.Lines(t.trace));
    printf("%s\n", out.Done().c_str());
    fflush(stdout);
    return 0;
}
