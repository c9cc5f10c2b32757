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
#include "relay/simopts.h"
#include "../util/qvsocket.h"
#include "../util/qvtick.h"
#include "../util/qvtypes.h"
#include "tools/simprog.h"

namespace
{

using simprog::g_bStop;
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

// Whole decimal number; false on anything else, so a typo is not read as 0.
bool ParseNumber(const char* text, uint32_t* value)
{
    if (!text || !*text) return false;
    uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (uint64_t)(*p - '0');
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = (uint32_t)v;
    return true;
}

bool ParseDotted(const char* text, uint32_t* address)
{
    uint32_t parts[4];
    int n = 0;
    const char* p = text;
    while (n < 4) {
        if (*p < '0' || *p > '9') return false;
        uint32_t v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (uint32_t)(*p - '0');
            if (v > 255) return false;
            ++p;
        }
        parts[n++] = v;
        if (n < 4) {
            if (*p != '.') return false;
            ++p;
        }
    }
    if (*p) return false;
    *address = MakeIPv4((uint8_t)parts[0], (uint8_t)parts[1], (uint8_t)parts[2], (uint8_t)parts[3]);
    return true;
}

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
    *helpOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            fputs(kUsage, stdout);
            *helpOnly = true;
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "rerudi-sim: %s needs a value\n%s", name.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[++i];
        uint32_t n = 0;
        bool numeric = ParseNumber(value, &n);
        bool ok = true;
        if (name == "--listen")
            ok = ParseDotted(value, &o->config.listenAddress);
        else if (name == "--port") {
            ok = numeric && n <= 65535;
            o->config.port = (uint16_t)n;
        } else if (name == "--password")
            o->config.password = value;
        else if (name == "--challenge")
            o->config.challenge = value;
        else if (name == "--version")
            o->config.version = value;
        else if (name == "--viewer-file")
            o->viewerFile = value;
        else if (name == "--config-file")
            o->configFile = value;
        else if (name == "--generated-size") {
            // The launcher refuses messages above 2,000,000 bytes; leave room to test that.
            ok = numeric && n <= 64u * 1024 * 1024;
            o->generatedSize = n;
        } else if (name == "--piece-size") {
            ok = numeric;
            o->config.pieceSize = n;
        } else if (name == "--close-after-pieces") {
            ok = numeric && n > 0;
            o->config.faults.closeAfterPieces = n;
        } else if (name == "--silent-on") {
            ok = numeric && n > 0 && n <= 65535;
            o->config.faults.onCode = (uint16_t)n;
            o->config.faults.silent = true;
        } else if (name == "--wrong-code-on") {
            ok = numeric && n > 0 && n <= 65535;
            o->config.faults.onCode = (uint16_t)n;
            o->config.faults.wrongReplyCode = true;
        } else if (name == "--exit-after") {
            ok = numeric && n > 0;
            o->exitAfter = n;
        } else if (name == "--exit-when-idle") {
            ok = numeric;
            o->exitWhenIdleMs = n;
            o->exitWhenIdle = true;
        } else if (name == "--max-run") {
            ok = numeric && n > 0;
            o->maxRunMs = n;
        } else if (name == "--relay") {
            QVSockAddr relay;
            ok = simopts::ParseEndpoint(value, &relay) && SockAddrPort(relay) != 0;
            o->enroll.relays.push_back(relay);
        } else if (name == "--system-name") {
            // The relays compare names within a 64-byte field: a longer one could
            // never be found under the name given.
            ok = *value && strlen(value) <= 64;
            o->enroll.systemName = value;
        } else if (name == "--enroll-period") {
            ok = numeric && n > 0;
            o->enroll.enrollPeriodMs = n;
        } else {
            fprintf(stderr, "rerudi-sim: unknown option %s\n%s", name.c_str(), kUsage);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "rerudi-sim: bad value for %s: %s\n", name.c_str(), value);
            return 2;
        }
    }
    // Two faults on different codes cannot be expressed by one fault set.
    if (o->config.faults.silent && o->config.faults.wrongReplyCode) {
        fprintf(stderr, "rerudi-sim: --silent-on and --wrong-code-on cannot be combined\n");
        return 2;
    }
    if (o->enroll.relays.empty() != o->enroll.systemName.empty()) {
        fprintf(stderr, "rerudi-sim: --relay and --system-name go together\n");
        return 2;
    }
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

    const uint32_t started = GetTick();
    uint32_t idleSince = 0;
    bool idle = false; // no connection open, and at least one was served
    int exitCode = 0;
    const char* why = "stopped";
    while (!g_bStop.load()) {
        SleepMs(20);
        SimStats s = sim.GetStats();
        if (o.exitAfter && s.closes >= o.exitAfter) {
            why = "served the requested connections";
            break;
        }
        if (s.connections > 0 && s.openConnections == 0) {
            if (!idle) idleSince = GetTick();
            idle = true;
            if (o.exitWhenIdle && TickSince(idleSince) >= o.exitWhenIdleMs) {
                why = "idle";
                break;
            }
        } else {
            idle = false;
        }
        if (o.maxRunMs && TickSince(started) >= o.maxRunMs) {
            why = "time limit reached";
            exitCode = 3;
            break;
        }
    }
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
