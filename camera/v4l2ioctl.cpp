#include "v4l2ioctl.h"

#include <cerrno>
#include <sys/ioctl.h>

namespace zarn {

int xioctl(int fd, unsigned long request, void *arg)
{
    // A signal landing during a blocking request (DQBUF waits in the
    // driver) must not turn into a failed frame; a bounded retry keeps a
    // driver that answers EINTR forever from hanging the caller.
    int r = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        r = ioctl(fd, request, arg);
        if (r != -1 || errno != EINTR)
            break;
    }
    return r;
}

} // namespace zarn
