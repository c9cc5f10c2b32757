// Host names of relay servers and of the discovery server to IPv4 addresses, off
// the waiting path: a worker thread asks the system's resolver while the attempt
// goes on asking its observer, so that Cancel reaches a resolution that hangs, and
// a name server that never answers costs at most the bound per host.
//
// The worker and the waiting side share the job; whichever lets go last frees it.
// A cancelled or timed-out wait leaves the worker to end on its own, touching
// nothing but the job: the POSIX build tells the system's resolver, for the
// worker's thread alone, to give up within about the bound; on Windows the worker
// ends when the system's resolver gives up.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "../protocol/attempt.h"

// The longest one host name may take.
const uint32_t RESOLVE_HOST_MS = 3000;

enum class ResolveResult {
    Ok = 0,
    NotFound = 1, // the name has no IPv4 address, or the resolver refused it
    NoAnswer = 2, // no answer in time (the name server was silent or too slow)
    Cancelled = 3,
};

// One blocking resolution as a worker runs it: the address in network order on
// Ok. boundMs is how long the caller waits for it (the platform files tell the
// system's resolver about it where it can be told).
typedef ResolveResult (*HostResolveFn)(const std::string& host, uint32_t boundMs, uint32_t* address);
// The system's resolver, IPv4 results only (resolve_win32.cpp, resolve_posix.cpp).
ResolveResult SystemResolveIPv4(const std::string& host, uint32_t boundMs, uint32_t* address);
// The one blocking call both of them make, once they have told the resolver what
// they can.
ResolveResult AskSystemResolver(const std::string& host, uint32_t* address);

// The resolutions of one attempt. A host that gave no answer in time is not asked
// again in the same attempt: a silent name server costs the bound once per host,
// not at every step that needs the host.
class CHostResolver
{
  public:
    // observer may be null (a plain bounded wait).
    explicit CHostResolver(CAttemptObserver* observer, HostResolveFn resolve = SystemResolveIPv4,
                           uint32_t boundMs = RESOLVE_HOST_MS);
    ResolveResult Resolve(const std::string& host, uint32_t* address);

  private:
    CHostResolver(const CHostResolver&) = delete;
    CHostResolver& operator=(const CHostResolver&) = delete;

    CAttemptObserver* m_pObserver;
    HostResolveFn m_pResolve;
    uint32_t m_dwBoundMs;
    std::vector<std::string> m_Silent; // hosts that gave no answer in time
};
