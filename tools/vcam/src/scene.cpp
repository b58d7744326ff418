// Synthetic overhead scene: desk, page, text-like lines, light and noise.
//
// Everything is drawn with OpenCV into 8-bit RGB.  The page is mapped from a
// unit square through the homography defined by its four corners, so text
// lines follow rotation and keystone exactly and the corners stay the ground
// truth of every picture.
#include "vcam/scene.h"
#include "jpeg_util.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace vcam {
namespace {

constexpr double kPi = 3.14159265358979323846;

void computeCorners(const SceneParams &p, Point out[4]) {
    const double ph = p.scale * p.height;
    const double pw = p.aspect * ph;
    const double topHalf = pw * (1.0 - p.keystone) / 2.0;
    const double botHalf = pw / 2.0;
    const double local[4][2] = {
        {-topHalf, -ph / 2}, {topHalf, -ph / 2}, {botHalf, ph / 2}, {-botHalf, ph / 2}};
    const double a = p.angleDeg * kPi / 180.0;
    const double c = std::cos(a), s = std::sin(a);
    const double cx = p.centerX * p.width, cy = p.centerY * p.height;
    for (int i = 0; i < 4; ++i) {
        // With y pointing down this turns the page clockwise for a > 0.
        out[i].x = cx + local[i][0] * c - local[i][1] * s;
        out[i].y = cy + local[i][0] * s + local[i][1] * c;
    }
}

// Smooth random field in [-1, 1] at full size: a coarse random grid scaled up.
cv::Mat smoothField(cv::RNG &rng, int w, int h, int cellsX, int cellsY) {
    cv::Mat coarse(std::max(2, cellsY), std::max(2, cellsX), CV_32F);
    rng.fill(coarse, cv::RNG::UNIFORM, -1.0, 1.0);
    cv::Mat full;
    cv::resize(coarse, full, cv::Size(w, h), 0, 0, cv::INTER_CUBIC);
    return full;
}

void drawDesk(cv::Mat &img, const SceneParams &p, cv::RNG &rng) {
    const int w = img.cols, h = img.rows;
    // Work on a quarter-size grid and scale up: texture detail finer than
    // that is lost in the JPEG anyway and it keeps large pictures cheap.
    const int sw = std::max(8, w / 4), sh = std::max(8, h / 4);
    cv::Mat small(sh, sw, CV_32FC3);
    cv::Mat blotch = smoothField(rng, sw, sh, 12, 9);
    switch (p.deskTexture) {
    case 1: { // wood grain: stripes along x that wobble
        cv::Mat wobble = smoothField(rng, sw, sh, 6, 4);
        const double freq = 2 * kPi / std::max(4.0, sh / 40.0);
        for (int y = 0; y < sh; ++y) {
            auto *row = small.ptr<cv::Vec3f>(y);
            const float *wb = wobble.ptr<float>(y);
            const float *bl = blotch.ptr<float>(y);
            for (int x = 0; x < sw; ++x) {
                const double g = 0.5 + 0.5 * std::sin(y * freq + 6.0 * wb[x]);
                const double v = 0.75 + 0.25 * g + 0.05 * bl[x];
                row[x] = cv::Vec3f(float(120 * v), float(80 * v), float(50 * v));
            }
        }
        break;
    }
    case 2: { // fabric: fine weave
        for (int y = 0; y < sh; ++y) {
            auto *row = small.ptr<cv::Vec3f>(y);
            const float *bl = blotch.ptr<float>(y);
            for (int x = 0; x < sw; ++x) {
                const double weave = ((x / 2 + y / 2) % 2) ? 1.0 : 0.82;
                const double v = weave * (0.9 + 0.1 * bl[x]);
                row[x] = cv::Vec3f(float(60 * v), float(70 * v), float(95 * v));
            }
        }
        break;
    }
    default: { // plain dark desk with soft blotches (also the base of 3)
        for (int y = 0; y < sh; ++y) {
            auto *row = small.ptr<cv::Vec3f>(y);
            const float *bl = blotch.ptr<float>(y);
            for (int x = 0; x < sw; ++x) {
                const float v = float(1.0 + 0.12 * bl[x]);
                row[x] = cv::Vec3f(70 * v, 66 * v, 62 * v);
            }
        }
        break;
    }
    }
    cv::Mat up;
    cv::resize(small, up, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    up.convertTo(img, CV_8UC3);
    if (p.deskTexture == 3) { // cluttered: pens, notes and a mug on the desk
        for (int i = 0; i < 14; ++i) {
            const cv::Scalar colour(rng.uniform(30, 220), rng.uniform(30, 220), rng.uniform(30, 220));
            const cv::Point c(rng.uniform(0, w), rng.uniform(0, h));
            const int r = std::max(2, rng.uniform(h / 40 + 1, h / 10 + 2));
            if (i % 3 == 0)
                cv::circle(img, c, r, colour, cv::FILLED, cv::LINE_AA);
            else
                cv::rectangle(img, cv::Rect(c.x, c.y, r * 2, r / 2 + 1), colour, cv::FILLED);
        }
    }
}

std::vector<cv::Point> toFixed(const std::vector<cv::Point2f> &pts) {
    std::vector<cv::Point> out;
    out.reserve(pts.size());
    for (const auto &q : pts)
        out.emplace_back(int(std::lround(q.x * 256.0)), int(std::lround(q.y * 256.0)));
    return out;
}

void drawPage(cv::Mat &img, const Point corners[4], cv::RNG &rng) {
    std::vector<cv::Point2f> quad;
    for (int i = 0; i < 4; ++i)
        quad.emplace_back(float(corners[i].x), float(corners[i].y));
    // Sub-pixel vertices (8 fractional bits) keep the edge where the corners say.
    cv::fillConvexPoly(img, toFixed(quad), cv::Scalar(238, 237, 232), cv::LINE_AA, 8);

    const std::vector<cv::Point2f> unit = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    const cv::Mat H = cv::getPerspectiveTransform(unit, quad);
    const double pageHeightPx = std::hypot(corners[3].x - corners[0].x, corners[3].y - corners[0].y);
    if (pageHeightPx < 40)
        return; // too small for legible lines

    const double left = 0.11, right = 0.89, top = 0.09, bottom = 0.91;
    const double pitch = 0.024, thick = 0.009;
    std::vector<cv::Point2f> rect(4), mapped;
    double v = top;
    int lineNo = 0;
    while (v + thick < bottom) {
        const bool heading = lineNo == 0;
        const bool paragraphEnd = rng.uniform(0, 7) == 0;
        double u = left + (lineNo > 0 && rng.uniform(0, 5) == 0 ? 0.04 : 0.0);
        const double lineEnd = paragraphEnd ? left + (right - left) * rng.uniform(0.3, 0.8) : right;
        const double h = heading ? thick * 1.8 : thick;
        while (u < lineEnd) {
            const double wordLen = (heading ? 0.06 : 0.025) + rng.uniform(0.0, 0.07);
            const double end = std::min(u + wordLen, lineEnd);
            rect[0] = cv::Point2f(float(u), float(v));
            rect[1] = cv::Point2f(float(end), float(v));
            rect[2] = cv::Point2f(float(end), float(v + h));
            rect[3] = cv::Point2f(float(u), float(v + h));
            cv::perspectiveTransform(rect, mapped, H);
            const int ink = heading ? 25 : 45 + rng.uniform(0, 20);
            cv::fillConvexPoly(img, toFixed(mapped), cv::Scalar(ink, ink, ink + 5), cv::LINE_AA, 8);
            u = end + 0.012;
        }
        v += heading ? pitch * 2 : (paragraphEnd ? pitch * 1.6 : pitch);
        ++lineNo;
    }
}

void applyLight(cv::Mat &img, double falloff) {
    if (falloff <= 0)
        return;
    const int w = img.cols, h = img.rows;
    // Light from the upper left: a ramp across the picture plus a soft
    // vignette, computed coarse, scaled up as 1.15 fixed point and applied
    // in 8 bits (a float pass over a 5-megapixel picture costs far more).
    const int gw = 64, gh = 48;
    cv::Mat gain(gh, gw, CV_16U);
    for (int y = 0; y < gh; ++y)
        for (int x = 0; x < gw; ++x) {
            const double rx = x / double(gw - 1), ry = y / double(gh - 1);
            const double ramp = 0.7 * rx + 0.3 * ry;
            const double dx = rx - 0.4, dy = ry - 0.4;
            const double vignette = std::min(1.0, 0.6 * (dx * dx + dy * dy));
            const double g = 1.0 - falloff * std::min(1.0, 0.75 * ramp + 0.25 * vignette);
            gain.at<std::uint16_t>(y, x) = std::uint16_t(std::lround(std::max(0.0, g) * 32768.0));
        }
    cv::Mat gainFull;
    cv::resize(gain, gainFull, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    for (int y = 0; y < h; ++y) {
        std::uint8_t *px = img.ptr<std::uint8_t>(y);
        const std::uint16_t *g = gainFull.ptr<std::uint16_t>(y);
        for (int x = 0; x < w; ++x) {
            const std::uint32_t gx = g[x];
            px[0] = std::uint8_t(std::min<std::uint32_t>(255, (px[0] * gx) >> 15));
            px[1] = std::uint8_t(std::min<std::uint32_t>(255, (px[1] * gx) >> 15));
            px[2] = std::uint8_t(std::min<std::uint32_t>(255, (px[2] * gx) >> 15));
            px += 3;
        }
    }
}

} // namespace

void addSensorNoise(std::uint8_t *rgb, int width, int height, double sigma, std::uint32_t seed) {
    if (sigma <= 0)
        return;
    // Gaussian noise from a 512 x 512 tile, read at a different horizontal
    // offset on every row: at a few levels of deviation the repetition is
    // invisible, and it is far cheaper than drawing 15 million samples.
    constexpr int kTile = 512;
    cv::Mat tile(kTile, kTile * 3, CV_16S);
    cv::RNG rng(seed * 2654435761u + 7);
    rng.fill(tile, cv::RNG::NORMAL, 0.0, sigma);
    for (int y = 0; y < height; ++y) {
        std::uint8_t *px = rgb + std::size_t(y) * width * 3;
        const std::int16_t *n = tile.ptr<std::int16_t>(y % kTile);
        const int shift = int((std::uint32_t(y / kTile) * 2246822519u + seed * 374761393u) % kTile);
        for (int x = 0; x < width; ++x) {
            const std::int16_t *nx = n + ((x + shift) & (kTile - 1)) * 3;
            for (int c = 0; c < 3; ++c)
                px[c] = std::uint8_t(std::min(255, std::max(0, px[c] + nx[c])));
            px += 3;
        }
    }
}

void sceneCorners(const SceneParams &params, Point out[4]) { computeCorners(params, out); }

Scene renderScene(const SceneParams &params) {
    if (params.width <= 0 || params.height <= 0)
        throw std::invalid_argument("renderScene: width and height must be positive");
    Scene s;
    s.width = params.width;
    s.height = params.height;
    computeCorners(params, s.corners);
    s.rgb.resize(std::size_t(params.width) * params.height * 3);
    cv::Mat img(params.height, params.width, CV_8UC3, s.rgb.data());
    cv::RNG rng(params.seed ? params.seed : 1);
    drawDesk(img, params, rng);
    // Separate streams so desk and noise choices never move the text.
    cv::RNG pageRng(0x9E3779B9u ^ params.seed);
    drawPage(img, s.corners, pageRng);
    applyLight(img, params.lightFalloff);
    addSensorNoise(img.data, img.cols, img.rows, params.noise, params.seed);
    // drawDesk's convertTo may have reallocated; make sure pixels are in s.rgb.
    if (img.data != s.rgb.data())
        std::memcpy(s.rgb.data(), img.data, s.rgb.size());
    return s;
}

std::vector<std::uint8_t> stripHuffmanTables(const std::uint8_t *jpeg, std::size_t size) {
    std::vector<std::uint8_t> out;
    out.reserve(size);
    if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return std::vector<std::uint8_t>(jpeg, jpeg + size);
    out.insert(out.end(), jpeg, jpeg + 2);
    std::size_t i = 2;
    while (i + 4 <= size && jpeg[i] == 0xFF) {
        const std::uint8_t marker = jpeg[i + 1];
        const std::size_t len = (std::size_t(jpeg[i + 2]) << 8) | jpeg[i + 3];
        if (marker == 0xDA) // start of scan: the rest is entropy data and EOI
            break;
        if (i + 2 + len > size)
            break;
        if (marker != 0xC4)
            out.insert(out.end(), jpeg + i, jpeg + i + 2 + len);
        i += 2 + len;
    }
    out.insert(out.end(), jpeg + i, jpeg + size);
    return out;
}

std::vector<std::uint8_t> encodeMjpeg(const std::uint8_t *rgb, int width, int height, int quality) {
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
    if (!tj)
        throw std::runtime_error("encodeMjpeg: tjInitCompress failed");
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), rgb, width, 0, height, TJPF_RGB, &buf, &size, TJSAMP_422, quality,
                    TJFLAG_FASTDCT) != 0) {
        std::string msg = tjGetErrorStr2(tj.get());
        tjFree(buf);
        throw std::runtime_error("encodeMjpeg: " + msg);
    }
    std::vector<std::uint8_t> out = stripHuffmanTables(buf, size);
    tjFree(buf);
    return out;
}

} // namespace vcam
