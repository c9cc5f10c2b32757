// The impaired IP path between two namespaces (see bench_rudp_tunpath.h).
#include "bench_rudp_tunpath.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "util/qvsocket.h"

namespace
{

bool Run(const std::string& command)
{
    std::string quiet = command + " >/dev/null 2>&1";
    return system(quiet.c_str()) == 0;
}

int OpenTun(const std::string& name)
{
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Namespaces of earlier runs that did not end cleanly (killed, timed out).
void RemoveStaleNamespaces()
{
    DIR* d = opendir("/run/netns");
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (strncmp(name, "rrbench", 7) != 0) continue;
        long pid = strtol(name + 7, nullptr, 10);
        if (pid > 0 && kill((pid_t)pid, 0) != 0 && errno == ESRCH) Run(std::string("ip netns del ") + name);
    }
    closedir(d);
}

CTunPath* g_pPath = nullptr;
std::string g_strWhy;
bool g_bTried = false;

void DropPath()
{
    delete g_pPath;
}

} // namespace

CTunPath* CTunPath::Get(std::string* why)
{
    if (!g_bTried) {
        g_bTried = true;
        CTunPath* path = new CTunPath;
        if (path->Make(&g_strWhy)) {
            g_pPath = path;
            atexit(DropPath);
        } else {
            delete path;
        }
    }
    if (why) *why = g_strWhy;
    return g_pPath;
}

bool CTunPath::Make(std::string* why)
{
    if (geteuid() != 0) {
        *why = "needs root (network namespaces, /dev/net/tun)";
        return false;
    }
    RemoveStaleNamespaces();
    const int tag = (int)getpid();
    m_strNsA = "rrbench" + std::to_string(tag) + "a";
    m_strNsB = "rrbench" + std::to_string(tag) + "b";
    m_strDevA = "rrbt" + std::to_string(tag) + "a";
    m_strDevB = "rrbt" + std::to_string(tag) + "b";
    m_nAddrA = MakeIPv4(10, 77, 0, 1);
    m_nAddrB = MakeIPv4(10, 77, 0, 2);
    m_fdA = OpenTun(m_strDevA);
    m_fdB = OpenTun(m_strDevB);
    if (m_fdA < 0 || m_fdB < 0) {
        *why = "cannot make TUN devices (/dev/net/tun)";
        return false;
    }
    bool ok = Run("ip netns add " + m_strNsA) && Run("ip netns add " + m_strNsB);
    for (int side = 0; ok && side < 2; side++) {
        const std::string& ns = side ? m_strNsB : m_strNsA;
        const std::string& dev = side ? m_strDevB : m_strDevA;
        const char* addr = side ? "10.77.0.2/24" : "10.77.0.1/24";
        ok = Run("ip link set " + dev + " netns " + ns) && Run("ip -n " + ns + " link set lo up") &&
             Run("ip -n " + ns + " addr add " + addr + " dev " + dev) &&
             Run("ip -n " + ns + " link set " + dev + " up");
    }
    if (!ok) {
        *why = "cannot set up the namespaces (ip netns)";
        return false;
    }
    m_pAToB = new CImpairLine(ImpairSettings(), 1);
    m_pBToA = new CImpairLine(ImpairSettings(), 2);
    m_bRunning = true;
    m_Thread = std::thread([this] { Forward(); });
    return true;
}

CTunPath::~CTunPath()
{
    m_bRunning = false;
    if (m_Thread.joinable()) m_Thread.join();
    if (m_fdA >= 0) close(m_fdA);
    if (m_fdB >= 0) close(m_fdB);
    if (!m_strNsA.empty()) Run("ip netns del " + m_strNsA);
    if (!m_strNsB.empty()) Run("ip netns del " + m_strNsB);
    delete m_pAToB;
    delete m_pBToA;
}

void CTunPath::SetImpairment(const ImpairSettings& settings)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_pAToB->SetSettings(settings);
    m_pBToA->SetSettings(settings);
}

ImpairCounts CTunPath::CountsAToB()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_pAToB->Counts();
}

bool CTunPath::RunIn(const std::string& ns, const std::function<void()>& f)
{
    bool joined = false;
    std::thread t([&] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
        if (joined) f();
    });
    t.join();
    return joined;
}

std::thread CTunPath::StartInB(const std::function<void()>& f)
{
    const std::string ns = m_strNsB;
    return std::thread([ns, f] {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        bool joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
        if (joined) f();
    });
}

void CTunPath::Forward()
{
    std::vector<uint8_t> packet(65536), out;
    while (m_bRunning) {
        uint64_t waitUs;
        {
            std::lock_guard<std::mutex> g(m_Lock);
            uint64_t now = ImpairNowUs();
            uint64_t a = m_pAToB->UsUntilNext(now), b = m_pBToA->UsUntilNext(now);
            waitUs = a < b ? a : b;
        }
        pollfd fds[2] = {{m_fdA, POLLIN, 0}, {m_fdB, POLLIN, 0}};
        poll(fds, 2, waitUs >= 20000 ? 20 : (int)((waitUs + 999) / 1000));
        std::lock_guard<std::mutex> g(m_Lock);
        for (int side = 0; side < 2; side++) {
            if (!(fds[side].revents & POLLIN)) continue;
            for (int i = 0; i < 64; i++) {
                ssize_t n = read(side ? m_fdB : m_fdA, packet.data(), packet.size());
                if (n <= 0) break;
                (side ? m_pBToA : m_pAToB)->Push(packet.data(), (int)n, ImpairNowUs());
                pollfd again = {side ? m_fdB : m_fdA, POLLIN, 0};
                if (poll(&again, 1, 0) <= 0) break;
            }
        }
        const uint64_t now = ImpairNowUs();
        while (m_pAToB->PopDue(now, &out))
            if (write(m_fdB, out.data(), out.size()) < 0) break;
        while (m_pBToA->PopDue(now, &out))
            if (write(m_fdA, out.data(), out.size()) < 0) break;
    }
}
