// Every V4L2 request the virtual camera knows, and who answers it.
#include "ioctl_handlers.h"

namespace vcam {
namespace {

using namespace ioctls;

constexpr bool kSets = true; // the V4L2 core checks the priority first
constexpr bool kReads = false;

// VIDIOC_LOG_STATUS takes no argument and is answered before the table is
// asked, as are the three rows without a handler.
const IoctlEntry kIoctls[] = {
    {VIDIOC_QUERYCAP, nullptr, kReads},
    {VIDIOC_G_PRIORITY, nullptr, kReads},
    {VIDIOC_S_PRIORITY, nullptr, kReads},
    // formats, sizes, rates, input
    {VIDIOC_ENUM_FMT, enumFormat, kReads},
    {VIDIOC_ENUM_FRAMESIZES, enumFrameSizes, kReads},
    {VIDIOC_ENUM_FRAMEINTERVALS, enumFrameIntervals, kReads},
    {VIDIOC_G_FMT, format, kReads},
    {VIDIOC_S_FMT, format, kSets},
    {VIDIOC_TRY_FMT, format, kReads},
    {VIDIOC_G_PARM, streamParm, kReads},
    {VIDIOC_S_PARM, streamParm, kSets},
    {VIDIOC_ENUMINPUT, enumInput, kReads},
    {VIDIOC_G_INPUT, getInput, kReads},
    {VIDIOC_S_INPUT, setInput, kSets},
    // crop
    {VIDIOC_CROPCAP, cropCap, kReads},
    {VIDIOC_G_CROP, crop, kReads},
    {VIDIOC_S_CROP, crop, kSets},
    {VIDIOC_G_SELECTION, selection, kReads},
    {VIDIOC_S_SELECTION, selection, kSets},
    // controls and their events
    {VIDIOC_QUERYCTRL, queryCtrl, kReads},
    {VIDIOC_QUERY_EXT_CTRL, queryExtCtrl, kReads},
    {VIDIOC_QUERYMENU, queryMenu, kReads},
    {VIDIOC_G_CTRL, control, kReads},
    {VIDIOC_S_CTRL, control, kSets},
    {VIDIOC_G_EXT_CTRLS, extControls, kReads},
    {VIDIOC_S_EXT_CTRLS, extControls, kSets},
    {VIDIOC_TRY_EXT_CTRLS, extControls, kReads},
    {VIDIOC_SUBSCRIBE_EVENT, events, kReads},
    {VIDIOC_UNSUBSCRIBE_EVENT, events, kReads},
    {VIDIOC_DQEVENT, dequeueEvent, kReads},
    // buffers
    {VIDIOC_REQBUFS, requestBuffers, kSets},
    {VIDIOC_CREATE_BUFS, createBuffers, kSets},
    {VIDIOC_QUERYBUF, queryBuffer, kReads},
    {VIDIOC_QBUF, queueBuffer, kReads},
    {VIDIOC_DQBUF, dequeueBuffer, kReads},
    // streaming
    {VIDIOC_STREAMON, stream, kSets},
    {VIDIOC_STREAMOFF, stream, kSets},
};

} // namespace

const IoctlEntry *findIoctl(unsigned request) {
    for (const IoctlEntry &e : kIoctls)
        if (e.request == request)
            return &e;
    return nullptr;
}

} // namespace vcam
