// Internal helpers shared by the translation units of libZarnImage.
#pragma once

#include "ZarnImage.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>

namespace zarnimage {

// The pixels of an image record (priv owns a cv::Mat, always continuous).
cv::Mat &pixels(HMCVIMAGE image);

// New image record owning `mat` (1 or 3 channels of 8 bits); null when the
// matrix is empty or of another type.
HMCVIMAGE wrap(cv::Mat mat, int dpiX, int dpiY);

// Length of the JPEG stream at the start of `data` (SOI up to and including
// EOI), reading at most `limit` bytes; 0 when no complete stream is there.
std::size_t jpegStreamLength(const std::uint8_t *data, std::size_t limit);

// Decodes a complete JPEG stream to RGB; empty when it is not one or when
// its size is not expectedWidth x expectedHeight (when those are positive).
cv::Mat decodeJpeg(const std::uint8_t *data, std::size_t length, int expectedWidth, int expectedHeight);

// A page found in a picture, in that picture's pixel coordinates.
struct PageQuad {
    cv::Point2f corner[4]; // top-left, top-right, bottom-right, bottom-left
    int confidence = 0;    // 0..1000
    // Side i (corner i to corner i + 1) is the picture's edge: the sheet
    // reaches past it, and the side tells nothing of the sheet's tilt.
    bool pictureEdge[4] = {false, false, false, false};
};

// Looks for a sheet of paper on a desk (pagesearch.cpp); false when none is
// found with enough evidence.
bool findPage(const cv::Mat &image, PageQuad &page);

// Tilt of the page's edges in degrees, positive when turned clockwise.
double quadTilt(const PageQuad &page);

// Grey version of an RGB or grey picture (shares the data when already grey).
cv::Mat toGrey(const cv::Mat &image);

} // namespace zarnimage
