#include "pagetruth.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace imagingtest {

std::vector<vcam::SceneParams> sceneSweep(int stride)
{
    std::vector<vcam::SceneParams> all;
    const int sizes[2][2] = {{2592, 1944}, {1920, 1080}};
    const double positions[3][2] = {{0.5, 0.5}, {0.42, 0.47}, {0.57, 0.54}};
    const double scales[2] = {0.62, 0.78};
    std::uint32_t seed = 1;
    for (const auto &size : sizes)
        for (int angle = -20; angle <= 20; angle += 4)
            for (const auto &pos : positions)
                for (double scale : scales)
                    for (int desk = 0; desk < 4; ++desk) {
                        vcam::SceneParams p;
                        p.width = size[0];
                        p.height = size[1];
                        p.angleDeg = angle + 0.5 * ((seed % 3) - 1.0); // not only whole degrees
                        p.centerX = pos[0];
                        p.centerY = pos[1];
                        p.scale = scale;
                        p.deskTexture = desk;
                        p.keystone = (seed % 4 == 0) ? 0.03 : 0.0;
                        p.seed = seed++;
                        all.push_back(p);
                    }
    if (stride <= 1)
        return all;
    std::vector<vcam::SceneParams> some;
    for (std::size_t i = 0; i < all.size(); i += static_cast<std::size_t>(stride))
        some.push_back(all[i]);
    return some;
}

double quadIoU(const McvRect &found, const vcam::Point truth[4])
{
    std::vector<cv::Point2f> a, b, inter;
    for (int i = 0; i < 4; ++i) {
        a.emplace_back(static_cast<float>(found.corner[i].x), static_cast<float>(found.corner[i].y));
        b.emplace_back(static_cast<float>(truth[i].x), static_cast<float>(truth[i].y));
    }
    if (!cv::isContourConvex(a))
        return 0;
    double common = cv::intersectConvexConvex(a, b, inter, true);
    double areaA = cv::contourArea(a), areaB = cv::contourArea(b);
    double uni = areaA + areaB - common;
    return uni > 0 ? common / uni : 0;
}

std::string describe(const vcam::SceneParams &p)
{
    char text[160];
    std::snprintf(text, sizeof text, "%dx%d angle %.1f centre (%.2f,%.2f) scale %.2f desk %d keystone %.2f seed %u",
                  p.width, p.height, p.angleDeg, p.centerX, p.centerY, p.scale, p.deskTexture, p.keystone,
                  p.seed);
    return text;
}

Accuracy measure(const std::vector<vcam::SceneParams> &scenes)
{
    Accuracy acc;
    double iouSum = 0, skewSum = 0;
    int skewCount = 0;
    for (const vcam::SceneParams &p : scenes) {
        ++acc.pictures;
        vcam::Scene scene = vcam::renderScene(p);
        std::vector<std::uint8_t> frame = vcam::encodeMjpeg(scene.rgb.data(), scene.width, scene.height);
        frame.resize(std::max(frame.size(), static_cast<std::size_t>(scene.width) * scene.height * 3));
        HMCVIMAGE image = mcvLoadFromVideoData(frame.data(), scene.width, scene.height, 0, 96, 96);
        McvRectResult result;
        result.count = 0;
        if (image)
            mcvDetectRect1(&result, image, 0, 0);
        if (result.count >= 1) {
            ++acc.found;
            double iou = quadIoU(result.rect[0], scene.corners);
            iouSum += iou;
            acc.minIoU = std::min(acc.minIoU, iou);
        } else {
            acc.misses.push_back(describe(p));
            acc.minIoU = 0;
        }
        float angle = 0;
        if (image && mcvDetectSkewAngle(image, &angle) == 0) {
            double error = std::abs(angle - p.angleDeg);
            skewSum += error;
            acc.maxSkewError = std::max(acc.maxSkewError, error);
            ++skewCount;
        } else {
            acc.maxSkewError = std::max(acc.maxSkewError, 90.0);
        }
        mcvReleaseImage(&image);
    }
    acc.meanIoU = acc.found ? iouSum / acc.found : 0;
    acc.meanSkewError = skewCount ? skewSum / skewCount : 90.0;
    return acc;
}

} // namespace imagingtest
