// The choice of road, seen as a table: what the user typed or selected and how
// the launcher was started, against where the attempt goes.
#include <gtest/gtest.h>

#include "app/road.h"
#include "app/versions.h"
#include "remote/netaddr.h"
#include "util/qvsocket.h"

namespace
{

const uint32_t LISTED = MakeIPv4(192, 168, 1, 20);
const uint32_t TYPED = MakeIPv4(192, 168, 1, 10);
const uint32_t TARGET = MakeIPv4(10, 0, 0, 7);
const uint32_t HOME = MakeIPv4(127, 0, 0, 1);

struct Case {
    const char* what;
    const char* name;
    bool silent, demo, selected;
    uint32_t target;
    RoadKind kind;
    uint32_t address;
    uint16_t port;
    uint32_t lastAddress;
};

const Case CASES[] = {
    {"empty name does nothing", "", false, false, true, 0, RoadKind::None, 0, 80, 0},
    {"plain name goes remote", "MyHouse", false, false, false, 0, RoadKind::Remote, 0, 80, 0},
    {"dotted address, port 80", "192.168.1.10", false, false, false, 0, RoadKind::Typed, TYPED, 80, TYPED},
    {"dotted address with port", "192.168.1.10:4000", false, false, false, 0, RoadKind::Typed, TYPED, 4000,
     TYPED},
    {"blanks before the address", " 192.168.1.10", false, false, false, 0, RoadKind::Typed, TYPED, 80, TYPED},
    {"selection wins over a typed address", "192.168.1.10", false, false, true, 0, RoadKind::Selected, LISTED,
     1444, LISTED},
    {"selection with a name", "Office", false, false, true, 0, RoadKind::Selected, LISTED, 1444, LISTED},
    {"demo connects to this PC", "Demo", false, true, false, 0, RoadKind::Demo, HOME, 80, HOME},
    {"silent with a target ignores the selection", "Office", true, false, true, TARGET, RoadKind::Silent,
     TARGET, 80, LISTED},
    {"silent without a target goes remote", "Office", true, false, true, 0, RoadKind::Remote, 0, 80, 0},
    {"silent with a typed address", "192.168.1.10:4000", true, false, false, 0, RoadKind::Silent, TYPED, 4000,
     TYPED},
};

} // namespace

TEST(ChooseRoad, Table)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        RoadInput in;
        in.systemName = c.name;
        in.silent = c.silent;
        in.demo = c.demo;
        in.targetAddress = c.target;
        in.hasSelection = c.selected;
        in.selectedAddress = LISTED;
        in.selectedPort = 1444;
        const Road road = ChooseRoad(in);
        EXPECT_EQ(road.kind, c.kind);
        EXPECT_EQ(road.IsDirect(), c.kind != RoadKind::None && c.kind != RoadKind::Remote);
        if (road.IsDirect()) {
            EXPECT_EQ(road.address, c.address);
            EXPECT_EQ(road.port, c.port);
            EXPECT_EQ(road.lastAddress, c.lastAddress);
        }
    }
}

// A typed address and the address helpers read blanks the same way.
TEST(ChooseRoad, TypedAddressesAgreeWithTheAddressParser)
{
    for (const char* text :
         {"192.168.1.10", " 192.168.1.10", "192. 168 .1.10", "\t10.0.0.1 ", "10.1.2.3.99"}) {
        SCOPED_TRACE(text);
        uint32_t a = 0;
        uint16_t p = 0;
        ASSERT_TRUE(ParseSystemAddress(text, &a, &p));
        EXPECT_EQ(a, ParseIPv4(text));
    }
}
