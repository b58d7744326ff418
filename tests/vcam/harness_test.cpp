// vcam-harness with an unmodified program (vcam_probe): frames through the
// LD_PRELOAD shim, and plug/unplug driven over the control socket reaching
// both the V4L2 side (ENODEV) and the program's libudev monitor.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A harness run with the program's standard output on a pipe.
class HarnessRun {
public:
    explicit HarnessRun(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv;
            static std::string harness = VCAM_HARNESS;
            argv.push_back(&harness[0]);
            for (auto &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
    }
    ~HarnessRun() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            wait();
        }
        if (fd_ >= 0)
            close(fd_);
    }
    // Next line of output, or "<eof>" / "<timeout>".
    std::string line(int timeoutMs = 30000) {
        for (;;) {
            const auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return l;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1)
                return "<timeout>";
            char tmp[256];
            const ssize_t r = read(fd_, tmp, sizeof tmp);
            if (r <= 0)
                return "<eof>";
            buf_.append(tmp, std::size_t(r));
        }
    }
    int wait() {
        int st = 0;
        waitpid(pid_, &st, 0);
        exited_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool exited_ = false;
    std::string buf_;
};

// One command over the control socket (the harness listens before it
// starts the program, so once the program talks the socket is there).
std::string command(const std::string &path, const std::string &cmd) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    std::string reply = "<no harness>";
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const std::string line = cmd + "\n";
        reply.clear();
        if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
            char c;
            while (read(fd, &c, 1) == 1 && c != '\n')
                reply += c;
        }
    }
    close(fd);
    return reply;
}

TEST(VcamHarness, UnmodifiedProgramStreamsDecodableFrames) {
    HarnessRun run({"--", VCAM_PROBE, "stream", "/dev/video0", "5"});
    EXPECT_EQ(run.line(), "ok 5 frames 1280x720");
    EXPECT_EQ(run.wait(), 0);
}

TEST(VcamHarness, ProgramFailureBecomesExitStatus) {
    // A missing node: the program's failure is the harness's exit status.
    HarnessRun run({"--vid", "1a2b", "--pid", "0042", "--", VCAM_PROBE, "stream", "/dev/video4", "1"});
    EXPECT_EQ(run.line().compare(0, 11, "error start"), 0);
    EXPECT_EQ(run.wait(), 1);
}

TEST(VcamHarness, UnplugAndPlugOverControlSocket) {
    const std::string sock = "/tmp/vcam-harness-test-" + std::to_string(getpid()) + ".sock";
    HarnessRun run({"--control", sock, "--", VCAM_PROBE, "hotplug", "/dev/video0"});
    ASSERT_EQ(run.line(), "streaming");
    EXPECT_EQ(command(sock, "frames 0").compare(0, 3, "ok "), 0);
    // Asked while the program still streams: it ends on its own after the
    // replug, and the harness with it.
    EXPECT_EQ(command(sock, "corners 0 1280 720").compare(0, 3, "ok "), 0);
    EXPECT_EQ(command(sock, "unplug 7"), "error no camera 7");
    EXPECT_EQ(command(sock, "unplug 0"), "ok unplugged /dev/video0");
    EXPECT_EQ(run.line(), "frame error ENODEV");
    EXPECT_EQ(run.line(), "udev remove");
    EXPECT_EQ(command(sock, "plug 0"), "ok plugged /dev/video0");
    EXPECT_EQ(run.line(), "udev add");
    EXPECT_EQ(run.line(), "frame after replug 1280x720");
    EXPECT_EQ(run.wait(), 0);
}

TEST(VcamHarness, AccessAndOpenAgreeDuringAnUnplug) {
    const std::string sock = "/tmp/vcam-harness-test-" + std::to_string(getpid()) + ".sock";
    HarnessRun run({"--control", sock, "--", VCAM_PROBE, "unplugcheck", "/dev/video0"});
    ASSERT_EQ(run.line(), "ready");
    EXPECT_EQ(command(sock, "unplug 0"), "ok unplugged /dev/video0");
    EXPECT_EQ(run.line(), "access agrees");
    EXPECT_EQ(run.wait(), 0);
}

} // namespace

namespace {

// Reads the program's per-frame lines until `want` shows up (bounded).
bool seeLine(HarnessRun &run, const std::string &want, int maxLines = 200) {
    for (int i = 0; i < maxLines; ++i) {
        const std::string l = run.line();
        if (l == want)
            return true;
        if (l == "<eof>" || l == "<timeout>" || l.compare(0, 6, "error ") == 0)
            return false;
    }
    return false;
}

TEST(VcamHarness, FaultCommandsReachTheProgram) {
    const std::string sock = "/tmp/vcam-harness-faults-" + std::to_string(getpid()) + ".sock";
    HarnessRun run({"--control", sock, "--", VCAM_PROBE, "report", "/dev/video0"});
    ASSERT_EQ(run.line(), "streaming");
    EXPECT_EQ(command(sock, "error 0 1"), "ok");
    EXPECT_TRUE(seeLine(run, "error-flag"));
    EXPECT_EQ(command(sock, "short 0 1 100"), "ok");
    EXPECT_TRUE(seeLine(run, "short 100"));
    EXPECT_EQ(command(sock, "corrupt 0 1"), "ok");
    EXPECT_TRUE(seeLine(run, "bad-jpeg"));
    EXPECT_EQ(command(sock, "eintr 0 1"), "ok");
    EXPECT_TRUE(seeLine(run, "eintr"));
    EXPECT_EQ(command(sock, "stall 0 on"), "ok stall on");
    EXPECT_TRUE(seeLine(run, "timeout"));
    EXPECT_EQ(command(sock, "stall 0 off"), "ok stall off");
    EXPECT_TRUE(seeLine(run, "ok"));
    EXPECT_EQ(command(sock, "quit"), "ok quitting");
    EXPECT_EQ(run.wait(), 128 + SIGTERM);
}

} // namespace
