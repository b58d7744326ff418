// The capture node's V4L2 requests: one table from request to handler, and
// the handlers, grouped by concern in the ioctl_*.cpp files beside this one.
//
// Engine::ioctlInner looks every request up in the table: whether it is
// known at all (a null argument then fails with EFAULT, not ENOTTY), whether
// the V4L2 core refuses it to a descriptor below the highest priority, and
// which handler answers it on a capture node.  Adding a request means one
// table row and one handler.
//
// Threads: handlers run on the calling thread with the session mutex held
// (`lock`); a blocking VIDIOC_DQBUF and VIDIOC_STREAMON release it for a
// while and take it again before they return.
#pragma once

#include "engine.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace vcam {

// One request on a capture node, with what its handler may read and change.
struct IoctlCall {
    OpenFile &of;
    Session &s;
    const Node &node;
    const Profile &p;
    ControlBlock *ctl; // the camera's switches (may be null)
    unsigned request;
    void *arg; // never null
    std::unique_lock<std::mutex> &lock; // holds s.mutex

    // Position of a pixel format in the profile, or -1.
    int findFormat(std::uint32_t fourcc) const {
        for (std::size_t i = 0; i < p.formats.size(); ++i)
            if (p.formats[i].fourcc == fourcc)
                return int(i);
        return -1;
    }
    // Buffers exist or the node streams: the format is fixed.
    bool busy() const { return !s.buffers.empty() || s.streaming; }
    // Another open file holds the buffers.
    bool notOwner() const { return s.ownerDesc != 0 && s.ownerDesc != of.desc; }
};

// 0 or -errno.
using IoctlHandler = int (*)(IoctlCall &call);

struct IoctlEntry {
    unsigned request;
    IoctlHandler handler; // null: answered by Engine::ioctlInner itself
    bool changesState;    // refused to descriptors below the highest priority
};

// The row of a request, or null for one the camera does not know.
const IoctlEntry *findIoctl(unsigned request);

// ---- helpers shared by the engine and the handlers
inline void copyString(std::uint8_t *dst, std::size_t cap, const std::string &src) {
    std::memset(dst, 0, cap);
    std::memcpy(dst, src.data(), std::min(cap - 1, src.size()));
}
inline bool isMjpeg(std::uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG; }
inline bool isCapture(std::uint32_t type) { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE; }
inline std::uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}
// Frame size closest to the request among what a format offers.
FrameSize nearestSize(const PixelFormat &f, std::uint32_t w, std::uint32_t h);
// Bytes of one buffer for a format and size.
std::uint32_t sizeImage(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h);

namespace ioctls {
// ioctl_formats.cpp
int enumFormat(IoctlCall &call);         // VIDIOC_ENUM_FMT
int enumFrameSizes(IoctlCall &call);     // VIDIOC_ENUM_FRAMESIZES
int enumFrameIntervals(IoctlCall &call); // VIDIOC_ENUM_FRAMEINTERVALS
int format(IoctlCall &call);             // VIDIOC_G_FMT, VIDIOC_S_FMT, VIDIOC_TRY_FMT
int streamParm(IoctlCall &call);         // VIDIOC_G_PARM, VIDIOC_S_PARM
int enumInput(IoctlCall &call);          // VIDIOC_ENUMINPUT
int getInput(IoctlCall &call);           // VIDIOC_G_INPUT
int setInput(IoctlCall &call);           // VIDIOC_S_INPUT
// ioctl_crop.cpp
int cropCap(IoctlCall &call);   // VIDIOC_CROPCAP
int crop(IoctlCall &call);      // VIDIOC_G_CROP, VIDIOC_S_CROP
int selection(IoctlCall &call); // VIDIOC_G_SELECTION, VIDIOC_S_SELECTION
// ioctl_controls.cpp
int queryCtrl(IoctlCall &call);    // VIDIOC_QUERYCTRL
int queryExtCtrl(IoctlCall &call); // VIDIOC_QUERY_EXT_CTRL
int queryMenu(IoctlCall &call);    // VIDIOC_QUERYMENU
int control(IoctlCall &call);      // VIDIOC_G_CTRL, VIDIOC_S_CTRL
int extControls(IoctlCall &call);  // VIDIOC_G/S/TRY_EXT_CTRLS
int events(IoctlCall &call);       // VIDIOC_SUBSCRIBE_EVENT, VIDIOC_UNSUBSCRIBE_EVENT
int dequeueEvent(IoctlCall &call); // VIDIOC_DQEVENT
// ioctl_buffers.cpp
int requestBuffers(IoctlCall &call); // VIDIOC_REQBUFS
int createBuffers(IoctlCall &call);  // VIDIOC_CREATE_BUFS
int queryBuffer(IoctlCall &call);    // VIDIOC_QUERYBUF
int queueBuffer(IoctlCall &call);    // VIDIOC_QBUF
int dequeueBuffer(IoctlCall &call);  // VIDIOC_DQBUF
// ioctl_streaming.cpp
int stream(IoctlCall &call); // VIDIOC_STREAMON, VIDIOC_STREAMOFF
} // namespace ioctls

} // namespace vcam
