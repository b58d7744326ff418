// Formats, frame sizes and rates, and the one input of the capture node.
#include "ioctl_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace vcam {

// Frame size closest to the request among what a format offers.
FrameSize nearestSize(const PixelFormat &f, std::uint32_t w, std::uint32_t h) {
    if (f.stepwise) {
        const StepwiseRange &r = f.range;
        auto fit = [](std::uint32_t v, std::uint32_t lo, std::uint32_t hi, std::uint32_t step) {
            v = std::min(std::max(v, lo), hi);
            return lo + (v - lo + step / 2) / step * step > hi ? lo + (v - lo) / step * step
                                                               : lo + (v - lo + step / 2) / step * step;
        };
        return {fit(w, r.minWidth, r.maxWidth, r.stepWidth), fit(h, r.minHeight, r.maxHeight, r.stepHeight)};
    }
    FrameSize best = f.sizes.front();
    std::uint64_t bestDist = UINT64_MAX;
    for (const FrameSize &s : f.sizes) {
        const std::uint64_t d = std::uint64_t(std::llabs(std::int64_t(s.width) - w)) +
                                std::uint64_t(std::llabs(std::int64_t(s.height) - h));
        if (d < bestDist) {
            bestDist = d;
            best = s;
        }
    }
    return best;
}

std::uint32_t sizeImage(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
    // UVC cameras report width * height * 2 for both formats here: the
    // largest MJPG frame they promise fits a YUYV frame.
    (void)fourcc;
    return w * h * 2;
}

namespace {

bool hasSize(const PixelFormat &f, std::uint32_t w, std::uint32_t h) {
    const FrameSize n = nearestSize(f, w, h);
    return n.width == w && n.height == h;
}

void fillPixFormat(v4l2_pix_format &pix, std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
    std::memset(&pix, 0, sizeof pix);
    pix.width = w;
    pix.height = h;
    pix.pixelformat = fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = isMjpeg(fourcc) ? 0 : w * 2;
    pix.sizeimage = sizeImage(fourcc, w, h);
    pix.colorspace = isMjpeg(fourcc) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}

} // namespace

namespace ioctls {

int enumFormat(IoctlCall &call) {
    const auto &formats = call.p.formats;
    auto *f = static_cast<v4l2_fmtdesc *>(call.arg);
    if (!isCapture(f->type) || f->index >= formats.size())
        return -EINVAL;
    const std::uint32_t index = f->index, type = f->type;
    std::memset(f, 0, sizeof *f);
    f->index = index;
    f->type = type;
    f->pixelformat = formats[index].fourcc;
    f->flags = isMjpeg(f->pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
    copyString(f->description, sizeof f->description, formats[index].description);
    return 0;
}

int enumFrameSizes(IoctlCall &call) {
    const auto &formats = call.p.formats;
    auto *fs = static_cast<v4l2_frmsizeenum *>(call.arg);
    const int fi = call.findFormat(fs->pixel_format);
    if (fi < 0)
        return -EINVAL;
    const PixelFormat &f = formats[std::size_t(fi)];
    const std::uint32_t index = fs->index, pixfmt = fs->pixel_format;
    std::memset(fs, 0, sizeof *fs);
    fs->index = index;
    fs->pixel_format = pixfmt;
    if (f.stepwise) {
        if (index != 0)
            return -EINVAL;
        fs->type = V4L2_FRMSIZE_TYPE_STEPWISE;
        fs->stepwise = {f.range.minWidth, f.range.maxWidth, f.range.stepWidth,
                        f.range.minHeight, f.range.maxHeight, f.range.stepHeight};
        return 0;
    }
    if (index >= f.sizes.size())
        return -EINVAL;
    fs->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    fs->discrete.width = f.sizes[index].width;
    fs->discrete.height = f.sizes[index].height;
    return 0;
}

int enumFrameIntervals(IoctlCall &call) {
    const Profile &p = call.p;
    const auto &formats = call.p.formats;
    auto *fi = static_cast<v4l2_frmivalenum *>(call.arg);
    const int idx = call.findFormat(fi->pixel_format);
    if (idx < 0 || !hasSize(formats[std::size_t(idx)], fi->width, fi->height) || fi->index >= p.fps.size())
        return -EINVAL;
    const std::uint32_t index = fi->index, pixfmt = fi->pixel_format, w = fi->width, h = fi->height;
    std::memset(fi, 0, sizeof *fi);
    fi->index = index;
    fi->pixel_format = pixfmt;
    fi->width = w;
    fi->height = h;
    fi->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    fi->discrete = {1, p.fps[index]};
    return 0;
}

int format(IoctlCall &call) {
    Session &s = call.s;
    ControlBlock *ctl = call.ctl;
    const auto &formats = call.p.formats;
    const unsigned request = call.request;
    auto *f = static_cast<v4l2_format *>(call.arg);
    if (!isCapture(f->type))
        return -EINVAL;
    if (request == VIDIOC_G_FMT) {
        std::memset(&f->fmt, 0, sizeof f->fmt);
        fillPixFormat(f->fmt.pix, formats[s.formatIndex].fourcc, s.width, s.height);
        return 0;
    }
    if (request == VIDIOC_S_FMT && ctl && ctl->sfmtErrno.load())
        return -int(ctl->sfmtErrno.load());
    int fi = call.findFormat(f->fmt.pix.pixelformat);
    if (fi < 0)
        fi = 0; // unknown formats are replaced, never refused
    const FrameSize size = nearestSize(formats[std::size_t(fi)], f->fmt.pix.width, f->fmt.pix.height);
    std::memset(&f->fmt, 0, sizeof f->fmt);
    fillPixFormat(f->fmt.pix, formats[std::size_t(fi)].fourcc, size.width, size.height);
    if (request == VIDIOC_S_FMT) {
        if (call.busy() || call.notOwner())
            return -EBUSY;
        s.formatIndex = std::size_t(fi);
        s.width = size.width;
        s.height = size.height;
        s.crop = {0, 0, size.width, size.height};
    }
    return 0;
}

int streamParm(IoctlCall &call) {
    Session &s = call.s;
    const Profile &p = call.p;
    const unsigned request = call.request;
    auto *parm = static_cast<v4l2_streamparm *>(call.arg);
    if (!isCapture(parm->type))
        return -EINVAL;
    if (request == VIDIOC_S_PARM) {
        if (call.notOwner())
            return -EBUSY;
        const v4l2_fract want = parm->parm.capture.timeperframe;
        // Nearest offered rate to the requested interval; 0/0 means default.
        std::uint32_t best = p.fps.front();
        if (want.numerator && want.denominator) {
            const double wantFps = double(want.denominator) / want.numerator;
            double bestDiff = 1e18;
            for (std::uint32_t f : p.fps)
                if (std::abs(f - wantFps) < bestDiff) {
                    bestDiff = std::abs(f - wantFps);
                    best = f;
                }
        }
        s.fps = best;
    }
    const std::uint32_t type = parm->type;
    std::memset(parm, 0, sizeof *parm);
    parm->type = type;
    parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parm->parm.capture.timeperframe = {1, s.fps};
    return 0;
}

int enumInput(IoctlCall &call) {
    auto *in = static_cast<v4l2_input *>(call.arg);
    if (in->index != 0)
        return -EINVAL;
    std::memset(in, 0, sizeof *in);
    copyString(in->name, sizeof in->name, "Camera 1");
    in->type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

int getInput(IoctlCall &call) {
    *static_cast<int *>(call.arg) = 0;
    return 0;
}

int setInput(IoctlCall &call) {
    return *static_cast<int *>(call.arg) == 0 ? 0 : -EINVAL;
}

} // namespace ioctls
} // namespace vcam
