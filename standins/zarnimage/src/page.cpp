// Deskew and the C entry points of the page search (the search itself is
// in pagesearch.cpp).
#include "internal.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace zarnimage {

namespace {

constexpr int kWorkSize = 1000; // longest side of the picture for the text tilt

} // namespace

double quadTilt(const PageQuad &page)
{
    const cv::Point2f *c = page.corner;
    // Mean direction of the four sides, each measured as a deviation from
    // its upright direction; averaging unit vectors keeps it stable.  A side
    // that is the picture's edge is left out.
    cv::Point2f sum(0, 0);
    auto add = [&](cv::Point2f v, double uprightDeg) {
        double a = std::atan2(v.y, v.x) - uprightDeg * CV_PI / 180.0;
        sum += cv::Point2f(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))) *
               static_cast<float>(std::hypot(v.x, v.y));
    };
    const bool *edge = page.pictureEdge;
    if (!edge[0])
        add(c[1] - c[0], 0); // top, left to right
    if (!edge[2])
        add(c[2] - c[3], 0); // bottom, left to right
    if (!edge[3])
        add(c[3] - c[0], 90); // left, top to bottom
    if (!edge[1])
        add(c[2] - c[1], 90); // right, top to bottom
    return std::atan2(sum.y, sum.x) * 180.0 / CV_PI;
}

namespace {

// Tilt of text lines (or any long straight edges) when there is no sheet
// outline: the strongest near-horizontal lines of the Hough transform.
bool textTilt(const cv::Mat &image, double &angleDeg)
{
    cv::Mat grey = toGrey(image);
    double s = std::min(1.0, static_cast<double>(kWorkSize) / std::max(grey.cols, grey.rows));
    cv::Mat small;
    cv::resize(grey, small, cv::Size(), s, s, cv::INTER_AREA);
    cv::Mat edges;
    cv::Canny(small, edges, 50, 150);
    std::vector<cv::Vec3f> lines;
    int votes = std::max(40, small.cols / 5);
    cv::HoughLines(edges, lines, 1, CV_PI / 720, votes, 0, 0, CV_PI / 4, 3 * CV_PI / 4);
    if (lines.empty())
        return false;
    std::vector<double> angles;
    for (std::size_t i = 0; i < lines.size() && i < 15; ++i)
        angles.push_back(lines[i][1] * 180.0 / CV_PI - 90.0);
    std::nth_element(angles.begin(), angles.begin() + angles.size() / 2, angles.end());
    angleDeg = angles[angles.size() / 2];
    return true;
}

} // namespace

} // namespace zarnimage

using namespace zarnimage;

extern "C" {

MCV_API int mcvDetectSkewAngle(HMCVIMAGE image, float *angleDeg)
{
    if (!image || !mcvGetImageData(image) || !angleDeg)
        return -1;
    try {
        PageQuad page;
        double angle = 0;
        if (findPage(pixels(image), page))
            angle = quadTilt(page);
        else if (!textTilt(pixels(image), angle))
            return -1;
        *angleDeg = static_cast<float>(angle);
        return 0;
    } catch (...) {
        return -1;
    }
}

MCV_API HMCVIMAGE mcvAdjustSkew(HMCVIMAGE image)
{
    if (!image || !mcvGetImageData(image))
        return nullptr;
    try {
        const cv::Mat &src = pixels(image);
        PageQuad page;
        double angle = 0;
        cv::Point2f centre(src.cols / 2.0f, src.rows / 2.0f);
        if (findPage(src, page)) {
            angle = quadTilt(page);
            centre = (page.corner[0] + page.corner[1] + page.corner[2] + page.corner[3]) * 0.25f;
        } else if (!textTilt(src, angle)) {
            angle = 0;
        }
        if (std::abs(angle) < 0.05)
            return wrap(src.clone(), image->dpiX, image->dpiY);
        // Turning about the sheet's own centre keeps the whole sheet inside
        // the picture: upright, it needs less room than it did tilted.
        cv::Mat m = cv::getRotationMatrix2D(centre, angle, 1.0);
        cv::Mat out;
        cv::warpAffine(src, out, m, src.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        return wrap(out, image->dpiX, image->dpiY);
    } catch (...) {
        return nullptr;
    }
}

MCV_API int mcvDetectRect1(McvRectResult *result, HMCVIMAGE image, int mode, int flags)
{
    if (result)
        result->count = 0;
    if (!result || !image || !mcvGetImageData(image) || mode != 0 || flags != 0)
        return -1;
    try {
        PageQuad page;
        if (!findPage(pixels(image), page))
            return 0;
        McvRect &r = result->rect[0];
        for (int i = 0; i < 4; ++i) {
            r.corner[i].x = static_cast<int32_t>(std::lround(page.corner[i].x));
            r.corner[i].y = static_cast<int32_t>(std::lround(page.corner[i].y));
        }
        r.confidence = page.confidence;
        result->count = 1;
        return 1;
    } catch (...) {
        result->count = 0;
        return -1;
    }
}

} // extern "C"
