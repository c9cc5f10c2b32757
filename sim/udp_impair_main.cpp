// rerudi-udp-impair: an impaired UDP path between a client and one upstream
// endpoint (loss, duplication, reordering, delay, jitter; seeded). Clients send to
// the listening address; answers go back to the latest client. Prints the counts
// of both directions when it ends and, with --report, every so often.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "../remote/netaddr.h"
#include "../util/qvsocket.h"
#include "../util/qvtick.h"
#include "impair/impair.h"
#include "tools/simopts.h"
#include "tools/simprog.h"

namespace
{

using simprog::g_bStop;

const char* const kUsage = "usage: rerudi-udp-impair --upstream ADDR:PORT [options]\n"
                           "  --listen ADDR[:PORT]  where clients send (default 127.0.0.1, any free port)\n"
                           "  --loss PCT            datagrams dropped, in percent (both directions)\n"
                           "  --dup PCT             datagrams sent twice\n"
                           "  --reorder PCT         datagrams held back so that later ones pass them\n"
                           "  --reorder-hold MS     how long a reordered datagram is held (default 5)\n"
                           "  --delay MS            fixed delay each way\n"
                           "  --jitter MS           plus a random delay of 0 to MS\n"
                           "  --in-order            no datagram overtakes another (a queue's jitter)\n"
                           "  --seed N              seed of the fates (default 1)\n"
                           "  --report MS           print the counts every MS milliseconds\n"
                           "  --max-run MS          end after MS milliseconds\n"
                           "Prints \"listening on ADDR:PORT\" once ready.\n";

void PrintCounts(const char* direction, const ImpairCounts& c)
{
    printf("%s: received %llu delivered %llu dropped %llu duplicated %llu reordered %llu bytes %llu\n",
           direction, (unsigned long long)c.received, (unsigned long long)c.delivered,
           (unsigned long long)c.dropped, (unsigned long long)c.duplicated, (unsigned long long)c.reordered,
           (unsigned long long)c.bytesDelivered);
}

} // namespace

int main(int argc, char** argv)
{
    ImpairSettings settings;
    QVSockAddr local = MakeSockAddr(LoopbackAddress(), 0);
    QVSockAddr upstream = MakeSockAddr(0, 0);
    bool haveUpstream = false;
    uint64_t seed = 1, report = 0, maxRun = 0;
    simopts::COptionParser p("rerudi-udp-impair", kUsage, simopts::STYLE_TERSE);
    p.Value("--listen", [&](const std::string& v) { return simopts::Address(v.c_str(), &local); });
    p.Value("--upstream",
            [&](const std::string& v) { return haveUpstream = simopts::Address(v.c_str(), &upstream); });
    p.Value("--loss", [&](const std::string& v) { return simopts::Percent(v.c_str(), &settings.loss); });
    p.Value("--dup", [&](const std::string& v) { return simopts::Percent(v.c_str(), &settings.duplicate); });
    p.Value("--reorder",
            [&](const std::string& v) { return simopts::Percent(v.c_str(), &settings.reorder); });
    p.Number("--reorder-hold", 60000, false, [&](uint32_t n) { settings.reorderHoldMs = n; });
    p.Number("--delay", 60000, false, [&](uint32_t n) { settings.delayMs = n; });
    p.Number("--jitter", 60000, false, [&](uint32_t n) { settings.jitterMs = n; });
    p.Flag("--in-order", [&] { settings.inOrder = true; });
    p.Value("--seed", [&](const std::string& v) { return simopts::Number(v.c_str(), 0xFFFFFFFFu, &seed); });
    p.Value("--report",
            [&](const std::string& v) { return simopts::Number(v.c_str(), 0xFFFFFFFFu, &report); });
    p.Value("--max-run",
            [&](const std::string& v) { return simopts::Number(v.c_str(), 0xFFFFFFFFu, &maxRun); });
    bool helpOnly = false;
    int rc = p.Parse(argc, argv, &helpOnly);
    if (rc != 0 || helpOnly) return rc;
    if (!haveUpstream || SockAddrPort(upstream) == 0) {
        return p.Refuse("%s: --upstream ADDR:PORT is needed\n%s", kUsage);
    }
    if (!SocketStartup()) return 1;
    simprog::StopOnSignals();

    CUdpImpairProxy proxy;
    if (!proxy.Start(upstream, settings, settings, (uint32_t)seed, &local)) {
        fprintf(stderr, "rerudi-udp-impair: cannot bind %s\n", FormatAddressRecord(local).c_str());
        return 1;
    }
    printf("listening on %s\n", FormatAddressRecord(proxy.GetAddress()).c_str());
    fflush(stdout);
    const uint32_t start = GetTick();
    uint32_t lastReport = start;
    while (!g_bStop && !(maxRun && TickSince(start) >= maxRun)) {
        SleepMs(50);
        if (report && TickSince(lastReport) >= report) {
            lastReport = GetTick();
            PrintCounts("to upstream", proxy.CountsToUpstream());
            PrintCounts("to client", proxy.CountsToClient());
            fflush(stdout);
        }
    }
    PrintCounts("to upstream", proxy.CountsToUpstream());
    PrintCounts("to client", proxy.CountsToClient());
    proxy.Stop();
    SocketCleanup();
    return 0;
}
