// The system's resolver on Windows, as the resolution worker calls it. Windows
// takes no time-out for one resolution here: the worker ends when the system's
// resolver gives up, which its caller does not wait for (resolve.cpp).
#include "resolve.h"

ResolveResult SystemResolveIPv4(const std::string& host, uint32_t boundMs, uint32_t* address)
{
    (void)boundMs;
    return AskSystemResolver(host, address);
}
