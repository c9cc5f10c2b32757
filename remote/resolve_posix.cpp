// The system's resolver on POSIX systems, as the resolution worker calls it.
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <cstring>

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
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM; // one result per address, not one per socket type
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        if (found) freeaddrinfo(found);
        return rc == EAI_AGAIN ? ResolveResult::NoAnswer : ResolveResult::NotFound;
    }
    ResolveResult result = ResolveResult::NotFound;
    if (found->ai_family == AF_INET && found->ai_addr && found->ai_addrlen >= sizeof(sockaddr_in)) {
        *address = ((const sockaddr_in*)found->ai_addr)->sin_addr.s_addr;
        result = ResolveResult::Ok;
    }
    freeaddrinfo(found);
    return result;
}
