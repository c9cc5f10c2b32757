// Which road a start attempt takes: decided from the fields, the list selection
// and the start options alone, before anything touches the network.
#pragma once
#include <cstdint>
#include <string>

enum class RoadKind {
    None,     // no system name: nothing to do
    Remote,   // by system name, through the relay servers
    Selected, // the selected line of the local systems list
    Typed,    // a typed address (dotted, or host:port)
    Silent,   // silent start with a target address (command line or search)
    Demo,     // demonstration: this PC
};

struct RoadInput {
    std::string systemName;
    bool silent = false;
    bool demo = false;
    uint32_t targetAddress = 0; // silent start's target, 0 = none
    bool hasSelection = false;
    uint32_t selectedAddress = 0;
    uint16_t selectedPort = 0;
};

struct Road {
    RoadKind kind = RoadKind::None;
    uint32_t address = 0; // direct roads: where to connect (socket-address order)
    uint16_t port = 80;
    // Direct roads: what LOGIN.DAT remembers as the last direct address.
    uint32_t lastAddress = 0;
    // A typed address also becomes the silent start's target.
    uint32_t targetAddress = 0;
    bool IsDirect() const { return kind != RoadKind::None && kind != RoadKind::Remote; }
};

Road ChooseRoad(const RoadInput& in);
