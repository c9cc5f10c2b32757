#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "remote/remoteconnect.h"
#include "tests/support/tcppair.h"

namespace
{
struct Lines : CAttemptObserver {
    std::vector<std::string> lines;
    void OnStatus(const char* text) override { lines.push_back(text); }
};
} // namespace

// Until the relay road exists the remote road reports its start, fails with a
// cause the user can read, and leaves the transport closed whatever it held.
TEST(RemoteConnect, ReportsTheAttemptFailsAndLeavesTheTransportClosed)
{
    SocketStartup();
    CXConnection transport("servers.txt");
    QVSOCKET peer, mine;
    ASSERT_TRUE(MakeTcpPair(&peer, &mine));
    transport.AdoptSocket(mine);
    Lines log;
    EXPECT_EQ(ConnectRemote(transport, &log, "MyHouse"), ConnectResult::NotLocated);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Starting Connection to 'MyHouse'"});
    EXPECT_FALSE(transport.IsConnected());
    EXPECT_EQ(ConnectRemote(transport, nullptr, "MyHouse"), ConnectResult::NotLocated);
    CloseSocket(peer);
}
