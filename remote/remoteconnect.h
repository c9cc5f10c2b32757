// The remote road: reaching a controller known only by its system name (relay
// servers, hole punching, relayed TCP, the discovery server). It ends by handing
// the transport what it opened, a TCP socket (AdoptSocket) or a datagram stream
// (InstallClient); the session then logs in over it exactly as on the direct road.
#pragma once
#include <string>

#include "../protocol/attempt.h"
#include "../protocol/xconnection.h"

// Every step reports a status line to the observer and asks it at every wait.
// On failure the transport is left closed.
ConnectResult ConnectRemote(CXConnection& transport, CAttemptObserver* observer,
                            const std::string& systemName);
