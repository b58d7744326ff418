// Pre-rendered frames.  A scene is drawn once per size and scene setting and
// encoded into a few variants that differ only in their noise, so serving a
// frame is one memcpy and the MJPG byte count still varies frame to frame.
#pragma once

#include "vcam/scene.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vcam {

struct FrameSet {
    std::uint32_t fourcc = 0;
    int width = 0, height = 0;
    Point corners[4];
    std::vector<std::vector<std::uint8_t>> variants; // encoded frames, used in turn
};

constexpr int kFrameVariants = 4;

// Shared, cached across every device of the process (a few recent entries).
// Thread-safe.  Returns null for a pixel format the simulation cannot draw.
std::shared_ptr<const FrameSet> frameSetFor(std::uint32_t fourcc, const SceneParams &scene);

// RGB -> packed YUYV (BT.601, limited range as UVC cameras send it).
std::vector<std::uint8_t> rgbToYuyv(const std::uint8_t *rgb, int width, int height);

// A JPEG damaged the way a broken USB transfer leaves it: headers intact,
// the second half of the entropy data overwritten, no end marker.
std::vector<std::uint8_t> corruptJpeg(const std::vector<std::uint8_t> &jpeg);

} // namespace vcam
