// Time of saving one 2592x1944 MJPG frame with deskew and crop to .jpg
// (CImageProcessServer::SaveVideoData), beside ImageMagick's
// `convert in.jpg -deskew 40% -trim out.jpg` on the same frame, in one run.
#include "figures.h"
#include "cimageprocessserver.h"

#include "vcam/scene.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs a program with its output discarded; its exit status, or -1.
int run(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

int main()
{
    vcam::SceneParams params; // 2592 x 1944
    params.angleDeg = 7.5;
    params.deskTexture = 1;
    vcam::Scene scene = vcam::renderScene(params);
    std::vector<std::uint8_t> frame = vcam::encodeMjpeg(scene.rgb.data(), scene.width, scene.height);
    const std::size_t frameBytes = frame.size();

    char dirTemplate[] = "/tmp/zarn-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    const std::string in = dir + "/in.jpg", ours = dir + "/ours.jpg", theirs = dir + "/theirs.jpg";
    if (FILE *f = std::fopen(in.c_str(), "wb")) {
        std::fwrite(frame.data(), 1, frame.size(), f);
        std::fclose(f);
    }
    // The service hands the frame over in a buffer of width x height x 3.
    frame.resize(static_cast<std::size_t>(scene.width) * scene.height * 3);

    CImageProcessServer server;
    server.SetAutoCrop(1);
    // The service's trace lines would swamp the figures.
    std::fflush(stdout);
    int savedStdout = dup(1);
    if (FILE *null = std::freopen("/dev/null", "w", stdout))
        (void)null;
    std::vector<double> oursMs;
    int result = 0;
    for (int i = 0; i < 7; ++i) {
        auto t0 = Clock::now();
        result |= server.SaveVideoData(frame.data(), scene.width, scene.height, 0, ours.c_str());
        oursMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);

    // The real ImageMagick binary when installed under /usr/bin.
    const std::string convert = access("/usr/bin/convert", X_OK) == 0 ? "/usr/bin/convert" : "convert";
    std::vector<double> theirsMs;
    int theirResult = 0;
    for (int i = 0; i < 3; ++i) {
        auto t0 = Clock::now();
        theirResult |= run({convert, in, "-deskew", "40%", "-trim", theirs});
        theirsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }

    std::printf("frame                    %dx%d MJPG, %zu bytes, page turned %.1f deg\n", scene.width,
                scene.height, frameBytes, params.angleDeg);
    std::printf("SaveVideoData deskew+crop %8.1f ms (median of %zu)%s\n", median(oursMs), oursMs.size(),
                result ? "  [save FAILED]" : "");
    bench::Figures figures("imaging save speed");
    const bench::Baseline magick{"ImageMagick -deskew -trim", theirResult == 0 ? median(theirsMs) : NAN};
    figures.add("SaveVideoData 2592x1944 deskew and crop", median(oursMs), "ms", bench::Goal::atMost(250),
                theirResult == 0 ? magick : bench::Baseline{});
    if (theirResult == 0)
        figures.add("SaveVideoData against ImageMagick", median(oursMs), "ms", bench::Goal::ratioAtMost(0.5), magick);
    figures.add("SaveVideoData failed", result ? 1 : 0, "", bench::Goal::atMost(0));
    if (theirResult != 0) {
        std::printf("ImageMagick convert       not available (exit %d); ratio not measured\n", theirResult);
    } else {
        double ratio = median(theirsMs) / median(oursMs);
        std::printf("ImageMagick -deskew -trim %8.1f ms (median of %zu)\n", median(theirsMs), theirsMs.size());
        std::printf("speed ratio               %8.2f x  (target >= 2 x, and < 250 ms: %s)\n", ratio,
                    ratio >= 2 && median(oursMs) < 250 ? "met" : "NOT met");
    }
    for (const std::string &f : {in, ours, theirs})
        unlink(f.c_str());
    rmdir(dir.c_str());
    return figures.finish() ? 0 : 1;
}
