// Cropping of the capture node: the legacy crop calls and the selection API.
#include "ioctl_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vcam {
namespace ioctls {

int cropCap(IoctlCall &call) {
    Session &s = call.s;
    const Profile &p = call.p;
    auto *cc = static_cast<v4l2_cropcap *>(call.arg);
    if (p.crop == CropMode::Enotty)
        return -ENOTTY;
    // The legacy crop calls take the multi-planar type too, as the core
    // maps it onto the single-planar one.
    if (!isCapture(cc->type) && cc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
        return -EINVAL;
    const std::uint32_t type = cc->type;
    std::memset(cc, 0, sizeof *cc);
    cc->type = type;
    cc->bounds = {0, 0, s.width, s.height};
    cc->defrect = cc->bounds;
    cc->pixelaspect = {1, 1};
    return 0;
}

int crop(IoctlCall &call) {
    Session &s = call.s;
    const Profile &p = call.p;
    const unsigned request = call.request;
    auto *c = static_cast<v4l2_crop *>(call.arg);
    if (p.crop == CropMode::Enotty)
        return -ENOTTY;
    if (!isCapture(c->type) && c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
        return -EINVAL;
    // A camera that cannot crop (Einval) knows its default and bounds
    // rectangles only, as a UVC driver does.
    if (p.crop == CropMode::Einval)
        return -EINVAL;
    if (request == VIDIOC_G_CROP) {
        c->c = s.crop;
        return 0;
    }
    // The sensor cannot crop: any rectangle ends up as the full frame.
    s.crop = {0, 0, s.width, s.height};
    c->c = s.crop;
    return 0;
}

int selection(IoctlCall &call) {
    Session &s = call.s;
    const Profile &p = call.p;
    const unsigned request = call.request;
    auto *sel = static_cast<v4l2_selection *>(call.arg);
    if (p.crop == CropMode::Enotty)
        return -ENOTTY;
    std::memset(sel->reserved, 0, sizeof sel->reserved);
    if (!isCapture(sel->type))
        return -EINVAL;
    if (request == VIDIOC_S_SELECTION) {
        if (sel->target != V4L2_SEL_TGT_CROP || p.crop == CropMode::Einval)
            return -EINVAL;
        s.crop = {0, 0, s.width, s.height};
        sel->r = s.crop;
        return 0;
    }
    switch (sel->target) {
    case V4L2_SEL_TGT_CROP:
        if (p.crop == CropMode::Einval)
            return -EINVAL;
        sel->r = s.crop;
        return 0;
    case V4L2_SEL_TGT_CROP_DEFAULT:
    case V4L2_SEL_TGT_CROP_BOUNDS:
        sel->r = {0, 0, s.width, s.height};
        return 0;
    default:
        return -EINVAL;
    }
}

} // namespace ioctls
} // namespace vcam
