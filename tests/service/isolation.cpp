#include "isolation.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string failure(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

std::string bringUpLoopback()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failure("socket");
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string err;
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
        err = failure("SIOCGIFFLAGS lo");
    } else {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0)
            err = failure("SIOCSIFFLAGS lo");
    }
    close(fd);
    return err;
}

}  // namespace

std::string enterPrivateNamespaces()
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return failure("unshare(CLONE_NEWNS | CLONE_NEWNET) (the service tests run as root)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failure("making / private");
    if (mount("tmpfs", "/opt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return failure("tmpfs over /opt");
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return failure("tmpfs over /tmp");
    return bringUpLoopback();
}

namespace {

bool onlyListing(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--gtest_list_tests", 18) == 0)
            return true;
    }
    return false;
}

}  // namespace

int runIsolatedTests(int argc, char **argv)
{
    if (!onlyListing(argc, argv)) {
        std::string err = enterPrivateNamespaces();
        if (!err.empty()) {
            fprintf(stderr, "cannot isolate the service tests: %s\n", err.c_str());
            return 1;
        }
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
