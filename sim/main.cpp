// rerudi-sim: a stand-in controller on a TCP port, for the demo and the end-to-end
// scenarios. It serves the viewer and configurator executables (or a generated
// payload), answers the login, version and echo requests, and prints one line per
// event on standard output so that a script can follow what the launcher did.
// Given relays and a system name, it also enrolls with the relays and serves the
// launcher on the remote roads: hole-punched (reliable UDP) and relayed (TCP
// through a relay) sessions, besides its TCP listener (direct, TCP ACK and the
// discovery server's roads, through a forwarded port).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/sim_controller.h"
#include "enroll/relay_enrollment.h"
#include "../util/qvsocket.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "tools/simopts.h"
#include "tools/simprog.h"

namespace
{

using simprog::PrintLine;

const char* const kUsage =
    "usage: rerudi-sim [options]\n"
    "  --listen ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N                 TCP port (default 0: any free port; see the ready line)\n"
    "  --password TEXT          password the launcher must log in with (default empty)\n"
    "  --challenge TEXT         challenge text (default SimChallenge0123)\n"
    "  --version TEXT           version text reported to the launcher (default 7.1.1.0)\n"
    "  --viewer-file PATH       file served for the viewer download (8130)\n"
    "  --config-file PATH       file served for the configurator download (8148)\n"
    "  --generated-size N       size of the generated payload served when no file is given\n"
    "                           (default 100000)\n"
    "  --piece-size N           send downloads in pieces of N bytes (default 0: whole file)\n"
    "  --close-after-pieces N   drop the connection after N pieces of a download\n"
    "  --silent-on CODE         never answer requests with this code\n"
    "  --wrong-code-on CODE     answer requests with this code with code 9000\n"
    "  --exit-after N           end once N connections have been closed\n"
    "  --exit-when-idle MS      end once no connection has been open for MS milliseconds,\n"
    "                           counted after the first connection\n"
    "  --max-run MS             end after MS milliseconds whatever happens (exit code 3)\n"
    "  --relay ADDR:PORT        enroll with the relay at this UDP endpoint (repeatable)\n"
    "  --system-name NAME       the name to enroll under (needed with --relay)\n"
    "  --enroll-period MS       enrollment refresh period (default 1000)\n"
    "Prints \"listening on ADDR:PORT\" once ready, then one line per event: \"conn N: connected\n"
    "from A:P\" (direct), \"conn N: turn session S\" (relayed), \"conn N: punched from A:P\" and\n"
    "\"conn N: params ...\" (reliable UDP), the enrollment's own lines (\"enrolled with relay ...\").\n";

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    bool ok = !ferror(f);
    fclose(f);
    if (ok) out->swap(bytes);
    return ok;
}

// A payload that is clearly not a program but still checkable byte for byte.
std::vector<uint8_t> GeneratedPayload(uint32_t size, uint8_t salt)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = 0x9E3779B9u ^ salt;
    for (uint32_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = (uint8_t)(x >> 16);
    }
    return bytes;
}

struct Options {
    SimConfig config;
    std::string viewerFile, configFile;
    uint32_t generatedSize = 100000;
    uint32_t exitAfter = 0;
    uint32_t exitWhenIdleMs = 0;
    bool exitWhenIdle = false;
    uint32_t maxRunMs = 0;
    EnrollConfig enroll;
};

// Returns 0 to go on, otherwise the exit code (help: 0 after printing, errors: 2).
int ParseOptions(int argc, char** argv, Options* o, bool* helpOnly)
{
    simopts::COptionParser p("rerudi-sim", kUsage, simopts::STYLE_NAMED);
    SimConfig& c = o->config;
    p.Value("--listen", [&](const std::string& v) { return simopts::ParseDotted(v, &c.listenAddress); });
    p.Number("--port", 65535, false, [&](uint32_t n) { c.port = (uint16_t)n; });
    p.Value("--password", [&](const std::string& v) { return c.password = v, true; });
    p.Value("--challenge", [&](const std::string& v) { return c.challenge = v, true; });
    p.Value("--version", [&](const std::string& v) { return c.version = v, true; });
    p.Value("--viewer-file", [&](const std::string& v) { return o->viewerFile = v, true; });
    p.Value("--config-file", [&](const std::string& v) { return o->configFile = v, true; });
    // The launcher refuses messages above 2,000,000 bytes; leave room to test that.
    p.Number("--generated-size", 64u * 1024 * 1024, false, [&](uint32_t n) { o->generatedSize = n; });
    p.Number("--piece-size", 0xFFFFFFFFu, false, [&](uint32_t n) { c.pieceSize = n; });
    p.Number("--close-after-pieces", 0xFFFFFFFFu, true, [&](uint32_t n) { c.faults.closeAfterPieces = n; });
    p.Number("--silent-on", 65535, true, [&](uint32_t n) {
        c.faults.onCode = (uint16_t)n;
        c.faults.silent = true;
    });
    p.Number("--wrong-code-on", 65535, true, [&](uint32_t n) {
        c.faults.onCode = (uint16_t)n;
        c.faults.wrongReplyCode = true;
    });
    p.Number("--exit-after", 0xFFFFFFFFu, true, [&](uint32_t n) { o->exitAfter = n; });
    p.Number("--exit-when-idle", 0xFFFFFFFFu, false, [&](uint32_t n) {
        o->exitWhenIdleMs = n;
        o->exitWhenIdle = true;
    });
    p.Number("--max-run", 0xFFFFFFFFu, true, [&](uint32_t n) { o->maxRunMs = n; });
    p.Value("--relay", [&](const std::string& v) {
        QVSockAddr relay;
        bool ok = simopts::ParseEndpoint(v, &relay) && SockAddrPort(relay) != 0;
        o->enroll.relays.push_back(relay);
        return ok;
    });
    // The relays compare names within a 64-byte field: a longer one could never be
    // found under the name given.
    p.Value("--system-name", [&](const std::string& v) {
        o->enroll.systemName = v;
        return !v.empty() && v.size() <= 64;
    });
    p.Number("--enroll-period", 0xFFFFFFFFu, true, [&](uint32_t n) { o->enroll.enrollPeriodMs = n; });
    int rc = p.Parse(argc, argv, helpOnly);
    if (rc != 0 || *helpOnly) return rc;
    // Two faults on different codes cannot be expressed by one fault set.
    if (c.faults.silent && c.faults.wrongReplyCode)
        return p.Refuse("%s: --silent-on and --wrong-code-on cannot be combined\n");
    if (o->enroll.relays.empty() != o->enroll.systemName.empty())
        return p.Refuse("%s: --relay and --system-name go together\n");
    return 0;
}

bool LoadPayload(const std::string& path, uint32_t generatedSize, uint8_t salt, std::vector<uint8_t>* out)
{
    if (path.empty()) {
        *out = GeneratedPayload(generatedSize, salt);
        return true;
    }
    if (!ReadWholeFile(path, out)) {
        fprintf(stderr, "rerudi-sim: cannot read %s\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    bool helpOnly = false;
    int rc = ParseOptions(argc, argv, &o, &helpOnly);
    if (rc != 0 || helpOnly) return rc;

    // Files are read once here: a missing file is a start-up error, not a silent
    // empty download in the middle of a scenario.
    if (!LoadPayload(o.viewerFile, o.generatedSize, 1, &o.config.viewerFile)) return 2;
    if (!LoadPayload(o.configFile, o.generatedSize, 2, &o.config.configFile)) return 2;

    simprog::StopOnSignals();

    CSimController sim(o.config);
    sim.SetLogCallback([](const std::string& line) {
        if (line.compare(0, 13, "listening on ") == 0) return; // printed below, once
        PrintLine(line);
    });
    if (!sim.Start()) {
        fprintf(stderr, "rerudi-sim: cannot listen (address in use or not local)\n");
        return 1;
    }
    QVSockAddr where = sim.GetAddress();
    const uint8_t* a = (const uint8_t*)&where.addr;
    PrintLine(StrPrintf("listening on %u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], sim.GetPort()));
    PrintLine(StrPrintf(
        "serving version %s, viewer %u bytes, configurator %u bytes, %s", o.config.version.c_str(),
        (unsigned)o.config.viewerFile.size(), (unsigned)o.config.configFile.size(),
        o.config.pieceSize ? StrPrintf("pieces of %u", o.config.pieceSize).c_str() : "whole files"));

    // The enrollment hands each road's socket to the simulator and goes on; a
    // session is served on a thread of the simulator's own.
    const bool remote = !o.enroll.relays.empty();
    CRelayEnrollment enrollment(o.enroll);
    if (remote) {
        enrollment.SetLogCallback(PrintLine);
        enrollment.SetPunchedCallback(
            [&sim](QVSOCKET udp, const QVSockAddr& launcher) { sim.ServePunched(udp, launcher); });
        enrollment.SetTurnCallback([&sim](QVSOCKET tcp, uint32_t sid) { sim.ServeRelayed(tcp, sid); });
        if (!enrollment.Start()) {
            fprintf(stderr, "rerudi-sim: cannot open the enrollment's UDP socket\n");
            sim.Stop();
            return 1;
        }
        std::string relays;
        for (const QVSockAddr& r : o.enroll.relays)
            relays += " " + simopts::EndpointText(r);
        PrintLine("enrolling as '" + o.enroll.systemName + "' from " +
                  simopts::EndpointText(enrollment.GetLocalAddress()) + " with" + relays);
    }

    uint32_t idleSince = 0;
    bool idle = false; // no connection open, and at least one was served
    const char* why = "stopped";
    int exitCode = simprog::RunUntilDone(
        o.maxRunMs, 20,
        [&]() -> const char* {
            SimStats s = sim.GetStats();
            if (o.exitAfter && s.closes >= o.exitAfter) return "served the requested connections";
            if (s.connections > 0 && s.openConnections == 0) {
                if (!idle) idleSince = GetTick();
                idle = true;
                if (o.exitWhenIdle && TickSince(idleSince) >= o.exitWhenIdleMs) return "idle";
            } else {
                idle = false;
            }
            return nullptr;
        },
        &why);
    // No more hand-overs once the simulator stops.
    enrollment.Stop();
    sim.Stop();
    SimStats s = sim.GetStats();
    PrintLine(StrPrintf("summary: %u connections, %u logins ok, %u refused, %u version requests, "
                        "%u downloads (%u viewer, %u configurator), %u pieces, %u echoes",
                        s.connections, s.loginsOk, s.loginsRefused, s.versionRequests, s.downloadRequests,
                        s.viewerRequests, s.configRequests, s.piecesSent, s.echoes));
    if (remote)
        PrintLine(StrPrintf("remote roads: %u punched (%u streams started), %u relayed", s.punchedSessions,
                            s.streamsStarted, s.relayedSessions));
    PrintLine(StrPrintf("exiting: %s", why));
    return exitCode;
}
