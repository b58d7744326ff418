// Synthetic overhead scene of the virtual document camera: a white page with
// text-like lines on a darker textured desk, or (options at the end of
// SceneParams) harder desks with clutter, cables, shadows and perspective.  The page corners are returned
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
    // Desk style (0..3: plain dark, wood grain, fabric, cluttered; 4..8 below).
    int deskTexture = 0;
    // Standard deviation of the pixel noise, in 8-bit levels.
    double noise = 3.0;
    // Uneven light: brightness falls by up to this fraction across the picture.
    double lightFalloff = 0.15;
    std::uint32_t seed = 1;

    // Harder scenes.  Everything below is off by default: with these values
    // the picture is the one described above, pixel for pixel.

    // deskTexture 4..8 are photographic-looking desks: 4 light wood planks,
    // 5 coloured laminate (hue deskHue), 6 near-white desk (white paper on
    // white), 7 grey speckled stone, 8 dark walnut planks.
    double deskHue = 280; // degrees on the colour wheel (280: purple)
    // Camera tilt in degrees about the picture's horizontal (tiltX) and
    // vertical (tiltY) axes through the page's centre, as in a photograph
    // taken at an angle: positive tiltX makes the page's top edge recede
    // (shorter), positive tiltY its left edge.  Applied after rotation and
    // keystone; the corners stay exact.
    double tiltXDeg = 0, tiltYDeg = 0;
    // Objects on the desk round the page (pens, sticky notes, a phone, a
    // book, a keyboard, a mug), and on the page itself (a mug over a corner
    // first, then pens across the sheet).
    int clutter = 0, onPage = 0;
    // Cables running across the picture and over the page.
    int cables = 0;
    // 0..1: strength of a soft shadow cast over part of the picture and of
    // the sheet's contact shadow on the desk round it (with objects, cables
    // or desks 4..8 a sheet always casts a faint one).
    double shadow = 0;
    // Print on the page: 0 text, 1 text and a ruled table, 2 a form (dark
    // band, photo, boxes), 3 music staves, 4 ruled notebook paper.
    int content = 0;
    // Paper brightness (1 = the default white) and colour of the light
    // (-1 cool/blue .. 0 neutral .. 1 warm/tungsten).
    double paperTone = 1.0, colourCast = 0;
    // Defocus: Gaussian blur of the whole picture, deviation in pixels.
    double blur = 0;
    // false: the desk alone, no page (corners still say where it would lie).
    bool page = true;
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

// The page corners renderScene() would return, without drawing.
void sceneCorners(const SceneParams &params, Point out[4]);

// JPEG as UVC cameras send it over MJPG: baseline, 4:2:2 or 4:2:0 and no DHT
// segment (decoders must supply the standard Huffman tables).
std::vector<std::uint8_t> encodeMjpeg(const std::uint8_t *rgb, int width, int height, int quality = 85);

} // namespace vcam
