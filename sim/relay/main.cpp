// rerudi-relay: a stand-in relay server on one UDP port (probe, server list, lookup,
// controller enrollment) and one TCP port (relayed sessions), for the NAT lab, the
// remote scenarios and the demo. One line per event on standard output.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "relay_server.h"
#include "../tools/simopts.h"
#include "../tools/simprog.h"

namespace
{

using simprog::PrintLine;
using simprog::WriteReadyFile;

const char* const kUsage =
    "usage: rerudi-relay [options]\n"
    "  --listen ADDR             IPv4 address for both ports (default 127.0.0.1)\n"
    "  --port N                  UDP port (default 8500; 0: any free port)\n"
    "  --turn-port N             TCP port of relayed sessions (default 0: any free port)\n"
    "  --server NAME,HOST,PORT   an entry of the server list handed out (repeat, in order)\n"
    "  --checksum-offset N       probe answers carry the list's checksum plus N, so that\n"
    "                            it never matches the list handed out\n"
    "  --announce N              count announced for the list (entries past the list are\n"
    "                            made up)\n"
    "  --answer NAME=MODE        how lookups of system NAME are answered; MODE is one of\n"
    "                              auto             enrolled: FIND -> FIND ACK (and the controller\n"
    "                                               is told to punch), FIND RELAY -> TURN ACK;\n"
    "                                               not enrolled: FIND NACK (the default)\n"
    "                              find-ack         FIND ACK with the enrolled endpoint, any kind\n"
    "                              find-ack=A:P     FIND ACK with this endpoint\n"
    "                              turn             TURN ACK, any kind\n"
    "                              tcp=A:P          TCP ACK with this endpoint\n"
    "                              nack             FIND NACK\n"
    "                              silent           no answer\n"
    "  --default-answer MODE     the same for names without an --answer\n"
    "  --fault KIND=WHAT[,WHAT]  misbehave on probe, list, find or all requests; WHAT is\n"
    "                            silent | drop-first:N | stray:N | stray-type:T | late:MS | truncate\n"
    "  --enroll-lifetime MS      an enrollment not refreshed within MS expires (default 5000)\n"
    "  --turn-wait MS            a session side waits MS for its partner (default 10000)\n"
    "  --first-sid N             first session id handed out (default 1)\n"
    "  --ready-file PATH         written (\"udp A:P\", \"turn P\", \"checksum 0x...\") once listening\n"
    "  --max-run MS              end after MS milliseconds whatever happens (exit code 3)\n"
    "Prints \"listening on ADDR:PORT udp, sessions on tcp port P\" once ready, then one line\n"
    "per event.\n";

bool ParseMode(const std::string& text, RelayLookupRule* rule)
{
    *rule = RelayLookupRule();
    if (text == "auto")
        rule->mode = LOOKUP_AUTO;
    else if (text == "find-ack")
        rule->mode = LOOKUP_FIND_ACK;
    else if (text == "turn")
        rule->mode = LOOKUP_TURN;
    else if (text == "nack")
        rule->mode = LOOKUP_NACK;
    else if (text == "silent")
        rule->mode = LOOKUP_SILENT;
    else if (text.compare(0, 9, "find-ack=") == 0) {
        rule->mode = LOOKUP_FIND_ACK;
        rule->hasAddress = simopts::ParseEndpoint(text.substr(9), &rule->address);
        return rule->hasAddress;
    } else if (text.compare(0, 4, "tcp=") == 0) {
        rule->mode = LOOKUP_TCP;
        rule->hasAddress = simopts::ParseEndpoint(text.substr(4), &rule->address);
        return rule->hasAddress;
    } else {
        return false;
    }
    return true;
}

bool ParseServer(const std::string& text, RelayServerEntry* e)
{
    size_t a = text.find(',');
    size_t b = a == std::string::npos ? a : text.find(',', a + 1);
    if (b == std::string::npos) return false;
    e->name = text.substr(0, a);
    e->host = text.substr(a + 1, b - a - 1);
    return simopts::ParseNumber(text.substr(b + 1), &e->port) && e->port <= 65535;
}

bool ParseFault(const std::string& text, RelayConfig* c)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    std::string kind = text.substr(0, eq);
    int first, last;
    if (kind == "probe")
        first = last = RELAY_PROBE;
    else if (kind == "list")
        first = last = RELAY_LIST;
    else if (kind == "find")
        first = last = RELAY_FIND;
    else if (kind == "all")
        first = 0, last = RELAY_KINDS - 1;
    else
        return false;
    std::string rest = text.substr(eq + 1);
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        if (comma == std::string::npos) comma = rest.size();
        std::string what = rest.substr(pos, comma - pos);
        size_t colon = what.find(':');
        std::string word = what.substr(0, colon);
        uint32_t n = 0;
        bool hasNumber = colon != std::string::npos && simopts::ParseNumber(what.substr(colon + 1), &n);
        for (int k = first; k <= last; ++k) {
            RelayFault& f = c->faults[k];
            if (word == "silent" && colon == std::string::npos)
                f.silent = true;
            else if (word == "truncate" && colon == std::string::npos)
                f.truncate = true;
            else if (word == "drop-first" && hasNumber)
                f.dropFirst = n;
            else if (word == "stray" && hasNumber)
                f.strays = n;
            else if (word == "stray-type" && hasNumber && n <= 255)
                f.strayType = (uint8_t)n;
            else if (word == "late" && hasNumber)
                f.lateMs = n;
            else
                return false;
        }
        pos = comma + 1;
    }
    return true;
}

struct Options {
    RelayConfig config;
    std::string readyFile;
    uint32_t maxRunMs = 0;
};

int ParseOptions(int argc, char** argv, Options* o, bool* helpOnly)
{
    simopts::COptionParser p("rerudi-relay", kUsage, simopts::STYLE_NAMED);
    RelayConfig& c = o->config;
    p.Value("--listen", [&](const std::string& v) { return simopts::ParseDotted(v, &c.listenAddress); });
    p.Number("--port", 65535, false, [&](uint32_t n) { c.port = (uint16_t)n; });
    p.Number("--turn-port", 65535, false, [&](uint32_t n) { c.turnPort = (uint16_t)n; });
    p.Value("--server", [&](const std::string& v) {
        RelayServerEntry e;
        bool ok = ParseServer(v, &e);
        c.servers.push_back(e);
        return ok;
    });
    p.Number("--checksum-offset", 0xFFFFFFFFu, false, [&](uint32_t n) { c.checksumOffset = n; });
    // Entry numbers are one byte on the wire.
    p.Number("--announce", 255, false, [&](uint32_t n) {
        c.announceSet = true;
        c.announceCount = n;
    });
    p.Value("--answer", [&](const std::string& v) {
        size_t eq = v.find('=');
        RelayLookupRule rule;
        bool ok = eq != std::string::npos && eq > 0 && ParseMode(v.substr(eq + 1), &rule);
        if (ok) c.rules[v.substr(0, eq)] = rule;
        return ok;
    });
    p.Value("--default-answer", [&](const std::string& v) { return ParseMode(v, &c.defaultRule); });
    p.Value("--fault", [&](const std::string& v) { return ParseFault(v, &c); });
    p.Number("--enroll-lifetime", 0xFFFFFFFFu, true, [&](uint32_t n) { c.enrollLifetimeMs = n; });
    p.Number("--turn-wait", 0xFFFFFFFFu, true, [&](uint32_t n) { c.turnWaitMs = n; });
    p.Number("--first-sid", 0xFFFFFFFFu, false, [&](uint32_t n) { c.firstSessionId = n; });
    p.Value("--ready-file", [&](const std::string& v) { return o->readyFile = v, true; });
    p.Number("--max-run", 0xFFFFFFFFu, true, [&](uint32_t n) { o->maxRunMs = n; });
    return p.Parse(argc, argv, helpOnly);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    bool helpOnly = false;
    int rc = ParseOptions(argc, argv, &o, &helpOnly);
    if (rc != 0 || helpOnly) return rc;

    simprog::StopOnSignals();
    SocketStartup();

    CSimRelay relay(o.config);
    relay.SetLogCallback(PrintLine);
    if (!relay.Start()) {
        fprintf(stderr, "rerudi-relay: cannot listen (address in use or not local)\n");
        return 1;
    }
    QVSockAddr where = MakeSockAddr(relay.GetAddress(), relay.GetPort());
    std::string at = simopts::EndpointText(where);
    if (!o.readyFile.empty() &&
        !WriteReadyFile(o.readyFile, StrPrintf("udp %s\nturn %u\nchecksum 0x%08X\n", at.c_str(),
                                               relay.GetTurnPort(), relay.GetAdvertisedChecksum()))) {
        fprintf(stderr, "rerudi-relay: cannot write %s\n", o.readyFile.c_str());
        return 1;
    }
    PrintLine(StrPrintf("listening on %s udp, sessions on tcp port %u", at.c_str(), relay.GetTurnPort()));
    PrintLine(StrPrintf("server list of %u entries, checksum 0x%08X, probe answers carry 0x%08X",
                        (unsigned)o.config.servers.size(), relay.GetListChecksum(),
                        relay.GetAdvertisedChecksum()));

    const char* why = "stopped";
    int exitCode = simprog::RunUntilDone(o.maxRunMs, 20, nullptr, &why);
    relay.Stop();
    RelayStats s = relay.GetStats();
    PrintLine(
        StrPrintf("summary: %u probes, %u list requests, %u finds, %u find relays, %u find acks, "
                  "%u find nacks, %u turn acks, %u tcp acks, %u enrollments, %u notices (%u acknowledged), "
                  "%u sessions paired, %llu bytes to controllers, %llu to launchers, %u ignored",
                  s.probes, s.listRequests, s.finds, s.findRelays, s.findAcks, s.findNacks, s.turnAcks,
                  s.tcpAcks, s.enrolls, s.noticesSent, s.noticesAcked, s.sessionsPaired,
                  (unsigned long long)s.bytesToController, (unsigned long long)s.bytesToLauncher, s.ignored));
    PrintLine(StrPrintf("exiting: %s", why));
    SocketCleanup();
    return exitCode;
}
