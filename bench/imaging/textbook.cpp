#include "textbook.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

bool textbookDetector(HMCVIMAGE image, McvRect &found)
{
    if (!image || !mcvGetImageData(image))
        return false;
    cv::Mat pixels(image->height, image->width, image->channels == 3 ? CV_8UC3 : CV_8UC1, mcvGetImageData(image));
    // Resize to 500 rows, grey, 5x5 Gaussian, Canny 75/200.
    const double ratio = image->height / 500.0;
    cv::Mat small, grey, edges;
    cv::resize(pixels, small, cv::Size(std::max(1, static_cast<int>(image->width / ratio)), 500));
    if (small.channels() == 3)
        cv::cvtColor(small, grey, cv::COLOR_RGB2GRAY);
    else
        grey = small;
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), 0);
    cv::Canny(grey, edges, 75, 200);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(edges, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    std::sort(contours.begin(), contours.end(), [](const auto &a, const auto &b) {
        return cv::contourArea(a) > cv::contourArea(b);
    });
    if (contours.size() > 5)
        contours.resize(5);
    for (const auto &c : contours) {
        std::vector<cv::Point> approx;
        cv::approxPolyDP(c, approx, 0.02 * cv::arcLength(c, true), true);
        if (approx.size() != 4)
            continue;
        // Corners: top-left has the smallest x + y, bottom-right the largest,
        // top-right the smallest y - x, bottom-left the largest.
        auto by = [&](auto key) {
            return *std::min_element(approx.begin(), approx.end(),
                                     [&](const cv::Point &a, const cv::Point &b) { return key(a) < key(b); });
        };
        cv::Point tl = by([](const cv::Point &p) { return p.x + p.y; });
        cv::Point br = by([](const cv::Point &p) { return -(p.x + p.y); });
        cv::Point tr = by([](const cv::Point &p) { return p.y - p.x; });
        cv::Point bl = by([](const cv::Point &p) { return p.x - p.y; });
        const cv::Point corners[4] = {tl, tr, br, bl};
        for (int i = 0; i < 4; ++i) {
            found.corner[i].x = static_cast<int32_t>(corners[i].x * ratio);
            found.corner[i].y = static_cast<int32_t>(corners[i].y * ratio);
        }
        found.confidence = 1000;
        return true;
    }
    return false;
}
