// natpeer: the controller's side in the NAT lab's self-tests. Enrolls with the
// relays through the enrollment library, and serves each handed-over path with an
// echo: on a punched UDP socket every datagram but a hello comes back as it came (a
// hello gets a hello acknowledgement); on a relayed TCP session every byte comes
// back. One line per event on standard output.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/enroll/enroll_wire.h"
#include "sim/enroll/relay_enrollment.h"
#include "sim/tools/simopts.h"
#include "util/qvtick.h"
#include "util/qvtypes.h"
#include "sim/tools/simprog.h"

namespace
{

using simprog::g_bStop;
using simprog::PrintLine;

void EchoUdp(QVSOCKET s, QVSockAddr launcher)
{
    uint8_t buf[2048];
    uint32_t echoed = 0;
    while (!g_bStop) {
        if (!SocketReadable(s, 50)) continue;
        QVSockAddr from;
        int n = SocketRecvFrom(s, buf, sizeof buf, &from);
        if (n <= 0) continue;
        if (n == 1 && buf[0] == enrollwire::HELLO) {
            uint8_t ack = enrollwire::HELLO_ACK;
            SocketSendTo(s, &ack, 1, from);
            continue;
        }
        if (n == 1 && buf[0] == enrollwire::HELLO_ACK) continue;
        SocketSendTo(s, buf, n, from);
        if (echoed++ == 0)
            PrintLine("udp echo: first datagram from " + simopts::EndpointText(from) + " (punched with " +
                      simopts::EndpointText(launcher) + ")");
    }
    CloseSocket(s);
    PrintLine(StrPrintf("udp echo: %u datagrams echoed", echoed));
}

void EchoTcp(QVSOCKET s, uint32_t sid)
{
    uint8_t buf[16384];
    uint64_t echoed = 0;
    while (!g_bStop) {
        if (!SocketReadable(s, 50)) continue;
        int n = SocketRecv(s, buf, sizeof buf);
        if (n <= 0 || SocketSend(s, buf, n) != n) break;
        echoed += (uint64_t)n;
    }
    CloseSocket(s);
    PrintLine(StrPrintf("tcp echo: session %u ended after %llu bytes", sid, (unsigned long long)echoed));
}

// A plain TCP echo on a port of its own: what a port forwarded on the controller's NAT
// reaches (the discovery server's road and TCP ACK answers).
void ServeTcpEcho(QVSOCKET listener, std::vector<std::thread>* sessions, std::mutex* lock)
{
    uint32_t n = 0;
    while (!g_bStop) {
        if (!SocketReadable(listener, 50)) continue;
        QVSockAddr from;
        QVSOCKET s = SocketAccept(listener, &from);
        if (s == QV_INVALID_SOCKET) continue;
        PrintLine("tcp echo: connection from " + simopts::EndpointText(from));
        std::lock_guard<std::mutex> g(*lock);
        sessions->emplace_back(EchoTcp, s, ++n);
    }
    CloseSocket(listener);
}

const char* const kUsage = "usage: natpeer --name SYSTEM --relay A.B.C.D:PORT [--relay ...] [--punch-ms MS]\n"
                           "               [--enroll-period MS] [--tcp-echo PORT]\n";

} // namespace

int main(int argc, char** argv)
{
    EnrollConfig c;
    uint32_t tcpEchoPort = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        uint32_t n = 0;
        QVSockAddr a;
        if (name == "--name")
            c.systemName = value;
        else if (name == "--relay" && simopts::ParseEndpoint(value, &a))
            c.relays.push_back(a);
        else if (name == "--punch-ms" && simopts::ParseNumber(value, &n))
            c.punchMs = n;
        else if (name == "--enroll-period" && simopts::ParseNumber(value, &n) && n > 0)
            c.enrollPeriodMs = n;
        else if (name == "--tcp-echo" && simopts::ParseNumber(value, &n) && n > 0 && n <= 65535)
            tcpEchoPort = n;
        else {
            fprintf(stderr, "natpeer: bad option %s %s\n%s", name.c_str(), value.c_str(), kUsage);
            return 2;
        }
    }
    if (argc % 2 == 0 || c.systemName.empty() || c.relays.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    simprog::StopOnSignals();
    SocketStartup();

    std::mutex threadsLock;
    std::vector<std::thread> sessions;
    CRelayEnrollment enrollment(c);
    enrollment.SetLogCallback(PrintLine);
    enrollment.SetPunchedCallback([&](QVSOCKET s, const QVSockAddr& launcher) {
        std::lock_guard<std::mutex> g(threadsLock);
        sessions.emplace_back(EchoUdp, s, launcher);
    });
    enrollment.SetTurnCallback([&](QVSOCKET s, uint32_t sid) {
        std::lock_guard<std::mutex> g(threadsLock);
        sessions.emplace_back(EchoTcp, s, sid);
    });
    if (!enrollment.Start()) {
        fprintf(stderr, "natpeer: cannot open a UDP socket\n");
        return 1;
    }
    std::thread echoServer;
    if (tcpEchoPort) {
        QVSOCKET l = SocketTcp();
        SocketSetReuseAddr(l);
        if (!SocketBind(l, MakeSockAddr(0, (uint16_t)tcpEchoPort)) || !SocketListen(l, 8)) {
            fprintf(stderr, "natpeer: cannot listen on tcp port %u\n", tcpEchoPort);
            CloseSocket(l);
            enrollment.Stop();
            return 1;
        }
        echoServer = std::thread(ServeTcpEcho, l, &sessions, &threadsLock);
    }
    PrintLine("started as " + simopts::EndpointText(enrollment.GetLocalAddress()));
    while (!g_bStop)
        SleepMs(20);
    enrollment.Stop();
    if (echoServer.joinable()) echoServer.join();
    for (std::thread& t : sessions)
        t.join();
    PrintLine("exiting");
    return 0;
}
