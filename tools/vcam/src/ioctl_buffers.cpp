// The buffer queue of the capture node: allocation, queueing, dequeueing.
#include "ioctl_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>

namespace vcam {
namespace ioctls {

int requestBuffers(IoctlCall &call) {
    OpenFile &of = call.of;
    Session &s = call.s;
    const Profile &p = call.p;
    const auto &formats = call.p.formats;
    auto *rb = static_cast<v4l2_requestbuffers *>(call.arg);
    if (!isCapture(rb->type) || rb->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    rb->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    rb->flags = 0;
    std::memset(rb->reserved, 0, sizeof rb->reserved);
    if (call.notOwner())
        return -EBUSY;
    if (s.streaming)
        return -EBUSY;
    s.releaseBuffers();
    if (rb->count == 0)
        return 0;
    const unsigned granted = p.buffers;
    const std::uint32_t fourcc = formats[s.formatIndex].fourcc;
    if (const int rc = s.addBuffers(granted, sizeImage(fourcc, s.width, s.height))) {
        s.releaseBuffers();
        return rc;
    }
    s.bufFourcc = fourcc;
    s.bufWidth = s.width;
    s.bufHeight = s.height;
    s.owner = of.signal;
    s.ownerDesc = of.desc;
    rb->count = granted;
    return 0;
}

int createBuffers(IoctlCall &call) {
    OpenFile &of = call.of;
    Session &s = call.s;
    const auto &formats = call.p.formats;
    auto *cb = static_cast<v4l2_create_buffers *>(call.arg);
    if (!isCapture(cb->format.type) || cb->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    cb->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    cb->flags = 0;
    std::memset(cb->reserved, 0, sizeof cb->reserved);
    if (call.notOwner())
        return -EBUSY;
    const std::uint32_t fourcc = formats[s.formatIndex].fourcc;
    const std::uint32_t needed = sizeImage(fourcc, s.width, s.height);
    if (cb->format.fmt.pix.sizeimage < needed)
        return -EINVAL; // too small for the current format
    cb->index = std::uint32_t(s.buffers.size());
    constexpr unsigned kMaxBuffers = 32;
    const unsigned count = std::min<unsigned>(cb->count, kMaxBuffers - unsigned(s.buffers.size()));
    cb->count = count;
    if (count == 0)
        return 0;
    const bool first = s.buffers.empty();
    if (const int rc = s.addBuffers(count, cb->format.fmt.pix.sizeimage)) {
        if (first)
            s.releaseBuffers();
        return rc;
    }
    if (first) {
        s.bufFourcc = fourcc;
        s.bufWidth = s.width;
        s.bufHeight = s.height;
        s.owner = of.signal;
        s.ownerDesc = of.desc;
    }
    return 0;
}

namespace {

// What the driver tells about buffer `index` (QUERYBUF, and the answer of
// QBUF and DQBUF).
void fillBuffer(const Session &s, unsigned index, v4l2_buffer *b) {
    const Session::Buffer &buf = s.buffers[index];
    std::memset(b, 0, sizeof *b);
    b->index = index;
    b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b->memory = V4L2_MEMORY_MMAP;
    b->m.offset = std::uint32_t(buf.offset);
    b->length = std::uint32_t(buf.length);
    b->field = V4L2_FIELD_NONE;
    b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    if (buf.mappings)
        b->flags |= V4L2_BUF_FLAG_MAPPED;
    if (buf.state == Session::BufState::Queued)
        b->flags |= V4L2_BUF_FLAG_QUEUED;
    if (buf.state == Session::BufState::Done)
        b->flags |= V4L2_BUF_FLAG_DONE;
    b->flags |= buf.flags;
    if (buf.state != Session::BufState::Queued) {
        b->bytesused = buf.bytesused;
        b->sequence = buf.sequence;
        b->timestamp = buf.timestamp;
    }
}

// Checks every buffer request makes first; 0 or -errno.  Like vb2: only
// QBUF insists on the memory type; QUERYBUF and DQBUF fill it in.
int checkBufferCall(const IoctlCall &call, const v4l2_buffer &b) {
    if (!isCapture(b.type) || (call.request == VIDIOC_QBUF && b.memory != V4L2_MEMORY_MMAP))
        return -EINVAL;
    if (call.request != VIDIOC_QUERYBUF && call.notOwner())
        return -EBUSY;
    return 0;
}

} // namespace

int queryBuffer(IoctlCall &call) {
    auto *b = static_cast<v4l2_buffer *>(call.arg);
    if (const int rc = checkBufferCall(call, *b))
        return rc;
    if (b->index >= call.s.buffers.size())
        return -EINVAL;
    fillBuffer(call.s, b->index, b);
    return 0;
}

int queueBuffer(IoctlCall &call) {
    Session &s = call.s;
    auto *b = static_cast<v4l2_buffer *>(call.arg);
    if (const int rc = checkBufferCall(call, *b))
        return rc;
    if (b->index >= s.buffers.size())
        return -EINVAL;
    Session::Buffer &buf = s.buffers[b->index];
    if (buf.state != Session::BufState::Dequeued)
        return -EINVAL;
    buf.state = Session::BufState::Queued;
    buf.flags = 0;
    buf.bytesused = 0;
    s.queued.push_back(b->index);
    fillBuffer(s, b->index, b);
    return 0;
}

int dequeueBuffer(IoctlCall &call) {
    Session &s = call.s;
    auto *b = static_cast<v4l2_buffer *>(call.arg);
    if (const int rc = checkBufferCall(call, *b))
        return rc;
    if (!s.streaming)
        return -EINVAL;
    const int fl = fcntl(call.of.fd, F_GETFL);
    const bool nonblocking = fl >= 0 && (fl & O_NONBLOCK);
    while (s.done.empty()) {
        if (nonblocking)
            return -EAGAIN;
        s.waiters++;
        s.cv.wait(call.lock); // releases the node lock while waiting
        s.waiters--;
        if (s.dead)
            return -ENODEV;
        if (!s.streaming)
            return -EINVAL; // STREAMOFF while waiting
    }
    const unsigned index = s.done.front();
    s.done.pop_front();
    eventfd_t one;
    // The counter is at least 1 here, so this read does not block.
    if (s.owner)
        eventfd_read(s.owner->fd, &one);
    Session::Buffer &buf = s.buffers[index];
    buf.state = Session::BufState::Dequeued;
    if (call.ctl && buf.frameNo)
        call.ctl->stampDequeued(buf.frameNo - 1, monotonicNs());
    fillBuffer(s, index, b);
    b->flags &= ~V4L2_BUF_FLAG_DONE;
    return 0;
}

} // namespace ioctls
} // namespace vcam
