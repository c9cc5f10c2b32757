// rerudi-dserver: a stand-in discovery server (D.SERVER) on one TCP port, for the NAT
// lab, the remote scenarios and the demo. One line per event on standard output.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "../../util/qvtick.h"
#include "../../util/qvtypes.h"
#include "dserver.h"
#include "../tools/simopts.h"
#include "../tools/simprog.h"

namespace
{

using simprog::PrintLine;
using simprog::WriteReadyFile;

const char* const kUsage =
    "usage: rerudi-dserver [options]\n"
    "  --listen ADDR            IPv4 address (default 127.0.0.1)\n"
    "  --port N                 TCP port (default 500; 0: any free port)\n"
    "  --system NAME=ADDR:PORT[,found=N][,licensed=N][,open=N][,relay=N]\n"
    "                           how the system NAME is answered; ADDR is sent as text as it\n"
    "                           stands (may be empty or anything); flags default to 1,1,1,0\n"
    "  --not-found-command N    command of the not-found answer (default 0x464E = 18766)\n"
    "  --padding item|payload   string padding counted from the item (default) or payload start\n"
    "  --fault WHAT             silent | oversize | exact-1024 | dribble:MS | late:MS |\n"
    "                           header-only (repeatable)\n"
    "  --ready-file PATH        written (\"tcp A:P\") once listening\n"
    "  --max-run MS             end after MS milliseconds whatever happens (exit code 3)\n"
    "Prints \"listening on ADDR:PORT\" once ready, then one line per event.\n";

bool ParseFlag(const std::string& item, DServerSystem* sys)
{
    size_t eq = item.find('=');
    uint32_t n = 0;
    if (eq == std::string::npos || !simopts::ParseNumber(item.substr(eq + 1), &n) || n > 255) return false;
    std::string key = item.substr(0, eq);
    if (key == "found")
        sys->found = (uint8_t)n;
    else if (key == "licensed")
        sys->licensed = (uint8_t)n;
    else if (key == "open")
        sys->open = (uint8_t)n;
    else if (key == "relay")
        sys->relay = (uint8_t)n;
    else
        return false;
    return true;
}

// NAME=ADDR:PORT[,flag=N...]; the address may contain anything but the last colon.
bool ParseSystem(const std::string& text, std::string* name, DServerSystem* sys)
{
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *name = text.substr(0, eq);
    std::string rest = text.substr(eq + 1);
    size_t comma = rest.find(',');
    std::string where = rest.substr(0, comma);
    size_t colon = where.rfind(':');
    uint32_t port = 0;
    if (colon == std::string::npos || !simopts::ParseNumber(where.substr(colon + 1), &port) || port > 65535)
        return false;
    sys->address = where.substr(0, colon);
    sys->port = (uint16_t)port;
    while (comma != std::string::npos) {
        size_t next = rest.find(',', comma + 1);
        if (!ParseFlag(rest.substr(comma + 1, next == std::string::npos ? next : next - comma - 1), sys))
            return false;
        comma = next;
    }
    return true;
}

bool ParseFault(const std::string& text, DServerFaults* f)
{
    size_t colon = text.find(':');
    std::string word = text.substr(0, colon);
    uint32_t n = 0;
    bool hasNumber = colon != std::string::npos && simopts::ParseNumber(text.substr(colon + 1), &n);
    if (colon == std::string::npos) {
        if (word == "silent")
            f->silent = true;
        else if (word == "oversize")
            f->oversize = true;
        else if (word == "exact-1024")
            f->exact1024 = true;
        else if (word == "header-only")
            f->closeAfterHeader = true;
        else
            return false;
        return true;
    }
    if (!hasNumber) return false;
    if (word == "dribble")
        f->dribbleMs = n;
    else if (word == "late")
        f->lateMs = n;
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    DServerConfig c;
    std::string readyFile;
    uint32_t maxRunMs = 0;
    simopts::COptionParser p("rerudi-dserver", kUsage, simopts::STYLE_NAMED);
    p.Value("--listen", [&](const std::string& v) { return simopts::ParseDotted(v, &c.listenAddress); });
    p.Number("--port", 65535, false, [&](uint32_t n) { c.port = (uint16_t)n; });
    p.Value("--system", [&](const std::string& v) {
        std::string sysName;
        DServerSystem sys;
        bool ok = ParseSystem(v, &sysName, &sys);
        if (ok) c.systems[sysName] = sys;
        return ok;
    });
    p.Value("--not-found-command", [&](const std::string& v) {
        uint32_t n = 0;
        bool ok = simopts::ParseNumber(v, &n) && n <= 65535 && n != dserverwire::ANSWER;
        c.notFoundCommand = (uint16_t)n;
        return ok;
    });
    p.Value("--padding", [&](const std::string& v) {
        c.padding = v == "payload" ? PAD_PAYLOAD : PAD_ITEM;
        return v == "item" || v == "payload";
    });
    p.Value("--fault", [&](const std::string& v) { return ParseFault(v, &c.faults); });
    p.Value("--ready-file", [&](const std::string& v) { return readyFile = v, true; });
    p.Number("--max-run", 0xFFFFFFFFu, true, [&](uint32_t n) { maxRunMs = n; });
    bool helpOnly = false;
    int rc = p.Parse(argc, argv, &helpOnly);
    if (rc != 0 || helpOnly) return rc;

    simprog::StopOnSignals();
    SocketStartup();
    CSimDServer server(c);
    server.SetLogCallback(PrintLine);
    if (!server.Start()) {
        fprintf(stderr, "rerudi-dserver: cannot listen (address in use or not local)\n");
        return 1;
    }
    std::string at = simopts::EndpointText(MakeSockAddr(server.GetAddress(), server.GetPort()));
    if (!readyFile.empty() && !WriteReadyFile(readyFile, "tcp " + at + "\n")) {
        fprintf(stderr, "rerudi-dserver: cannot write %s\n", readyFile.c_str());
        return 1;
    }
    PrintLine("listening on " + at);
    const char* why = "stopped";
    int exitCode = simprog::RunUntilDone(maxRunMs, 20, nullptr, &why);
    server.Stop();
    DServerStats s = server.GetStats();
    PrintLine(StrPrintf("summary: %u connections, %u queries, %u answered, %u not found, %u bad",
                        s.connections, s.queries, s.answered, s.notFound, s.badQueries));
    PrintLine(StrPrintf("exiting: %s", why));
    SocketCleanup();
    return exitCode;
}
