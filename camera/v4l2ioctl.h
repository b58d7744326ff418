// The one ioctl wrapper of the capture code.
#pragma once

namespace zarn {

// Issues ioctl(fd, request, arg) and repeats it while it fails with EINTR,
// at most 100 attempts in all.  Returns the last ioctl result; errno is the
// one that ioctl left.  Thread-safe (no state).
int xioctl(int fd, unsigned long request, void *arg);

} // namespace zarn
