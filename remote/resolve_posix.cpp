// The system's resolver on POSIX systems, as the resolution worker calls it.
#include <netinet/in.h>
#include <resolv.h>

#include "resolve.h"

ResolveResult SystemResolveIPv4(const std::string& host, uint32_t boundMs, uint32_t* address)
{
    // The resolver's settings are per thread, and this thread does nothing else:
    // one second per name server and try, two tries, instead of the usual five
    // seconds and two tries. So the worker ends by itself about when its caller
    // stops waiting, and a silent name server leaves no thread behind for long.
    if (res_init() == 0) {
        const uint32_t seconds = boundMs / 2000;
        _res.retrans = seconds > 0 ? (int)seconds : 1;
        _res.retry = 2;
    }
    return AskSystemResolver(host, address);
}
