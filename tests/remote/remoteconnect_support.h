// Shared pieces of the remote procedure's tests: the list file, the status and
// trace lines of an attempt, an observer that cancels on cue, listeners that
// never complete a connect, and open-descriptor counts.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "remote/netaddr.h"
#include "remote/remoteconnect.h"
#include "util/qvtick.h"
#include "util/qvtypes.h"
#include "util/trace.h"

namespace remotetest
{

struct RelayLine {
    std::string name;
    QVSockAddr address;
};

// servers.txt for these relays, as the launcher writes it.
inline std::string ServersText(const std::vector<RelayLine>& relays)
{
    std::string text;
    for (const RelayLine& r : relays)
        text += r.name + "," + FormatIPv4(r.address) + "," + std::to_string(SockAddrPort(r.address)) + "\n";
    return text;
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The entry that serves a name among count relays (the signed byte sum).
inline int RelayIndexFor(const std::string& name, int count)
{
    int32_t sum = 0;
    for (char c : name)
        sum += (int8_t)c;
    return (int)((uint32_t)sum % (uint32_t)count);
}

// A port on 127.0.0.1 that was free a moment ago (UDP or TCP).
inline uint16_t FreePort(bool udp)
{
    QVSOCKET s = udp ? SocketUdp() : SocketTcp();
    QVSockAddr at = {};
    SocketBind(s, MakeSockAddr(LoopbackAddress(), 0));
    SocketLocalAddr(s, &at);
    CloseSocket(s);
    return SockAddrPort(at);
}

// Every trace line while it lives (the trace facility has one sink per process).
class TraceCapture
{
  public:
    TraceCapture()
    {
        std::lock_guard<std::mutex> hold(Lock());
        Lines().clear();
        SetTraceSink(&Sink);
    }
    ~TraceCapture() { SetTraceSink(nullptr); }
    std::vector<std::string> Get()
    {
        std::lock_guard<std::mutex> hold(Lock());
        return Lines();
    }
    bool Has(const std::string& prefix)
    {
        for (const std::string& l : Get())
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }

  private:
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& Lines()
    {
        static std::vector<std::string> lines;
        return lines;
    }
    static void Sink(const char* line)
    {
        std::lock_guard<std::mutex> hold(Lock());
        Lines().push_back(line);
    }
};

// The status lines of one attempt. Optionally says "no" for ever once a line (a
// status line, or a trace line when a capture is given) starting with `trigger`
// has appeared and `asks` more questions were asked; notes when it first did.
struct AttemptLog : CAttemptObserver {
    std::vector<std::string> lines;
    std::string trigger;
    int asks = 0;
    TraceCapture* traces = nullptr;
    bool armed = false;
    uint32_t cancelledAt = 0;

    void OnStatus(const char* text) override
    {
        lines.emplace_back(text);
        if (!trigger.empty() && lines.back().compare(0, trigger.size(), trigger) == 0) armed = true;
    }
    bool KeepWaiting() override
    {
        if (cancelledAt) return false;
        if (trigger.empty()) return true;
        if (!armed && traces && traces->Has(trigger)) armed = true;
        if (!armed || asks-- > 0) return true;
        cancelledAt = GetTick();
        return false;
    }
    bool Has(const std::string& line) const
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    int Count(const std::string& line) const { return (int)std::count(lines.begin(), lines.end(), line); }
};

// The lines with each run of "Creating Connection" + dots checked (one more dot
// each time, from one) and folded into one line
// "Creating Connection*"; an extra line from a stray datagram then does not
// change what a test compares.
inline std::vector<std::string> Folded(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    size_t dots = 0;
    const std::string stem = "Creating Connection";
    for (const std::string& l : lines) {
        if (l.compare(0, stem.size(), stem) == 0 &&
            l.find_first_not_of('.', stem.size()) == std::string::npos) {
            EXPECT_EQ(l.size() - stem.size(), dots + 1) << "dots grow by one: " << l;
            dots = l.size() - stem.size();
            if (out.empty() || out.back() != stem + "*") out.push_back(stem + "*");
            continue;
        }
        dots = 0;
        out.push_back(l);
    }
    return out;
}

// A TCP listener whose backlog is full: a connect to it never completes (on the
// systems the tests run on), so a test can hold the procedure in a connect wait.
class FullListener
{
  public:
    FullListener()
    {
        m_hListen = SocketTcp();
        SocketBind(m_hListen, MakeSockAddr(LoopbackAddress(), 0));
        SocketListen(m_hListen, 0);
        SocketLocalAddr(m_hListen, &m_Address);
        for (int i = 0; i < 8; ++i) {
            QVSOCKET s = SocketTcp();
            SetNonBlocking(s);
            SocketConnect(s, m_Address);
            m_Filling.push_back(s);
        }
    }
    ~FullListener()
    {
        for (QVSOCKET s : m_Filling)
            CloseSocket(s);
        CloseSocket(m_hListen);
    }
    const QVSockAddr& Address() const { return m_Address; }

  private:
    QVSOCKET m_hListen;
    QVSockAddr m_Address = {};
    std::vector<QVSOCKET> m_Filling;
};

// Open descriptors of this process, or -1 where they cannot be counted.
inline int OpenDescriptors()
{
#ifdef __linux__
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return ec ? -1 : n;
#else
    return -1;
#endif
}

} // namespace remotetest
