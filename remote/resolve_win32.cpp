// The system's resolver on Windows, as the resolution worker calls it. Windows
// takes no time-out for one resolution here: the worker ends when the system's
// resolver gives up, which its caller does not wait for (resolve.cpp).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "resolve.h"

ResolveResult SystemResolveIPv4(const std::string& host, uint32_t boundMs, uint32_t* address)
{
    (void)boundMs;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM; // one result per address, not one per socket type
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        if (found) freeaddrinfo(found);
        return rc == WSATRY_AGAIN ? ResolveResult::NoAnswer : ResolveResult::NotFound;
    }
    ResolveResult result = ResolveResult::NotFound;
    if (found->ai_family == AF_INET && found->ai_addr && found->ai_addrlen >= sizeof(sockaddr_in)) {
        *address = ((const sockaddr_in*)found->ai_addr)->sin_addr.s_addr;
        result = ResolveResult::Ok;
    }
    freeaddrinfo(found);
    return result;
}
