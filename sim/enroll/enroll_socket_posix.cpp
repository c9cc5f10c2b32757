// POSIX side of the enrollment library's seam.
#include <fcntl.h>

#include "relay_enrollment.h"

bool EnrollSetBlocking(QVSOCKET s)
{
    int fd = (int)(intptr_t)s;
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}
