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

} // namespace imagingtest
