// Preload mode: the program runs under the harness's umockdev testbed.  A
// /dev/videoN path that the harness described in <testbed>/vcam/ becomes a
// virtual node on first use; a clock thread then serves frames at the
// stream's rate and follows plug/unplug switches of the harness.
#include "clock.h"
#include "control_files.h"
#include "engine.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vcam {
namespace {

std::mutex g_mutex;
FrameClock *g_clock = nullptr; // never destroyed: runs until the process ends

// Applies the harness's plug switch to every node it described.
void followPlugState() {
    Engine &engine = Engine::instance();
    for (const auto &node : engine.nodes()) {
        if (!node->control)
            continue;
        const bool present = node->control->present.load() != 0;
        if (!present && engine.present(node))
            engine.unplug(node);
        else if (present && !engine.present(node))
            engine.plug(node);
    }
}

std::shared_ptr<Node> resolveFromTestbed(const std::string &path) {
    const char *root = std::getenv("UMOCKDEV_DIR");
    if (!root || !*root || path.compare(0, 10, "/dev/video") != 0)
        return nullptr;
    std::map<std::string, std::string> conf;
    if (!readConf(controlDir(root) + "/" + path.substr(5) + ".conf", conf))
        return nullptr;
    auto profile = std::make_shared<Profile>();
    if (!loadProfile(conf["profile"], *profile))
        return nullptr;
    if (!conf["buffers"].empty())
        profile->buffers = unsigned(std::atoi(conf["buffers"].c_str()));
    const std::string crop = conf["crop"];
    if (crop == "accept")
        profile->crop = CropMode::Accept;
    else if (crop == "einval")
        profile->crop = CropMode::Einval;
    else if (crop == "enotty")
        profile->crop = CropMode::Enotty;
    if (!conf["model"].empty())
        profile->model = conf["model"];
    ControlBlock *control = mapControlFile(conf["control"], false);
    if (!control)
        return nullptr;
    auto node = std::make_shared<Node>();
    node->path = path;
    node->meta = conf["role"] == "meta";
    node->cameraIndex = std::atoi(conf["camera"].c_str());
    node->profile = profile;
    node->control = control;
    node->busInfo = conf["bus"];

    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_clock)
        g_clock = new FrameClock([] { return Engine::instance().nodes(); }, followPlugState);
    return node;
}

// Installed when the library loads; harmless in a process without testbed.
struct Install {
    Install() { Engine::instance().resolver = resolveFromTestbed; }
} g_install;

} // namespace
} // namespace vcam
