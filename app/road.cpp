#include "road.h"

#include "../util/qvsocket.h"
#include "versions.h"

Road ChooseRoad(const RoadInput& in)
{
    Road road;
    road.targetAddress = in.targetAddress;
    if (in.systemName.empty()) return road;

    bool direct = in.silent ? in.targetAddress != 0 : (in.hasSelection || in.demo);
    uint32_t parsedAddress = 0;
    uint16_t parsedPort = 80;
    const bool typed = ParseSystemAddress(in.systemName, &parsedAddress, &parsedPort);
    if (typed) {
        road.targetAddress = parsedAddress;
        direct = true;
    }
    if (!direct) {
        road.kind = RoadKind::Remote;
        return road;
    }

    road.address = parsedAddress;
    road.port = parsedPort;
    road.kind = RoadKind::Typed;
    if (in.silent) {
        // A silent start goes where its target says, whatever the list shows.
        road.kind = RoadKind::Silent;
        road.address = road.targetAddress;
    } else if (in.hasSelection) {
        road.kind = RoadKind::Selected;
        road.address = in.selectedAddress;
        road.port = in.selectedPort;
    }
    // Demonstration mode starts without a controller name or selection; its
    // controller is this PC.
    if (road.address == 0 && in.demo) {
        road.kind = RoadKind::Demo;
        road.address = LoopbackAddress();
    }
    road.lastAddress = in.demo ? LoopbackAddress() : (in.hasSelection ? in.selectedAddress : parsedAddress);
    return road;
}
