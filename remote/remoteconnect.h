// The remote road: reaching a controller known only by its system name. The
// relay servers of the pool are probed to learn how this PC sits behind its NAT,
// the relay responsible for the name is asked where the controller is, and the
// answer leads to a punched UDP hole carrying the reliable stream, a TCP session
// relayed by the relay, or a TCP connection to an address it names; when none of
// that works the discovery server (D.SERVER) is asked for a direct address.
//
// The road ends by handing the transport what it opened, a TCP socket
// (AdoptSocket) or a datagram stream (InstallClient); the session then logs in
// over it exactly as on the direct road. Every step reports its status lines to
// the observer and asks it at every wait: a cancel ends the attempt within
// ATTEMPT_ASK_MS or so, with ConnectResult::Cancelled and every socket of the
// attempt closed.
#pragma once
#include <cstdint>
#include <string>

#include "../protocol/attempt.h"
#include "../protocol/xconnection.h"
#include "resolve.h"
#include "serverpool.h"

// How this PC reaches the internet, as the probe found it. The numbering is
// shared with the relay side; this launcher produces only Initialize, AsymmNat,
// SymmNat and ServerError.
enum class NetworkState {
    Initialize = 0, // the probe's socket could not be made
    CantResolveUrl = 1,
    UdpRxOkNetworkUnknown = 2,
    UdpRxFailed = 3,
    AsymmNat = 4,    // two relays saw the same public port: hole punching may work
    SymmNat = 5,     // they saw different ports: a punched hole would not hold
    ServerError = 6, // fewer than two relays answered
    ServerErrorUdpRxOk = 7,
    PortForwarded = 8,
    Count
};
// The status text of a state; "-" for a value outside the numbering.
const char* NetworkStateText(NetworkState state);

// Whose timing the procedure keeps. The status lines, their order and every
// datagram are the same under both; only when a probe or lookup goes out and how
// long the procedure waits for its answer differ. The sequential timing is the one
// launchers have always had; it is kept so that the benchmark measures both on
// the same network in one run.
enum RemotePolicy {
    REMOTE_POLICY_SEQUENTIAL = 0, // relay after relay, each probed up to five times a second apart; the
                                  // lookup sent up to five times a second apart
    REMOTE_POLICY_OWN = 1,        // every relay probed at once, answers told apart by sender; waits end
                                  // as soon as the answers at hand decide
};

// The waits of the procedure, in milliseconds, and how often it sends.
const int REMOTE_PROBE_SENDS = 5;
const uint32_t REMOTE_PROBE_WAIT_MS = 1000;
const int REMOTE_LOOKUP_SENDS = 5;
const uint32_t REMOTE_LOOKUP_WAIT_MS = 1000;
const uint32_t REMOTE_NACK_PAUSE_MS = 100;
const int REMOTE_PUNCH_ATTEMPTS = 10;
const uint32_t REMOTE_PUNCH_WAIT_MS = 250;
const int REMOTE_PUNCH_MAX_DOTS = 32;
const uint32_t REMOTE_DSERVER_CONNECT_MS = 3000; // the direct connect to the discovery server's answer
const int REMOTE_DSERVER_QUIET_SLICES = 50;
// A relay whose list checksum never matches the list it hands out would make the
// probe reload for ever: after this many reloads in one attempt a differing
// checksum no longer leads to a reload, and the answer counts as it stands.
const int REMOTE_MAX_LIST_RELOADS = 2;

// Our own timing. Each relay's probe goes out at these times from the start of
// the probe, close together first so that one lost datagram costs little: a relay
// that answers only the fourth is still heard. A relay silent until
// REMOTE_PROBE_END_MS counts as silent, so with no answer at all the probe ends
// within three seconds.
const uint32_t REMOTE_PROBE_SEND_AT_MS[REMOTE_PROBE_SENDS] = {0, 250, 600, 1050, 1600};
const uint32_t REMOTE_PROBE_END_MS = 2600;
// A relay that answered none of its probes (it is down, or UDP is blocked) is
// still asked for the controller, since a relay may answer the lookup and not the
// probe, but on this shorter schedule: with UDP blocked the discovery server is
// asked within five seconds of the start. A relay that answered keeps the
// second per sending of the sequential timing.
const uint32_t REMOTE_QUICK_LOOKUP_SEND_AT_MS[REMOTE_LOOKUP_SENDS] = {0, 200, 500, 900, 1400};
const uint32_t REMOTE_QUICK_LOOKUP_END_MS = 1900;

// Where the road's fixed outside parties are, and how the procedure behaves. The
// defaults are the deployment's and our own timing.
struct RemoteSettings {
    std::string discoveryHost;
    uint16_t discoveryPort;
    // Length of one wait for the discovery server's answer (tests shorten it).
    uint32_t discoverySliceMs;
    RemotePolicy policy;
    // How host names become addresses, and the most one host may take (tests put
    // a resolver of their own here).
    HostResolveFn resolve;
    uint32_t resolveBoundMs;
    RemoteSettings();
};

// The discovery server's host as the build was configured (a deployment setting).
const char* DefaultDiscoveryHost();

// Loads the list file into the pool the way the launcher prepares it: the file,
// or the built-in entry when the file gives none; checksum; dump.
void PrepareServerPool(CServerPool& pool);

// One remote attempt with the given pool (whose list may be replaced by a relay's,
// and then saved) and settings. On failure the transport is left closed.
ConnectResult ConnectRemote(CXConnection& transport, CServerPool& pool, const RemoteSettings& settings,
                            CAttemptObserver* observer, const std::string& systemName);

// The same with a pool prepared afresh from the transport's server list file and
// the deployment's discovery server. Every fetched list is saved to that file at
// once, so each attempt starts from the latest list; a fetch that broke off or
// was cancelled (which leaves the pool with the built-in entry only) does not
// carry over into the next attempt.
ConnectResult ConnectRemote(CXConnection& transport, CAttemptObserver* observer,
                            const std::string& systemName);
