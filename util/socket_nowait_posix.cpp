// Receiving without a readiness test on POSIX systems: the seam's ordinary receive
// already asks the system not to wait, so the two are one.
#include "qvsocket.h"

int SocketRecvFromNonBlocking(QVSOCKET s, void* buf, int len, QVSockAddr* from)
{
    if (len < 0) return -1;
    return SocketRecvFrom(s, buf, len, from);
}
