// Shared pieces of the remote procedure's tests: the list file, the status and
// trace lines of an attempt, an observer that cancels on cue, listeners that
// never complete a connect, open-descriptor and thread counts, a name resolver
// that answers, refuses or hangs on cue, and the scripted relays' fixture.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <condition_variable>
#include <map>
#include <memory>

#include "fake_relay.h"
#include "protocol/test_qvserver_fixture.h"
#include "remote/netaddr.h"
#include "remote/remoteconnect.h"
#include "rudp_test_support.h"
#include "support/proccount.h"
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

// Whether the thread count is back at baseline within ms (true where threads
// cannot be counted).
inline bool ThreadsBackTo(int baseline, uint32_t ms)
{
    const uint32_t start = GetTick();
    for (;;) {
        const int now = ThreadCount();
        if (baseline < 0 || now < 0 || now <= baseline) return true;
        if (TickSince(start) >= ms) return false;
        SleepMs(5);
    }
}

// A name resolver for tests, for RemoteSettings::resolve: names it knows give
// their address, hanging names block until Release (a name server that never
// answers), every other name is not found. One per test; the process has one
// state, since the procedure takes a plain function.
class FakeResolver
{
  public:
    FakeResolver()
    {
        std::lock_guard<std::mutex> hold(S().lock);
        S().known.clear();
        S().hanging.clear();
        S().calls.clear();
        S().released = false;
    }
    ~FakeResolver()
    {
        Release();
        // A worker the procedure let go returns now; the next test starts clean.
        std::unique_lock<std::mutex> hold(S().lock);
        S().changed.wait_for(hold, std::chrono::seconds(5), [] { return S().inside == 0; });
    }
    void Know(const std::string& name, uint32_t address)
    {
        std::lock_guard<std::mutex> hold(S().lock);
        S().known[name] = address;
    }
    void Hang(const std::string& name)
    {
        std::lock_guard<std::mutex> hold(S().lock);
        S().hanging.push_back(name);
    }
    void Release()
    {
        std::lock_guard<std::mutex> hold(S().lock);
        S().released = true;
        S().changed.notify_all();
    }
    int Calls(const std::string& name)
    {
        std::lock_guard<std::mutex> hold(S().lock);
        return S().calls.count(name) ? S().calls[name] : 0;
    }
    int Inside()
    {
        std::lock_guard<std::mutex> hold(S().lock);
        return S().inside;
    }
    static ResolveResult Resolve(const std::string& host, uint32_t boundMs, uint32_t* address)
    {
        (void)boundMs;
        std::unique_lock<std::mutex> hold(S().lock);
        S().calls[host]++;
        if (std::find(S().hanging.begin(), S().hanging.end(), host) != S().hanging.end()) {
            S().inside++;
            // Bounded all the same, so that a test that forgets to release ends.
            S().changed.wait_for(hold, std::chrono::seconds(20), [] { return S().released; });
            S().inside--;
            S().changed.notify_all();
            return ResolveResult::NoAnswer;
        }
        auto it = S().known.find(host);
        if (it == S().known.end()) return ResolveResult::NotFound;
        *address = it->second;
        return ResolveResult::Ok;
    }

  private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::map<std::string, uint32_t> known;
        std::vector<std::string> hanging;
        std::map<std::string, int> calls;
        bool released = false;
        int inside = 0;
    };
    static State& S()
    {
        static State state;
        return state;
    }
};

// ---------------------------------------------------------------------------
// Scripted relays (FakeRelay) on 127.0.0.1 and the procedure run against them

typedef FakeRelay::Datagram Datagram;
const char kScriptSystem[] = "Home";

inline Datagram Probe(uint32_t checksum, const QVSockAddr& mapped)
{
    Datagram d(STUN_PROBE_ACK_LENGTH);
    BuildProbeAck(d.data(), StunProbeAck{mapped, checksum});
    return d;
}
inline Datagram FindAck(const QVSockAddr& a)
{
    Datagram d(STUN_FIND_ACK_LENGTH);
    BuildFindAck(d.data(), a);
    return d;
}
inline Datagram TurnAck(uint32_t sid, uint16_t port)
{
    Datagram d(STUN_TURN_ACK_LENGTH);
    BuildTurnAck(d.data(), sid, port);
    return d;
}
const Datagram kNack = {STUN_FIND_NACK};
const Datagram kHello = {STUN_HELLO};

class RemoteScriptTest : public ::testing::Test
{
  protected:
    std::string dir;
    std::vector<std::unique_ptr<FakeRelay>> relays;
    std::vector<RelayLine> listed;
    CServerPool* pool = nullptr;
    std::unique_ptr<CServerPool> owned;
    RemoteSettings settings;
    AttemptLog log;
    CXConnection transport{"servers.txt"};

    void SetUp() override
    {
        rudptest::StartSockets();
        dir = sessiontest::MakeTempDir("remote");
        settings.discoveryHost = "127.0.0.1";
        settings.discoveryPort = FreePort(false);
    }
    void TearDown() override
    {
        transport.Close();
        relays.clear();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // n relays answering probes with the launcher's checksum and the sender's
    // address as seen (mapped ports as given, when given), lookups with `answer`.
    void StartRelays(int n, const Datagram& answer = kNack)
    {
        for (int i = 0; i < n; ++i) {
            relays.emplace_back(new FakeRelay());
            ASSERT_TRUE(relays.back()->IsUp());
            listed.push_back({"R" + std::to_string(i + 1), relays.back()->Address()});
        }
        WriteFile(dir + "/servers.txt", ServersText(listed));
        owned.reset(new CServerPool(dir + "/servers.txt"));
        pool = owned.get();
        PrepareServerPool(*pool);
        for (auto& r : relays) {
            r->SetChecksum(pool->GetChecksum());
            r->SetLookupAnswer(answer);
        }
    }
    FakeRelay& Chosen() { return *relays[(size_t)RelayIndexFor(kScriptSystem, (int)relays.size())]; }
    ConnectResult Attempt() { return ConnectRemote(transport, *pool, settings, &log, kScriptSystem); }
    // The lookups a relay received, with their senders.
    std::vector<std::pair<uint8_t, QVSockAddr>> Lookups(FakeRelay& r)
    {
        std::vector<std::pair<uint8_t, QVSockAddr>> out;
        const auto requests = r.Requests();
        const auto senders = r.Senders();
        for (size_t i = 0; i < requests.size(); ++i)
            if (requests[i][0] == STUN_FIND || requests[i][0] == STUN_FIND_RELAY)
                out.push_back({requests[i][0], senders[i]});
        return out;
    }
};

} // namespace remotetest
