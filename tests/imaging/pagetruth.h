// Accuracy of page detection and deskew against the virtual camera's scenes,
// whose page corners are known.  Shared by the tests (a small sample) and
// the benchmark (the full sweep).
#pragma once

#include "vcam/scene.h"

#include "ZarnImage.h"

#include <string>
#include <vector>

namespace imagingtest {

// Scenes over angles -20..20 degrees, page positions, scales, the four desk
// textures and both camera sizes (2592x1944, 1920x1080).  `stride` > 1
// keeps every stride-th scene of the full sweep, spread over all factors.
std::vector<vcam::SceneParams> sceneSweep(int stride);

// Intersection over union of the detected quadrilateral and the truth.
double quadIoU(const McvRect &found, const vcam::Point truth[4]);

struct Accuracy {
    int pictures = 0;
    int found = 0;
    double meanIoU = 0, minIoU = 1;
    double meanSkewError = 0, maxSkewError = 0; // degrees
    std::vector<std::string> misses;            // scenes where no page was found
};

// Each scene goes the camera's way: rendered, encoded as an MJPG frame and
// decoded by mcvLoadFromVideoData, then searched (mcvDetectRect1) and
// measured (mcvDetectSkewAngle).
Accuracy measure(const std::vector<vcam::SceneParams> &scenes);

std::string describe(const vcam::SceneParams &p);

// Harder scenes (photographic desks, clutter, cables, shadows, perspective,
// pages of 5-55 % of the picture, some reaching the picture's edge), the
// i-th always the same: scenes first .. first + count - 1 of a fixed
// sequence.  Sizes 1920x1080, 2592x1944 and 1512x2016 in turn.
std::vector<vcam::SceneParams> hardScenes(int count, int first = 0);

// The same kinds of desk and clutter without any page.
std::vector<vcam::SceneParams> emptyDesks(int count, int first = 0);

// A page search under test: fills `found` and returns true when it
// reports a page.
using Detector = bool (*)(HMCVIMAGE image, McvRect &found);

// mcvDetectRect1 as a Detector.
bool libraryDetector(HMCVIMAGE image, McvRect &found);

struct Detection {
    int pictures = 0;
    int found = 0;           // pictures where a page was reported
    double meanIoU = 0;      // over the pictures with a page reported
    double minIoU = 1;       // 0 when a page was missed
    std::vector<std::string> misses; // no page, or a poor one (IoU < 0.8)
};

// Renders each scene, sends it the camera's way (MJPG frame) and runs the
// detector.  For scenes without a page, `found` counts false reports.
Detection measureDetection(const std::vector<vcam::SceneParams> &scenes, Detector detect);

} // namespace imagingtest
