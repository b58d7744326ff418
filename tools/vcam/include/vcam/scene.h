// Synthetic overhead scene of the virtual document camera: a white page with
// text-like lines on a darker textured desk.  The page corners are returned
// with every picture, so tests and benchmarks have ground truth for page
// detection, crop and deskew.
//
// Implemented in the static library `vcam_scene` (tools/vcam).  Thread-safe:
// no shared state; the same parameters always give the same pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace vcam {

struct Point {
    double x = 0, y = 0;
};

struct SceneParams {
    int width = 2592;
    int height = 1944;
    // Page rotation in degrees; positive turns the page clockwise on screen
    // (image y axis pointing down).
    double angleDeg = 3.0;
    // Page centre as a fraction of the picture's width and height.
    double centerX = 0.5, centerY = 0.5;
    // Page height as a fraction of the picture height (before rotation).
    double scale = 0.75;
    // Page width / page height (A4 portrait by default).
    double aspect = 0.70710678;
    // Mild perspective: the page's top edge is shorter than its bottom edge
    // by this fraction of the page width (0 = none).
    double keystone = 0.0;
    // Desk style (0..3: plain dark, wood grain, fabric, cluttered).
    int deskTexture = 0;
    // Standard deviation of the pixel noise, in 8-bit levels.
    double noise = 3.0;
    // Uneven light: brightness falls by up to this fraction across the picture.
    double lightFalloff = 0.15;
    std::uint32_t seed = 1;
};

struct Scene {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb; // width * height * 3 bytes, R G B
    // Page corners in pixel coordinates: top-left, top-right, bottom-right,
    // bottom-left of the page as it lies (before any rotation of the page's
    // own axes, i.e. the corner that was top-left on the unrotated page).
    Point corners[4];
};

Scene renderScene(const SceneParams &params);

// JPEG as UVC cameras send it over MJPG: baseline, 4:2:2 or 4:2:0 and no DHT
// segment (decoders must supply the standard Huffman tables).
std::vector<std::uint8_t> encodeMjpeg(const std::uint8_t *rgb, int width, int height, int quality = 85);

} // namespace vcam
