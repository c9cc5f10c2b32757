// Windows side of the enrollment library's seam.
#include <winsock2.h>

#include "relay_enrollment.h"

bool EnrollSetBlocking(QVSOCKET s)
{
    u_long nonBlocking = 0;
    return ioctlsocket((SOCKET)s, FIONBIO, &nonBlocking) == 0;
}
