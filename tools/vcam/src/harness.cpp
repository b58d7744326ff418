// vcam-harness: runs a program under a umockdev testbed with virtual
// cameras, and plugs, unplugs and disturbs them on command.
//
// Commands come from standard input (--stdin, for a person at a terminal)
// and from a Unix stream socket (--control PATH, for tests); every command
// gets one reply line, "ok ..." or "error ...".  The harness ends with the
// program's exit status.
#include "control_files.h"
#include "jpeg_util.h"
#include "udevbed.h"
#include "vcam/profile.h"

#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The sanitizer runtime this harness was built with, if any: it has to come
// first in LD_PRELOAD, before umockdev's preload and the shim, for the
// harness itself and for a program built in the same sanitizer tree.
std::string sanitizerRuntime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *out) {
            const char *name = info->dlpi_name ? std::strrchr(info->dlpi_name, '/') : nullptr;
            if (name && (std::strncmp(name, "/libasan.so", 11) == 0 || std::strncmp(name, "/libtsan.so", 11) == 0)) {
                *static_cast<std::string *>(out) = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

std::string withRuntimeFirst(const std::string &preload) {
    const std::string runtime = sanitizerRuntime();
    return runtime.empty() ? preload : runtime + " " + preload;
}


struct Options {
    int cameras = 1;
    int vid = -1, pid = -1;
    std::string profile = "docam-5mp";
    int buffers = 0;
    std::string crop;
    std::string control;
    bool stdinCommands = false;
    bool startUnplugged = false;
    std::vector<std::string> program;
};

struct HarnessCamera {
    vcam::UdevCamera udev;
    vcam::ControlBlock *control = nullptr;
    std::string controlPath;
    vcam::Profile profile;
};

void usage() {
    std::fprintf(stderr,
                 "usage: vcam-harness [--cameras N] [--vid HEX] [--pid HEX] [--profile NAME|PATH]\n"
                 "                    [--buffers N] [--crop accept|einval|enotty] [--unplugged]\n"
                 "                    [--control SOCKET] [--stdin] -- program [args...]\n"
                 "       vcam-harness --send SOCKET 'command'\n");
}

const char *kHelp = "commands: plug N | unplug N | stall N on|off | corrupt N COUNT|all | short N COUNT|all BYTES |"
                    " error N COUNT|all | eintr N COUNT | fail N COUNT|all ERRNO | sfmt N ERRNO | scene N ANGLE CX CY SCALE |"
                    " corners N WIDTH HEIGHT | frames N | control N | status | help | quit";

std::uint32_t parseCount(const std::string &s) {
    if (s == "all")
        return vcam::kForever;
    return std::uint32_t(std::strtoul(s.c_str(), nullptr, 10));
}

class Harness {
public:
    explicit Harness(const Options &opt) : opt_(opt) {}

    int run();

private:
    bool setUp();
    std::string command(const std::string &line);
    pid_t startProgram();

    Options opt_;
    std::unique_ptr<vcam::UdevBed> bed_;
    std::vector<HarnessCamera> cams_;
    pid_t child_ = -1;
    bool quit_ = false;
};

bool Harness::setUp() {
    bed_ = std::make_unique<vcam::UdevBed>();
    const std::string dir = vcam::controlDir(bed_->rootDir());
    mkdir(dir.c_str(), 0700);
    std::string profilePath = opt_.profile;
    if (profilePath.find('/') == std::string::npos)
        profilePath = vcam::profileDir() + "/" + profilePath + ".json";
    cams_.resize(std::size_t(opt_.cameras));
    for (int i = 0; i < opt_.cameras; ++i) {
        HarnessCamera &c = cams_[std::size_t(i)];
        std::string err;
        if (!vcam::loadProfile(profilePath, c.profile, &err)) {
            std::fprintf(stderr, "vcam-harness: %s\n", err.c_str());
            return false;
        }
        if (opt_.vid >= 0)
            c.profile.vid = std::uint16_t(opt_.vid);
        if (opt_.pid >= 0)
            c.profile.pid = std::uint16_t(opt_.pid);
        c.udev.index = i;
        c.udev.captureNode = "/dev/video" + std::to_string(2 * i);
        c.udev.metaNode = "/dev/video" + std::to_string(2 * i + 1);
        c.udev.vid = c.profile.vid;
        c.udev.pid = c.profile.pid;
        c.udev.model = c.profile.model;
        c.udev.vendor = c.profile.vendor;
        c.udev.serial = c.profile.serial + std::to_string(i);
        const std::string ctl = dir + "/cam" + std::to_string(i) + ".ctl";
        c.controlPath = ctl;
        c.control = vcam::mapControlFile(ctl, true);
        if (!c.control) {
            std::fprintf(stderr, "vcam-harness: cannot create %s\n", ctl.c_str());
            return false;
        }
        for (int role = 0; role < 2; ++role) {
            const std::string node = role == 0 ? c.udev.captureNode : c.udev.metaNode;
            std::map<std::string, std::string> conf = {
                {"camera", std::to_string(i)},
                {"role", role == 0 ? "capture" : "meta"},
                {"profile", profilePath},
                {"control", ctl},
                {"bus", "usb-0000:00:14.0-" + std::to_string(i + 1)},
            };
            if (opt_.buffers)
                conf["buffers"] = std::to_string(opt_.buffers);
            if (!opt_.crop.empty())
                conf["crop"] = opt_.crop;
            if (!vcam::writeConf(dir + "/" + node.substr(5) + ".conf", conf))
                return false;
        }
        if (opt_.startUnplugged)
            c.control->present = 0;
        else
            bed_->plug(c.udev);
    }
    return true;
}

std::string Harness::command(const std::string &line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd.empty())
        return "";
    if (cmd == "help")
        return std::string("ok ") + kHelp;
    if (cmd == "quit") {
        quit_ = true;
        if (child_ > 0)
            kill(child_, SIGTERM);
        return "ok quitting";
    }
    if (cmd == "status") {
        std::ostringstream out;
        out << "ok";
        for (std::size_t i = 0; i < cams_.size(); ++i)
            out << " " << i << ":" << cams_[i].udev.captureNode << (cams_[i].udev.plugged ? ":plugged" : ":unplugged")
                << ":frames=" << cams_[i].control->frames.load();
        return out.str();
    }
    int n = -1;
    in >> n;
    if (n < 0 || std::size_t(n) >= cams_.size())
        return "error no camera " + std::to_string(n);
    HarnessCamera &c = cams_[std::size_t(n)];
    vcam::ControlBlock &ctl = *c.control;
    std::string a, b;
    if (cmd == "plug") {
        ctl.present = 1;
        bed_->plug(c.udev);
        return "ok plugged " + c.udev.captureNode;
    }
    if (cmd == "unplug") {
        // The V4L2 side dies first, then udev reports the removal.
        ctl.present = 0;
        bed_->unplug(c.udev);
        return "ok unplugged " + c.udev.captureNode;
    }
    if (cmd == "stall") {
        in >> a;
        ctl.stall = a == "on" ? 1 : 0;
        return "ok stall " + std::string(ctl.stall ? "on" : "off");
    }
    if (cmd == "corrupt" && (in >> a)) {
        ctl.corrupt = parseCount(a);
        return "ok";
    }
    if (cmd == "short" && (in >> a >> b)) {
        ctl.shortBytes = std::uint32_t(std::strtoul(b.c_str(), nullptr, 10));
        ctl.shortCount = parseCount(a);
        return "ok";
    }
    if (cmd == "error" && (in >> a)) {
        ctl.errorCount = parseCount(a);
        return "ok";
    }
    if (cmd == "eintr" && (in >> a)) {
        ctl.failErrno = EINTR;
        ctl.failCount = parseCount(a);
        return "ok";
    }
    if (cmd == "fail" && (in >> a >> b)) {
        ctl.failErrno = std::uint32_t(std::strtoul(b.c_str(), nullptr, 10));
        ctl.failCount = parseCount(a);
        return "ok";
    }
    if (cmd == "sfmt" && (in >> a)) {
        ctl.sfmtErrno = std::uint32_t(std::strtoul(a.c_str(), nullptr, 10));
        return "ok";
    }
    if (cmd == "frames")
        return "ok " + std::to_string(ctl.frames.load());
    if (cmd == "control") // the shared control block, for a reader that maps it
        return "ok " + c.controlPath;
    if (cmd == "scene") {
        double angle, cx, cy, scale;
        if (!(in >> angle >> cx >> cy >> scale))
            return "error usage: scene N ANGLE CX CY SCALE";
        ctl.angleMilliDeg = std::int32_t(angle * 1000);
        ctl.centerXMicro = std::int32_t(cx * 1e6);
        ctl.centerYMicro = std::int32_t(cy * 1e6);
        ctl.scaleMicro = std::int32_t(scale * 1e6);
        return "ok scene applies from the next stream start";
    }
    if (cmd == "corners") {
        int w = 0, h = 0;
        if (!(in >> w >> h) || w <= 0 || h <= 0)
            return "error usage: corners N WIDTH HEIGHT";
        vcam::SceneParams p;
        p.width = w;
        p.height = h;
        p.angleDeg = ctl.angleMilliDeg.load() / 1000.0;
        p.centerX = ctl.centerXMicro.load() / 1e6;
        p.centerY = ctl.centerYMicro.load() / 1e6;
        p.scale = ctl.scaleMicro.load() / 1e6;
        vcam::Point pts[4];
        vcam::sceneCorners(p, pts);
        char buf[256];
        std::snprintf(buf, sizeof buf, "ok %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f", pts[0].x, pts[0].y, pts[1].x,
                      pts[1].y, pts[2].x, pts[2].y, pts[3].x, pts[3].y);
        return buf;
    }
    return "error unknown command (try help)";
}

pid_t Harness::startProgram() {
    const char *shimEnv = std::getenv("VCAM_SHIM");
    const std::string shim = shimEnv && *shimEnv ? shimEnv : VCAM_SHIM_PATH;
    // The shim must come before umockdev's preload: umockdev forwards to
    // libc directly, so anything after it would be skipped.
    std::string preload = shim + " libumockdev-preload.so.0";
    if (const char *old = std::getenv("VCAM_HARNESS_PRELOAD"); old && *old)
        preload += std::string(" ") + old;
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setenv("LD_PRELOAD", withRuntimeFirst(preload).c_str(), 1);
    unsetenv("VCAM_HARNESS_PRELOAD");
    setenv("VCAM_PROFILE_DIR", vcam::profileDir().c_str(), 1);
    if (opt_.stdinCommands) { // the terminal's input belongs to the harness
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
    }
    std::vector<char *> argv;
    for (auto &s : opt_.program)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "vcam-harness: cannot start %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

int Harness::run() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGCHLD);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    if (!setUp())
        return 2;
    std::fprintf(stderr, "vcam-harness: %d virtual camera(s) under umockdev testbed %s\n", opt_.cameras,
                 bed_->rootDir().c_str());
    for (const auto &c : cams_)
        std::fprintf(stderr, "vcam-harness:   %s (+%s) %04x:%04x \"%s\"%s\n", c.udev.captureNode.c_str(),
                     c.udev.metaNode.c_str(), c.udev.vid, c.udev.pid, c.profile.model.c_str(),
                     c.udev.plugged ? "" : " unplugged");

    int listener = -1;
    if (!opt_.control.empty()) {
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", opt_.control.c_str());
        unlink(opt_.control.c_str());
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(listener, 8) != 0) {
            std::fprintf(stderr, "vcam-harness: cannot listen on %s: %s\n", opt_.control.c_str(), std::strerror(errno));
            return 2;
        }
    }
    child_ = startProgram();
    if (child_ < 0)
        return 2;

    struct Client {
        int fd;
        std::string buf;
    };
    std::vector<Client> clients;
    std::string stdinBuf;
    bool stdinOpen = opt_.stdinCommands;
    if (stdinOpen)
        std::fprintf(stderr, "vcam-harness: type commands (help for a list)\n");
    int status = 0;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({sfd, POLLIN, 0});
        fds.push_back({stdinOpen ? 0 : -1, POLLIN, 0});
        fds.push_back({listener, POLLIN, 0});
        for (auto &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            if (read(sfd, &si, sizeof si) == sizeof si) {
                if (si.ssi_signo == SIGCHLD) {
                    int st = 0;
                    if (waitpid(child_, &st, WNOHANG) == child_) {
                        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                        break;
                    }
                } else {
                    kill(child_, int(si.ssi_signo)); // pass Ctrl-C / TERM on
                }
            }
        }
        auto handleLines = [&](std::string &buf, int replyFd) {
            std::size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                const std::string reply = command(buf.substr(0, nl));
                buf.erase(0, nl + 1);
                if (reply.empty())
                    continue;
                const std::string out = reply + "\n";
                if (write(replyFd, out.data(), out.size()) < 0) {
                    // the client went away; it is dropped on its next read
                }
            }
        };
        char tmp[512];
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            const ssize_t r = read(0, tmp, sizeof tmp);
            if (r <= 0)
                stdinOpen = false;
            else {
                stdinBuf.append(tmp, std::size_t(r));
                handleLines(stdinBuf, 2);
            }
        }
        if (fds[2].revents & POLLIN) {
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                clients.push_back({c, {}});
        }
        for (std::size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Client &c = clients[i - 3];
            const ssize_t r = read(c.fd, tmp, sizeof tmp);
            if (r <= 0) {
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.buf.append(tmp, std::size_t(r));
            handleLines(c.buf, c.fd);
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client &c) { return c.fd < 0; }),
                      clients.end());
    }
    for (auto &c : clients)
        close(c.fd);
    if (listener >= 0) {
        close(listener);
        unlink(opt_.control.c_str());
    }
    return status;
}

// Client mode: one command to a running harness, reply on stdout.
int sendCommand(const std::string &path, const std::string &cmd) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "vcam-harness: cannot connect to %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
    }
    const std::string line = cmd + "\n";
    if (write(fd, line.data(), line.size()) != ssize_t(line.size()))
        return 2;
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        reply += c;
    close(fd);
    std::printf("%s\n", reply.c_str());
    return reply.compare(0, 2, "ok") == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    // umockdev's testbed calls check the testbed's /sys, which only its
    // preload shows: run the harness itself under it (once).
    if (!std::getenv("VCAM_HARNESS_PRELOAD")) {
        const char *old = std::getenv("LD_PRELOAD");
        setenv("VCAM_HARNESS_PRELOAD", old ? old : "", 1);
        const std::string preload =
            std::string("libumockdev-preload.so.0") + (old && *old ? " " : "") + (old ? old : "");
        setenv("LD_PRELOAD", withRuntimeFirst(preload).c_str(), 1);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "vcam-harness: cannot re-run under libumockdev-preload: %s\n", std::strerror(errno));
        return 2;
    }
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--") {
            for (++i; i < argc; ++i)
                opt.program.push_back(argv[i]);
        } else if (a == "--send") {
            const std::string path = value();
            return sendCommand(path, value());
        } else if (a == "--cameras") {
            opt.cameras = std::atoi(value().c_str());
        } else if (a == "--vid") {
            opt.vid = int(std::strtol(value().c_str(), nullptr, 16));
        } else if (a == "--pid") {
            opt.pid = int(std::strtol(value().c_str(), nullptr, 16));
        } else if (a == "--profile") {
            opt.profile = value();
        } else if (a == "--buffers") {
            opt.buffers = std::atoi(value().c_str());
        } else if (a == "--crop") {
            opt.crop = value();
        } else if (a == "--control") {
            opt.control = value();
        } else if (a == "--stdin") {
            opt.stdinCommands = true;
        } else if (a == "--unplugged") {
            opt.startUnplugged = true;
        } else {
            usage();
            return 2;
        }
    }
    if (opt.program.empty() || opt.cameras < 0 || opt.cameras > 16 || opt.vid > 0xffff || opt.pid > 0xffff) {
        usage();
        return 2;
    }
    Harness h(opt);
    return h.run();
}
