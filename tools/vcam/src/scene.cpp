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
    if (p.tiltXDeg == 0 && p.tiltYDeg == 0)
        return;
    // The desk plane turned in front of a pinhole camera (focal length about
    // the picture's size) about axes through the page's centre, which keeps
    // its place in the picture.
    const double f = 1.1 * std::max(p.width, p.height);
    const double ax = p.tiltXDeg * kPi / 180.0, ay = p.tiltYDeg * kPi / 180.0;
    for (int i = 0; i < 4; ++i) {
        const double dx = out[i].x - cx, dy = out[i].y - cy;
        const double y1 = dy * std::cos(ax), z1 = -dy * std::sin(ax);
        const double x2 = dx * std::cos(ay) + z1 * std::sin(ay), z2 = z1 * std::cos(ay) - dx * std::sin(ay);
        const double depth = f + z2;
        out[i].x = cx + f * x2 / depth;
        out[i].y = cy + f * y1 / depth;
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

// Axis-aligned rectangle in page units (0..1 across and down the sheet),
// mapped onto the picture through the page's homography.
void fillUnitRect(cv::Mat &img, const cv::Mat &H, double u0, double v0, double u1, double v1,
                  const cv::Scalar &colour) {
    const std::vector<cv::Point2f> rect = {{float(u0), float(v0)}, {float(u1), float(v0)},
                                           {float(u1), float(v1)}, {float(u0), float(v1)}};
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(rect, mapped, H);
    cv::fillConvexPoly(img, toFixed(mapped), colour, cv::LINE_AA, 8);
}

// Text-like lines of words between page heights top and bottom; the first
// line is a heading when asked.  (The default page is exactly one call.)
void drawText(cv::Mat &img, const cv::Mat &H, cv::RNG &rng, double top, double bottom, bool heading0,
              double left = 0.11, double right = 0.89, const cv::Scalar &tint = cv::Scalar(0, 0, 5)) {
    const double pitch = 0.024, thick = 0.009;
    std::vector<cv::Point2f> rect(4), mapped;
    double v = top;
    int lineNo = 0;
    while (v + thick < bottom) {
        const bool heading = heading0 && lineNo == 0;
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
            cv::fillConvexPoly(img, toFixed(mapped), cv::Scalar(ink, ink, ink) + tint, cv::LINE_AA, 8);
            u = end + 0.012;
        }
        v += heading ? pitch * 2 : (paragraphEnd ? pitch * 1.6 : pitch);
        ++lineNo;
    }
}

// A ruled table: a heavy frame, a shaded header row, rows and columns with
// short entries.  Its frame is a strong rectangle inside the page.
void drawTable(cv::Mat &img, const cv::Mat &H, cv::RNG &rng, double top, double bottom) {
    const double left = 0.11, right = 0.89, rowH = 0.04, line = 0.0014;
    const int rows = std::max(2, int((bottom - top) / rowH));
    bottom = top + rows * rowH;
    const cv::Scalar ink(40, 40, 45);
    fillUnitRect(img, H, left, top, right, top + rowH, cv::Scalar(205, 205, 208));
    const double cols[] = {left, 0.24, 0.47, 0.62, 0.75, right};
    for (int r = 0; r <= rows; ++r) {
        const double t = (r == 0 || r == rows) ? line * 2 : line;
        fillUnitRect(img, H, left, top + r * rowH - t / 2, right, top + r * rowH + t / 2, ink);
    }
    for (double c : cols) {
        const double t = (c == left || c == right) ? line * 2 : line;
        fillUnitRect(img, H, c - t / 2, top, c + t / 2, bottom, ink);
    }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c + 1 < 6; ++c) {
            const double u0 = cols[c] + 0.015, len = (cols[c + 1] - cols[c] - 0.03) * rng.uniform(0.3, 1.0);
            const double v0 = top + r * rowH + 0.015;
            fillUnitRect(img, H, u0, v0, u0 + len, v0 + 0.009, ink);
        }
}

// A form: dark title band, a photograph, boxes to fill in.
void drawForm(cv::Mat &img, const cv::Mat &H, cv::RNG &rng) {
    fillUnitRect(img, H, 0.08, 0.05, 0.92, 0.12, cv::Scalar(40, 60, 110));
    fillUnitRect(img, H, 0.14, 0.075, 0.5, 0.095, cv::Scalar(235, 235, 235));
    // Photograph: sky, hills, a house.
    fillUnitRect(img, H, 0.58, 0.16, 0.89, 0.30, cv::Scalar(120, 165, 215));
    fillUnitRect(img, H, 0.58, 0.30, 0.89, 0.40, cv::Scalar(70, 130, 60));
    fillUnitRect(img, H, 0.66, 0.26, 0.74, 0.33, cv::Scalar(180, 70, 50));
    drawText(img, H, rng, 0.17, 0.40, false, 0.11, 0.54);
    const cv::Scalar ink(50, 50, 55);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 2; ++c) {
            const double u0 = 0.11 + c * 0.4, v0 = 0.45 + r * 0.065, t = 0.0015;
            fillUnitRect(img, H, u0, v0, u0 + 0.12, v0 + 0.01, ink); // label
            fillUnitRect(img, H, u0, v0 + 0.02, u0 + 0.36, v0 + 0.02 + t, ink);
            fillUnitRect(img, H, u0, v0 + 0.05, u0 + 0.36, v0 + 0.05 + t, ink);
            fillUnitRect(img, H, u0, v0 + 0.02, u0 + t, v0 + 0.05, ink);
            fillUnitRect(img, H, u0 + 0.36 - t, v0 + 0.02, u0 + 0.36, v0 + 0.05, ink);
        }
    drawText(img, H, rng, 0.74, 0.91, false);
}

// Music: a title, then staves of five lines across the sheet with notes
// and bar lines (long straight lines close to the page's own edges).
void drawMusic(cv::Mat &img, const cv::Mat &H, cv::RNG &rng) {
    drawText(img, H, rng, 0.04, 0.07, true, 0.3, 0.7);
    const cv::Scalar ink(30, 30, 35);
    const double left = 0.07, right = 0.94, gap = 0.0085, t = 0.0013;
    for (double top = 0.11; top + 4 * gap < 0.95; top += 0.083) {
        for (int k = 0; k < 5; ++k)
            fillUnitRect(img, H, left, top + k * gap - t / 2, right, top + k * gap + t / 2, ink);
        for (double bar = left; bar <= right + 1e-9; bar += (right - left) / 4)
            fillUnitRect(img, H, bar - t, top, bar + t, top + 4 * gap, ink);
        for (double u = left + 0.06; u < right - 0.02; u += rng.uniform(0.025, 0.05)) {
            const double v = top + gap * 0.5 * rng.uniform(-2, 10);
            fillUnitRect(img, H, u, v - gap * 0.45, u + 0.011, v + gap * 0.45, ink);
            fillUnitRect(img, H, u + 0.0095, v - 3.2 * gap, u + 0.011, v, ink);
        }
    }
}

// Ruled notebook paper: pale blue lines right across the sheet, a red
// margin line and a few lines of blue handwriting.
void drawRuled(cv::Mat &img, const cv::Mat &H, cv::RNG &rng) {
    const double t = 0.0016, pitch = 0.032;
    for (double v = 0.10; v < 0.98; v += pitch)
        fillUnitRect(img, H, 0.0, v - t / 2, 1.0, v + t / 2, cv::Scalar(150, 185, 225));
    fillUnitRect(img, H, 0.13 - t, 0.0, 0.13 + t, 1.0, cv::Scalar(225, 120, 120));
    const int lines = rng.uniform(4, 18);
    for (int k = 0; k < lines; ++k) {
        const double v = 0.10 + (k + 1) * pitch - 0.012;
        double u = 0.15;
        const double end = rng.uniform(0.5, 0.93);
        while (u < end) {
            const double len = rng.uniform(0.03, 0.1);
            fillUnitRect(img, H, u, v, std::min(u + len, end), v + 0.007, cv::Scalar(35, 50, 120));
            u += len + 0.015;
        }
    }
}

void drawPage(cv::Mat &img, const Point corners[4], cv::RNG &rng, const SceneParams &p) {
    std::vector<cv::Point2f> quad;
    for (int i = 0; i < 4; ++i)
        quad.emplace_back(float(corners[i].x), float(corners[i].y));
    cv::Scalar paper(238, 237, 232);
    if (p.content == 4)
        paper = cv::Scalar(242, 238, 222); // cream notebook paper
    if (p.paperTone != 1.0)
        paper *= std::clamp(p.paperTone, 0.0, 1.07);
    // Sub-pixel vertices (8 fractional bits) keep the edge where the corners say.
    cv::fillConvexPoly(img, toFixed(quad), paper, cv::LINE_AA, 8);

    const std::vector<cv::Point2f> unit = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    const cv::Mat H = cv::getPerspectiveTransform(unit, quad);
    const double pageHeightPx = std::hypot(corners[3].x - corners[0].x, corners[3].y - corners[0].y);
    if (pageHeightPx < 40)
        return; // too small for legible lines

    switch (p.content) {
    case 1:
        drawText(img, H, rng, 0.09, 0.40, true);
        drawTable(img, H, rng, 0.44, 0.80);
        drawText(img, H, rng, 0.84, 0.91, false);
        break;
    case 2: drawForm(img, H, rng); break;
    case 3: drawMusic(img, H, rng); break;
    case 4: drawRuled(img, H, rng); break;
    default: drawText(img, H, rng, 0.09, 0.91, true); break;
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
    drawPage(img, s.corners, pageRng, params);
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
