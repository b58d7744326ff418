#include "isolation.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
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
#include <utility>

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

bool isUnder(const std::string &path, const char *dir)
{
    size_t n = strlen(dir);
    return path.compare(0, n, dir) == 0 && (path.size() == n || path[n] == '/');
}

std::string makeDirectories(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        if (mkdir(path.substr(0, i).c_str(), 0755) != 0 && errno != EEXIST)
            return failure(("mkdir " + path.substr(0, i)).c_str());
    }
    return std::string();
}

}  // namespace

std::string enterPrivateNamespaces()
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return failure("unshare(CLONE_NEWNS | CLONE_NEWNET) (the service tests run as root)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failure("making / private");

    // The build tree (program, plug-ins) may itself live under /tmp or /opt:
    // keep a handle on it (taken inside the new namespace, as a bind source
    // must be) to bind it back over the empty file systems.
    const std::string build = KOBIX_BUILD_DIR;
    const std::string source = KOBIX_SOURCE_DIR;
    int keep = open(build.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (keep < 0)
        return failure(("open " + build).c_str());
    // The source tree too (the virtual camera's profiles are read from it).
    int keepSource = open(source.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (keepSource < 0) {
        close(keep);
        return failure(("open " + source).c_str());
    }
    std::string err;
    if (mount("tmpfs", "/opt", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        err = failure("tmpfs over /opt");
    else if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        err = failure("tmpfs over /tmp");
    const std::pair<const std::string *, int> trees[] = {{&source, keepSource}, {&build, keep}};
    for (const auto &tree : trees) {
        const std::string &dir = *tree.first;
        if (!err.empty() || !(isUnder(dir, "/tmp") || isUnder(dir, "/opt")))
            continue;
        err = makeDirectories(dir);
        std::string from = "/proc/self/fd/" + std::to_string(tree.second);
        if (err.empty() && mount(from.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            err = failure(("binding back " + dir).c_str());
    }
    close(keep);
    close(keepSource);
    if (!err.empty())
        return err;
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
