#include "pagetruth.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

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
    char text[400];
    int n = std::snprintf(text, sizeof text,
                          "%dx%d angle %.1f centre (%.2f,%.2f) scale %.2f desk %d keystone %.2f seed %u", p.width,
                          p.height, p.angleDeg, p.centerX, p.centerY, p.scale, p.deskTexture, p.keystone, p.seed);
    if (p.deskTexture >= 4 || p.tiltXDeg != 0 || p.tiltYDeg != 0 || p.clutter || p.onPage || p.cables ||
        p.shadow > 0 || p.content || !p.page)
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n),
                      " aspect %.2f hue %.0f tilt (%.1f,%.1f) clutter %d on page %d cables %d shadow %.2f content %d "
                      "tone %.2f cast %.2f blur %.1f%s",
                      p.aspect, p.deskHue, p.tiltXDeg, p.tiltYDeg, p.clutter, p.onPage, p.cables, p.shadow,
                      p.content, p.paperTone, p.colourCast, p.blur, p.page ? "" : " no page");
    return text;
}

namespace {

// Uniform numbers from a fixed generator, the same on every platform.
struct Draw {
    std::mt19937 gen;
    explicit Draw(std::uint32_t seed) : gen(seed) {}
    double uniform(double lo, double hi) { return lo + (hi - lo) * (gen() / 4294967296.0); }
    int pick(int n) { return static_cast<int>(gen() % static_cast<std::uint32_t>(n)); }
    bool chance(double p) { return uniform(0, 1) < p; }
};

vcam::SceneParams hardScene(int index, bool page)
{
    Draw d(static_cast<std::uint32_t>(index) * 7919u + (page ? 13u : 17u));
    vcam::SceneParams p;
    const int sizes[3][2] = {{1920, 1080}, {2592, 1944}, {1512, 2016}};
    const int size = index % 5 < 3 ? 0 : (index % 5 == 3 ? 1 : 2);
    p.width = sizes[size][0];
    p.height = sizes[size][1];
    const int desks[] = {4, 5, 6, 7, 8, 4, 5, 6, 0, 1, 2, 3};
    p.deskTexture = desks[d.pick(12)];
    p.deskHue = d.uniform(0, 360);
    // Page shape: A4 upright, A4 across, or a narrow slip (a receipt).
    const int shape = d.pick(20);
    p.aspect = shape < 14 ? 0.70710678 : (shape < 17 ? 1.41421356 : 0.42);
    p.angleDeg = d.chance(0.7) ? d.uniform(-35, 35) : d.uniform(-12, 12);
    if (d.chance(0.5)) {
        p.tiltXDeg = d.uniform(-28, 28);
        p.tiltYDeg = d.uniform(-20, 20);
    }
    p.clutter = d.pick(9);
    p.onPage = d.chance(0.35) ? 0 : d.pick(4);
    p.cables = d.chance(0.5) ? 0 : 1 + d.pick(2);
    p.shadow = d.chance(0.5) ? 0 : d.uniform(0.2, 0.8);
    p.content = d.pick(5);
    p.paperTone = d.uniform(0.9, 1.04);
    p.colourCast = d.chance(0.5) ? 0 : d.uniform(-0.7, 0.7);
    p.blur = d.chance(0.3) ? d.uniform(0.5, 1.4) : 0;
    p.noise = d.uniform(2, 5);
    p.lightFalloff = d.uniform(0.05, 0.35);
    p.seed = static_cast<std::uint32_t>(1000 + index);
    p.page = page;
    // Page area 5-55 % of the picture (log-uniform), then a place for it.
    const double share = 0.05 * std::pow(11.0, d.uniform(0, 1));
    p.scale = std::sqrt(share * p.width / (static_cast<double>(p.height) * p.aspect));
    const bool touching = d.chance(0.15);
    for (int attempt = 0; attempt < 20; ++attempt) {
        p.centerX = p.centerY = 0.5;
        vcam::Point c[4];
        vcam::sceneCorners(p, c);
        double x0 = c[0].x, x1 = c[0].x, y0 = c[0].y, y1 = c[0].y;
        for (const auto &q : c) {
            x0 = std::min(x0, q.x), x1 = std::max(x1, q.x);
            y0 = std::min(y0, q.y), y1 = std::max(y1, q.y);
        }
        const double margin = 0.012 * p.height;
        const double roomX = p.width - (x1 - x0) - 2 * margin, roomY = p.height - (y1 - y0) - 2 * margin;
        if (roomX < 0 || roomY < 0) {
            p.scale *= 0.9;
            continue;
        }
        // Offsets of the page's box from the centred place.
        double ox = d.uniform(-roomX / 2, roomX / 2), oy = d.uniform(-roomY / 2, roomY / 2);
        if (touching) {
            // Reach the picture's edge, or a little past it (up to 1.5 % of
            // the page's size).
            const double past = d.uniform(-0.005, 0.015) * std::max(x1 - x0, y1 - y0);
            switch (d.pick(4)) {
            case 0: ox = -(roomX / 2 + margin + past); break;
            case 1: ox = roomX / 2 + margin + past; break;
            case 2: oy = -(roomY / 2 + margin + past); break;
            default: oy = roomY / 2 + margin + past; break;
            }
        }
        p.centerX = 0.5 + ox / p.width;
        p.centerY = 0.5 + oy / p.height;
        break;
    }
    return p;
}

} // namespace

std::vector<vcam::SceneParams> hardScenes(int count, int first)
{
    std::vector<vcam::SceneParams> scenes;
    for (int i = first; i < first + count; ++i)
        scenes.push_back(hardScene(i, true));
    return scenes;
}

std::vector<vcam::SceneParams> emptyDesks(int count, int first)
{
    std::vector<vcam::SceneParams> scenes;
    for (int i = first; i < first + count; ++i) {
        vcam::SceneParams p = hardScene(i, false);
        p.clutter = 3 + i % 6;
        scenes.push_back(p);
    }
    return scenes;
}

bool libraryDetector(HMCVIMAGE image, McvRect &found)
{
    McvRectResult result;
    result.count = 0;
    if (mcvDetectRect1(&result, image, 0, 0) < 1 || result.count < 1)
        return false;
    found = result.rect[0];
    return true;
}

Detection measureDetection(const std::vector<vcam::SceneParams> &scenes, Detector detect)
{
    Detection det;
    double iouSum = 0;
    for (const vcam::SceneParams &p : scenes) {
        ++det.pictures;
        vcam::Scene scene = vcam::renderScene(p);
        std::vector<std::uint8_t> frame = vcam::encodeMjpeg(scene.rgb.data(), scene.width, scene.height);
        frame.resize(std::max(frame.size(), static_cast<std::size_t>(scene.width) * scene.height * 3));
        HMCVIMAGE image = mcvLoadFromVideoData(frame.data(), scene.width, scene.height, 0, 96, 96);
        McvRect found{};
        bool reported = image && detect(image, found);
        mcvReleaseImage(&image);
        if (!p.page) {
            if (reported) {
                ++det.found;
                det.misses.push_back("page reported on " + describe(p));
            }
            continue;
        }
        if (!reported) {
            det.minIoU = 0;
            det.misses.push_back("no page: " + describe(p));
            continue;
        }
        ++det.found;
        double iou = quadIoU(found, scene.corners);
        iouSum += iou;
        det.minIoU = std::min(det.minIoU, iou);
        if (iou < 0.8) {
            char text[40];
            std::snprintf(text, sizeof text, "IoU %.2f: ", iou);
            det.misses.push_back(text + describe(p));
        }
    }
    det.meanIoU = det.found ? iouSum / det.found : 0;
    return det;
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
