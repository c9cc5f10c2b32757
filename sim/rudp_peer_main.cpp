// rerudi-rudp-peer: the controller's side of the reliable UDP stream, standing
// alone. Waits for hellos on a UDP port, answers them and serves each stream in
// turn: echoes it, or reads it (checking the position pattern) while sending a
// number of pattern bytes. One line per event on standard output.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "../remote/netaddr.h"
#include "../util/qvsocket.h"
#include "../util/qvtick.h"
#include "rudppeer/rudppeer.h"
#include "tools/cmdline.h"
#include "tools/simprog.h"

namespace
{

using simprog::g_bStop;

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
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (!strcmp(a, "--listen"))
            ok = simcmd::Address(v, &local), i++;
        else if (!strcmp(a, "--echo"))
            options.echo = true;
        else if (!strcmp(a, "--sink"))
            options.echo = false;
        else if (!strcmp(a, "--no-verify"))
            options.verify = false;
        else if (!strcmp(a, "--send-bytes"))
            ok = simcmd::Number(v, UINT64_MAX, &options.sendBytes), i++;
        else if (!strcmp(a, "--close-when-sent"))
            options.closeWhenSent = true;
        else if (!strcmp(a, "--streams"))
            ok = simcmd::Number(v, 1000000, &streams), i++;
        else if (!strcmp(a, "--max-run"))
            ok = simcmd::Number(v, 0xFFFFFFFFu, &maxRun), i++;
        else if (!strcmp(a, "--help")) {
            fputs(kUsage, stdout);
            return 0;
        } else
            ok = false;
        if (!ok) {
            fprintf(stderr, "rerudi-rudp-peer: bad option %s\n%s", a, kUsage);
            return 2;
        }
    }
    if (!SocketStartup()) return 1;
    simprog::StopOnSignals();

    CRudpPeer peer(options);
    if (!peer.Start(&local)) {
        fprintf(stderr, "rerudi-rudp-peer: cannot bind %s\n", FormatAddressRecord(local).c_str());
        return 1;
    }
    printf("listening on %s\n", FormatAddressRecord(peer.GetAddress()).c_str());
    fflush(stdout);

    const uint32_t start = GetTick();
    int reported = 0;
    int code = 0;
    while (!g_bStop) {
        SleepMs(50);
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
        if (streams && (uint64_t)reported >= streams) break;
        if (maxRun && TickSince(start) >= maxRun) {
            code = 3;
            break;
        }
    }
    peer.Stop();
    SocketCleanup();
    return code;
}
