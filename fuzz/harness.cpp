#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace fuzz {

namespace {

void fail(const std::string &what)
{
    fprintf(stderr, "fuzz set-up: %s\n", what.c_str());
    abort();
}

void removeScratch()
{
    auto remove = [](const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); };
    nftw(scratchDir().c_str(), remove, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string &scratchDir()
{
    static const std::string dir = [] {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/kobix-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0]))
            fail("mkdtemp " + pattern + ": " + strerror(errno));
        return pattern;
    }();
    static std::once_flag cleanup;
    std::call_once(cleanup, [] { atexit(removeScratch); });
    return dir;
}

void writeFile(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("open " + path + ": " + strerror(errno));
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            fail("write " + path + ": " + strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string text(const std::uint8_t *data, std::size_t size)
{
    const void *zero = memchr(data, 0, size);
    std::size_t len = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(zero) - data) : size;
    return std::string(reinterpret_cast<const char *>(data), len);
}

}  // namespace fuzz
