// rerudi-rudp-peer: the controller's side of the reliable UDP stream, standing
// alone. Waits for hellos on a UDP port, answers them and serves each stream in
// turn: echoes it, or reads it (checking the position pattern) while sending a
// number of pattern bytes. One line per event on standard output.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "../remote/netaddr.h"
#include "../util/qvsocket.h"
#include "../util/qvtick.h"
#include "rudppeer/rudppeer.h"
#include "tools/simopts.h"
#include "tools/simprog.h"

namespace
{

const char* const kUsage =
    "usage: rerudi-rudp-peer [options]\n"
    "  --listen ADDR[:PORT]  where to wait for hellos (default 127.0.0.1, any free port)\n"
    "  --echo                send back every byte received\n"
    "  --sink                read and check the position pattern (the default)\n"
    "  --no-verify           read without checking\n"
    "  --send-bytes N        send N pattern bytes while reading\n"
    "  --close-when-sent     close the stream once those bytes are out\n"
    "  --streams N           end after serving N streams (default: serve until stopped)\n"
    "  --max-run MS          end after MS milliseconds whatever happens (exit code 3)\n"
    "Prints \"listening on ADDR:PORT\" once ready, then one line per stream served.\n";

const char* StateText(ClientState s)
{
    switch (s) {
    case CLIENT_UP:
        return "up";
    case CLIENT_SEND_FAILED:
        return "send-failed";
    case CLIENT_RECEIVE_FAILED:
        return "receive-failed";
    case CLIENT_CLOSED:
        return "closed";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    RudpServeOptions options;
    QVSockAddr local = MakeSockAddr(LoopbackAddress(), 0);
    uint64_t streams = 0, maxRun = 0;
    simopts::COptionParser p("rerudi-rudp-peer", kUsage, simopts::STYLE_TERSE);
    p.Value("--listen", [&](const std::string& v) { return simopts::Address(v.c_str(), &local); });
    p.Flag("--echo", [&] { options.echo = true; });
    p.Flag("--sink", [&] { options.echo = false; });
    p.Flag("--no-verify", [&] { options.verify = false; });
    p.Value("--send-bytes",
            [&](const std::string& v) { return simopts::Number(v.c_str(), UINT64_MAX, &options.sendBytes); });
    p.Flag("--close-when-sent", [&] { options.closeWhenSent = true; });
    p.Value("--streams", [&](const std::string& v) { return simopts::Number(v.c_str(), 1000000, &streams); });
    p.Value("--max-run",
            [&](const std::string& v) { return simopts::Number(v.c_str(), 0xFFFFFFFFu, &maxRun); });
    bool helpOnly = false;
    int rc = p.Parse(argc, argv, &helpOnly);
    if (rc != 0 || helpOnly) return rc;
    if (!SocketStartup()) return 1;
    simprog::StopOnSignals();

    CRudpPeer peer(options);
    if (!peer.Start(&local)) {
        fprintf(stderr, "rerudi-rudp-peer: cannot bind %s\n", FormatAddressRecord(local).c_str());
        return 1;
    }
    printf("listening on %s\n", FormatAddressRecord(peer.GetAddress()).c_str());
    fflush(stdout);

    int reported = 0;
    const char* why = nullptr;
    int code = simprog::RunUntilDone(
        (uint32_t)maxRun, 50,
        [&]() -> const char* {
            while (reported < peer.Served()) {
                RudpServeResult r = peer.LastResult();
                reported++;
                printf("stream %d: received %llu sent %llu pattern %s send %s end %s\n", reported,
                       (unsigned long long)r.received, (unsigned long long)r.sent, r.patternOk ? "ok" : "BAD",
                       r.sendOk ? "ok" : "failed", StateText(r.endState));
                if (!r.patternOk)
                    printf("stream %d: first wrong byte at %llu\n", reported, (unsigned long long)r.firstBad);
                fflush(stdout);
            }
            return streams && (uint64_t)reported >= streams ? "served" : nullptr;
        },
        &why);
    peer.Stop();
    SocketCleanup();
    return code;
}
