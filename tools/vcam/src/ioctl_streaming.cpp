// Stream on and off: frames are rendered at stream-on, buffers come back at
// stream-off.
#include "ioctl_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>

namespace vcam {
namespace ioctls {

int stream(IoctlCall &call) {
    Session &s = call.s;
    const Node &node = call.node;
    const unsigned request = call.request;
    std::unique_lock<std::mutex> &lock = call.lock;
    const int type = *static_cast<int *>(call.arg);
    if (!isCapture(std::uint32_t(type)))
        return -EINVAL;
    if (call.notOwner())
        return -EBUSY;
    if (request == VIDIOC_STREAMOFF) {
        // Every buffer returns to the program, finished or not.
        if (s.streaming || !s.buffers.empty()) {
            for (auto &buf : s.buffers) {
                buf.state = Session::BufState::Dequeued;
                buf.flags = 0;
            }
            eventfd_t v;
            for (std::size_t i = 0; s.owner && i < s.done.size(); ++i)
                eventfd_read(s.owner->fd, &v);
            s.queued.clear();
            s.done.clear();
        }
        s.streaming = false;
        s.cv.notify_all();
        return 0;
    }
    if (s.buffers.empty())
        return -EINVAL;
    if (s.streaming)
        return 0;
    SceneParams scene = node.scene();
    scene.width = int(s.bufWidth);
    scene.height = int(s.bufHeight);
    lock.unlock(); // rendering a large frame takes a while (cached after)
    auto frames = frameSetFor(s.bufFourcc, scene);
    lock.lock();
    if (s.dead)
        return -ENODEV;
    if (s.buffers.empty())
        return -EINVAL;
    s.frames = frames;
    s.streaming = true;
    s.sequence = 0;
    return 0;
}

} // namespace ioctls
} // namespace vcam
