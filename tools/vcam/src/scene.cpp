// Synthetic overhead scene: desk, page, text-like lines, light and noise;
// for harder scenes photographic desks, objects round and on the page,
// cables, shadows, other print, perspective, colour cast and blur.
//
// Everything is drawn with OpenCV into 8-bit RGB.  The page is mapped from a
// unit square through the homography defined by its four corners, so print
// follows rotation, keystone and tilt exactly and the corners stay the
// ground truth of every picture (objects may cover the page; its corners
// are still where the sheet lies).  The harder options use random streams
// of their own, so the original scene's pixels do not change.
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

void drawPhotoDesk(cv::Mat &img, const SceneParams &p);

void drawDesk(cv::Mat &img, const SceneParams &p, cv::RNG &rng) {
    if (p.deskTexture >= 4) {
        drawPhotoDesk(img, p);
        return;
    }
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

// ---- Harder scenes: photographic desks, objects, cables and shadows ----

// Gaussian-blurred white noise at w x h, scaled to a deviation of about 1.
cv::Mat grainField(cv::RNG &rng, int w, int h, double blurSigma) {
    cv::Mat f(h, w, CV_32F);
    rng.fill(f, cv::RNG::NORMAL, 0.0, 1.0);
    if (blurSigma > 0) {
        cv::GaussianBlur(f, f, cv::Size(0, 0), blurSigma);
        f *= float(std::sqrt(4 * kPi) * blurSigma); // keep the deviation near 1
    }
    return f;
}

// Wooden planks at the working size (w, h): planks run along x, with grain
// lines, long streaks, dark seams between planks and butt joints.
cv::Mat woodPlanks(cv::RNG &rng, int w, int h, const cv::Vec3f &base, double plankFrac) {
    cv::Mat out(h, w, CV_32FC3);
    cv::Mat streak; // long streaks: noise stretched along the planks
    cv::resize(grainField(rng, std::max(2, w / 40), h, 0.7), streak, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    cv::Mat wobble = smoothField(rng, w, h, 5, 8);
    cv::Mat fine = grainField(rng, w, h, 0.6);
    const double plank = std::max(8.0, h * plankFrac);
    const double offset = rng.uniform(0.0, plank);
    struct Plank {
        float tone, period, phase, joint;
    };
    std::vector<Plank> planks(std::size_t(h / plank) + 3);
    for (auto &pl : planks)
        pl = {float(rng.uniform(0.86, 1.1)), float(plank * rng.uniform(0.08, 0.2)), float(rng.uniform(0.0, 2 * kPi)),
              float(rng.uniform(0.0, double(w)))};
    for (int y = 0; y < h; ++y) {
        const double yy = y + offset;
        const int k = int(yy / plank);
        const Plank &pl = planks[std::size_t(k) % planks.size()];
        const double inPlank = yy - k * plank;
        const bool seam = inPlank < 1.2 || inPlank > plank - 0.6;
        auto *row = out.ptr<cv::Vec3f>(y);
        const float *st = streak.ptr<float>(y), *wb = wobble.ptr<float>(y), *fn = fine.ptr<float>(y);
        for (int x = 0; x < w; ++x) {
            const double ring = std::sin(2 * kPi * (inPlank + 0.35 * plank * wb[x]) / pl.period + pl.phase);
            double v = pl.tone * (1.0 + 0.06 * ring + 0.05 * st[x] + 0.025 * fn[x]);
            if (seam || std::abs(x - pl.joint) < 1.0)
                v *= 0.62;
            row[x] = base * float(v);
        }
    }
    return out;
}

// Photographic-looking desks (textures 4..8), drawn at half size and
// scaled up, with fine grain at full size.
void drawPhotoDesk(cv::Mat &img, const SceneParams &p) {
    cv::RNG rng(p.seed * 0x27D4EB2Du + 0x165667B1u);
    const int w = img.cols, h = img.rows;
    const int sw = std::max(8, w / 2), sh = std::max(8, h / 2);
    cv::Mat small;
    switch (p.deskTexture) {
    case 4:
    case 8: {
        const cv::Vec3f base = p.deskTexture == 4 ? cv::Vec3f(float(rng.uniform(195, 215)), float(rng.uniform(150, 170)),
                                                               float(rng.uniform(105, 125)))
                                                  : cv::Vec3f(98, 64, 44);
        // Planks along x or y, turned a little.
        const bool upright = rng.uniform(0, 2) == 1;
        const double turn = rng.uniform(-7.0, 7.0);
        const int side = int(std::ceil(std::hypot(sw, sh))) + 2;
        cv::Mat planks = woodPlanks(rng, side, side, base, rng.uniform(0.14, 0.26) * sh / side);
        cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(side / 2.0f, side / 2.0f), turn + (upright ? 90 : 0), 1.0);
        m.at<double>(0, 2) -= (side - sw) / 2.0;
        m.at<double>(1, 2) -= (side - sh) / 2.0;
        cv::warpAffine(planks, small, m, cv::Size(sw, sh), cv::INTER_LINEAR, cv::BORDER_REFLECT);
        break;
    }
    case 5: { // coloured laminate with a soft sheen
        cv::Mat hsv(1, 1, CV_32FC3, cv::Scalar(float(std::fmod(std::fmod(p.deskHue, 360.0) + 360.0, 360.0)),
                                               float(rng.uniform(0.35, 0.6)), float(rng.uniform(0.4, 0.65))));
        cv::Mat rgb;
        cv::cvtColor(hsv, rgb, cv::COLOR_HSV2RGB);
        const cv::Vec3f base = rgb.at<cv::Vec3f>(0, 0) * 255.0f;
        cv::Mat blotch = smoothField(rng, sw, sh, 9, 7), fine = grainField(rng, sw, sh, 0.8);
        const double sx = rng.uniform(0.2, 0.8) * sw, sy = rng.uniform(0.2, 0.8) * sh, sr = 0.35 * sw;
        small.create(sh, sw, CV_32FC3);
        for (int y = 0; y < sh; ++y) {
            auto *row = small.ptr<cv::Vec3f>(y);
            for (int x = 0; x < sw; ++x) {
                const double d2 = ((x - sx) * (x - sx) + (y - sy) * (y - sy)) / (sr * sr);
                const float sheen = float(28 * std::exp(-d2));
                const float v = float(1.0 + 0.05 * blotch.at<float>(y, x) + 0.03 * fine.at<float>(y, x));
                row[x] = base * v + cv::Vec3f(sheen, sheen, sheen);
            }
        }
        break;
    }
    case 6: { // near-white desk: faint blotches, grain and grey veins
        const float warm = float(rng.uniform(-4.0, 4.0));
        const cv::Vec3f base(float(rng.uniform(226, 238)) + warm, 0, 0);
        const cv::Vec3f paint(base[0], base[0] - 1.5f, base[0] - 3.0f - warm);
        cv::Mat blotch = smoothField(rng, sw, sh, 7, 5), fine = grainField(rng, sw, sh, 1.0);
        cv::Mat veins(sh, sw, CV_8U, cv::Scalar(0));
        for (int k = 0; k < 5; ++k) {
            std::vector<cv::Point> pts;
            cv::Point2d q(rng.uniform(0, sw), rng.uniform(0, sh));
            double dir = rng.uniform(0.0, 2 * kPi);
            for (int s = 0; s < 40; ++s) {
                pts.emplace_back(int(q.x), int(q.y));
                dir += rng.uniform(-0.35, 0.35);
                q += cv::Point2d(std::cos(dir), std::sin(dir)) * (sw / 60.0);
            }
            cv::polylines(veins, pts, false, cv::Scalar(255), 1, cv::LINE_AA);
        }
        cv::GaussianBlur(veins, veins, cv::Size(0, 0), 1.2);
        small.create(sh, sw, CV_32FC3);
        for (int y = 0; y < sh; ++y) {
            auto *row = small.ptr<cv::Vec3f>(y);
            for (int x = 0; x < sw; ++x) {
                const float v = float(1.0 + 0.02 * blotch.at<float>(y, x) + 0.012 * fine.at<float>(y, x) -
                                      0.08 * veins.at<std::uint8_t>(y, x) / 255.0);
                row[x] = paint * v;
            }
        }
        break;
    }
    default: { // 7: grey speckled stone
        const float g = float(rng.uniform(115, 155));
        cv::Mat blotch = smoothField(rng, sw, sh, 10, 8), speck = grainField(rng, sw, sh, 0.5);
        small.create(sh, sw, CV_32FC3);
        for (int y = 0; y < sh; ++y) {
            auto *row = small.ptr<cv::Vec3f>(y);
            for (int x = 0; x < sw; ++x) {
                const float s = speck.at<float>(y, x);
                const float dot = s > 1.8f ? 0.25f : (s < -1.9f ? -0.3f : 0.0f);
                const float v = 1.0f + 0.05f * blotch.at<float>(y, x) + 0.03f * s + dot;
                row[x] = cv::Vec3f(g, g * 0.99f, g * 0.97f) * v;
            }
        }
        break;
    }
    }
    cv::Mat small8;
    small.convertTo(small8, CV_8UC3);
    cv::resize(small8, img, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    // Full-size grain the scaling smoothed away.
    addSensorNoise(img.data, w, h, 2.0, p.seed * 31u + 5u);
}

// Soft shadows collected at half size, then applied to the picture as a
// darkening: 1 - strength * (blurred mask).
struct SoftShadow {
    cv::Mat mask;
    float scale;
    explicit SoftShadow(const cv::Mat &img)
        : mask(std::max(4, img.rows / 2), std::max(4, img.cols / 2), CV_8U, cv::Scalar(0)),
          scale(float(mask.cols) / img.cols) {}
    std::vector<cv::Point> shifted(const std::vector<cv::Point2f> &pts, cv::Point2f off) const {
        std::vector<cv::Point2f> s;
        for (const auto &q : pts)
            s.push_back((q + off) * scale);
        return toFixed(s);
    }
    void polygon(const std::vector<cv::Point2f> &pts, cv::Point2f off) {
        std::vector<std::vector<cv::Point>> polys = {shifted(pts, off)};
        cv::fillPoly(mask, polys, cv::Scalar(255), cv::LINE_AA, 8);
    }
    void line(const std::vector<cv::Point2f> &pts, cv::Point2f off, double width) {
        std::vector<std::vector<cv::Point>> polys = {shifted(pts, off)};
        cv::polylines(mask, polys, false, cv::Scalar(255), std::max(1, int(std::lround(width * scale))),
                      cv::LINE_AA, 8);
    }
    void apply(cv::Mat &img, double strength, double blurPx) {
        if (strength <= 0 || cv::countNonZero(mask) == 0)
            return;
        // Wide blurs run on a smaller copy (a deviation of about 2 pixels there).
        cv::Mat soft = mask;
        const double sigma = std::max(0.5, blurPx * scale);
        if (sigma > 2) {
            const double f = 2 / sigma;
            cv::resize(mask, soft, cv::Size(), f, f, cv::INTER_AREA);
            cv::GaussianBlur(soft, soft, cv::Size(0, 0), 2.0);
        } else if (blurPx > 0) {
            cv::GaussianBlur(mask, soft, cv::Size(0, 0), sigma);
        }
        cv::Mat full;
        cv::resize(soft, full, img.size(), 0, 0, cv::INTER_LINEAR);
        const int k = int(std::lround(std::clamp(strength, 0.0, 1.0) * 128)); // gain = 1 - k*m/32768
        for (int y = 0; y < img.rows; ++y) {
            std::uint8_t *px = img.ptr<std::uint8_t>(y);
            const std::uint8_t *m = full.ptr<std::uint8_t>(y);
            for (int x = 0; x < img.cols; ++x, px += 3) {
                if (!m[x])
                    continue;
                const std::uint32_t g = 32768u - std::uint32_t(k * m[x]);
                px[0] = std::uint8_t((px[0] * g) >> 15);
                px[1] = std::uint8_t((px[1] * g) >> 15);
                px[2] = std::uint8_t((px[2] * g) >> 15);
            }
        }
        mask.setTo(0);
    }
};

std::vector<cv::Point2f> turnedRect(cv::Point2f c, double w, double h, double angleDeg) {
    cv::Point2f pts[4];
    cv::RotatedRect(c, cv::Size2f(float(w), float(h)), float(angleDeg)).points(pts);
    return std::vector<cv::Point2f>(pts, pts + 4);
}

void fillQuad(cv::Mat &img, const std::vector<cv::Point2f> &pts, const cv::Scalar &c) {
    cv::fillConvexPoly(img, toFixed(pts), c, cv::LINE_AA, 8);
}

cv::Scalar vary(cv::RNG &rng, cv::Scalar c, int amount) {
    for (int i = 0; i < 3; ++i)
        c[i] = std::clamp(c[i] + rng.uniform(-amount, amount + 1), 0.0, 255.0);
    return c;
}

void drawPen(cv::Mat &img, SoftShadow &shadow, cv::RNG &rng, cv::Point2f c, double len, double angleDeg, double unit) {
    static const cv::Scalar colours[] = {{30, 50, 150}, {25, 25, 30}, {170, 30, 35}, {190, 190, 195}, {240, 200, 40}};
    const cv::Scalar body = colours[rng.uniform(0, 5)];
    const double a = angleDeg * kPi / 180;
    const cv::Point2f d(float(std::cos(a) * len / 2), float(std::sin(a) * len / 2));
    const double width = unit * rng.uniform(1.1, 1.6);
    shadow.line({c - d, c + d}, cv::Point2f(float(width * 0.5), float(width * 0.8)), width * 1.1);
    const int t = std::max(1, int(std::lround(width)));
    cv::line(img, c - d, c + d, body, t, cv::LINE_AA);
    cv::line(img, c - d * 0.98f, c - d * 0.55f, body * 0.55, t, cv::LINE_AA); // cap
    const cv::Point2f n(float(-std::sin(a) * width * 0.2), float(std::cos(a) * width * 0.2));
    cv::line(img, c - d * 0.5f - n, c + d * 0.9f - n, cv::Scalar::all(255) * 0.35 + body * 0.65,
             std::max(1, t / 4), cv::LINE_AA); // highlight
}

void drawMug(cv::Mat &img, SoftShadow &shadow, cv::RNG &rng, cv::Point2f c, double r) {
    static const cv::Scalar colours[] = {{235, 235, 230}, {40, 70, 140}, {180, 40, 40}, {60, 60, 65}};
    const cv::Scalar rim = colours[rng.uniform(0, 4)];
    const double handleAngle = rng.uniform(0.0, 2 * kPi);
    const cv::Point2f hd(float(std::cos(handleAngle) * r * 1.15), float(std::sin(handleAngle) * r * 1.15));
    std::vector<cv::Point2f> disc;
    for (int k = 0; k < 24; ++k)
        disc.emplace_back(c + cv::Point2f(float(std::cos(k * kPi / 12) * r), float(std::sin(k * kPi / 12) * r)));
    shadow.polygon(disc, cv::Point2f(float(r * 0.25), float(r * 0.35)));
    const int handle = std::max(2, int(r * 0.22));
    cv::line(img, c, c + hd, rim * 0.85, handle, cv::LINE_AA);
    cv::circle(img, c, int(r), rim * 0.8, cv::FILLED, cv::LINE_AA);
    cv::circle(img, c, int(r * 0.9), rim, cv::FILLED, cv::LINE_AA);
    cv::circle(img, c, int(r * 0.78), cv::Scalar(70, 45, 30), cv::FILLED, cv::LINE_AA); // coffee
    cv::circle(img, c - cv::Point2f(float(r * 0.25), float(r * 0.25)), std::max(1, int(r * 0.15)),
               cv::Scalar(120, 95, 75), cv::FILLED, cv::LINE_AA);
}

// One object lying on the desk near `c` (u: a length unit, 1 % of the
// picture's height).  White desks get white devices.
void drawDeskObject(cv::Mat &img, SoftShadow &shadow, cv::RNG &rng, cv::Point2f c, double u, bool whiteDesk) {
    const int kind = rng.uniform(0, 7);
    const double angle = rng.uniform(-40.0, 40.0);
    const cv::Point2f off(float(u * 0.5), float(u * 0.8));
    switch (kind) {
    case 0:
    case 1: drawPen(img, shadow, rng, c, u * rng.uniform(12, 19), rng.uniform(0.0, 180.0), u); break;
    case 2: { // sticky note
        static const cv::Scalar colours[] = {{250, 235, 120}, {250, 170, 190}, {170, 235, 160}};
        const auto q = turnedRect(c, u * 8, u * 8, angle);
        shadow.polygon(q, off * 0.5f);
        fillQuad(img, q, vary(rng, colours[rng.uniform(0, 3)], 6));
        break;
    }
    case 3: { // phone
        const auto q = turnedRect(c, u * 15, u * 30, angle);
        shadow.polygon(q, off);
        fillQuad(img, q, whiteDesk ? cv::Scalar(225, 225, 228) : cv::Scalar(28, 28, 32));
        fillQuad(img, turnedRect(c, u * 13.5, u * 27, angle), cv::Scalar(12, 14, 20));
        fillQuad(img, turnedRect(c - cv::Point2f(float(u * 3), float(u * 5)), u * 5, u * 12, angle + 30),
                 cv::Scalar(40, 44, 52)); // reflection
        break;
    }
    case 4: { // book or notebook, often partly outside the picture
        static const cv::Scalar colours[] = {{150, 40, 40}, {40, 80, 140}, {60, 110, 70}, {200, 160, 60}};
        const auto q = turnedRect(c, u * rng.uniform(28, 38), u * rng.uniform(38, 50), angle * 0.3);
        shadow.polygon(q, off);
        const cv::Scalar cover = vary(rng, colours[rng.uniform(0, 4)], 15);
        fillQuad(img, q, cover);
        fillQuad(img, turnedRect(c, u * 4, u * 40, angle * 0.3), cover * 0.7);
        break;
    }
    case 5: { // keyboard: a plate of keys (many short straight edges)
        const double kw = u * 70, kh = u * 22, a = angle * 0.2;
        const auto q = turnedRect(c, kw, kh, a);
        shadow.polygon(q, off);
        const cv::Scalar plate = whiteDesk ? cv::Scalar(215, 216, 220) : cv::Scalar(45, 45, 50);
        fillQuad(img, q, plate);
        const double ar = a * kPi / 180;
        const cv::Point2f ex(float(std::cos(ar)), float(std::sin(ar))), ey(-ex.y, ex.x);
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 15; ++col) {
                const cv::Point2f kc = c + ex * float((col - 7) * kw / 15.5) + ey * float((row - 2) * kh / 5.5);
                fillQuad(img, turnedRect(kc, kw / 17.5, kh / 6.8, a), whiteDesk ? plate + cv::Scalar::all(18) : plate * 0.6);
            }
        break;
    }
    default: drawMug(img, shadow, rng, c, u * rng.uniform(6, 9)); break;
    }
}

bool nearPage(cv::Point2f c, double radius, const std::vector<cv::Point2f> &quad) {
    return cv::pointPolygonTest(quad, c, true) > -radius;
}

// A cable: a smooth curve from one edge of the picture to another, passing
// over the page.
void drawCable(cv::Mat &img, SoftShadow &shadow, cv::RNG &rng, const std::vector<cv::Point2f> &quad, double u) {
    const float w = float(img.cols), h = float(img.rows);
    auto edgePoint = [&](int side) {
        const float t = float(rng.uniform(0.1, 0.9));
        switch (side) {
        case 0: return cv::Point2f(t * w, -5);
        case 1: return cv::Point2f(w + 5, t * h);
        case 2: return cv::Point2f(t * w, h + 5);
        default: return cv::Point2f(-5, t * h);
        }
    };
    const int from = rng.uniform(0, 4), to = (from + rng.uniform(1, 4)) % 4;
    const cv::Point2f p0 = edgePoint(from), p3 = edgePoint(to);
    const cv::Point2f centre = (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25f;
    const float reach = float(cv::norm(quad[0] - quad[2]) * 0.3);
    const cv::Point2f p1 = centre + cv::Point2f(float(rng.uniform(-1.0, 1.0)), float(rng.uniform(-1.0, 1.0))) * reach;
    const cv::Point2f p2 = centre + cv::Point2f(float(rng.uniform(-1.0, 1.0)), float(rng.uniform(-1.0, 1.0))) * reach;
    std::vector<cv::Point2f> pts;
    for (int k = 0; k <= 120; ++k) {
        const float t = k / 120.0f, s = 1 - t;
        pts.push_back(p0 * (s * s * s) + p1 * (3 * s * s * t) + p2 * (3 * s * t * t) + p3 * (t * t * t));
    }
    const double width = u * rng.uniform(0.6, 1.2);
    shadow.line(pts, cv::Point2f(float(width * 0.6), float(width)), width * 1.2);
    static const cv::Scalar colours[] = {{28, 28, 30}, {232, 232, 228}, {90, 90, 95}};
    const cv::Scalar colour = colours[rng.uniform(0, 3)];
    std::vector<std::vector<cv::Point>> line = {toFixed(pts)};
    cv::polylines(img, line, false, colour * 0.8, std::max(1, int(std::lround(width))), cv::LINE_AA, 8);
    for (auto &q : pts)
        q -= cv::Point2f(float(width * 0.15), float(width * 0.15));
    line = {toFixed(pts)};
    cv::polylines(img, line, false, colour * 0.75 + cv::Scalar::all(60), std::max(1, int(std::lround(width * 0.3))),
                  cv::LINE_AA, 8);
}

// A large soft shadow from one side of the picture (a person, a lamp arm).
void castShadow(cv::Mat &img, cv::RNG &rng, double strength) {
    SoftShadow s(img);
    const float w = float(img.cols), h = float(img.rows);
    const int side = rng.uniform(0, 4);
    std::vector<cv::Point2f> blob;
    const float depth = float(rng.uniform(0.25, 0.5));
    for (int k = 0; k <= 8; ++k) {
        const float t = k / 8.0f * 1.4f - 0.2f;
        const float reach = depth * float(0.6 + 0.4 * std::sin(t * kPi) + rng.uniform(-0.08, 0.08));
        switch (side) {
        case 0: blob.emplace_back(t * w, reach * h); break;
        case 1: blob.emplace_back(w * (1 - reach), t * h); break;
        case 2: blob.emplace_back(t * w, h * (1 - reach)); break;
        default: blob.emplace_back(reach * w, t * h); break;
        }
    }
    const cv::Point2f corners[4] = {{-10, -10}, {w + 10, -10}, {w + 10, h + 10}, {-10, h + 10}};
    const int a[4][2] = {{1, 0}, {2, 1}, {3, 2}, {0, 3}}; // far ends of the chosen side
    blob.push_back(corners[a[side][0]]);
    blob.push_back(corners[a[side][1]]);
    if (side == 0)
        std::swap(blob[blob.size() - 1], blob[blob.size() - 2]);
    s.polygon(blob, cv::Point2f(0, 0));
    s.apply(img, strength, 0.05 * h);
}

// Objects, shadows and cables of the harder scenes round and over the page;
// `drawSheet` draws the page itself at the right moment.
template <typename DrawSheet>
void drawHarderScene(cv::Mat &img, const SceneParams &p, const Point corners[4], DrawSheet drawSheet) {
    cv::RNG rng(p.seed * 0x9E3779B1u + 0x7F4A7C15u);
    std::vector<cv::Point2f> quad;
    for (int i = 0; i < 4; ++i)
        quad.emplace_back(float(corners[i].x), float(corners[i].y));
    const double u = 0.01 * img.rows;
    SoftShadow under(img);
    // Objects beside the page; a few tries to keep each clear of the sheet.
    std::vector<cv::Point2f> placed;
    for (int i = 0; i < p.clutter; ++i)
        for (int attempt = 0; attempt < 25; ++attempt) {
            const cv::Point2f c(float(rng.uniform(0.0, 1.0) * img.cols), float(rng.uniform(0.0, 1.0) * img.rows));
            if (nearPage(c, 22 * u, quad))
                continue;
            placed.push_back(c);
            break;
        }
    // The sheet's own contact shadow: a sheet is never quite flat, and
    // casts at least a faint one.
    if (p.page) {
        const float reach = float(p.shadow > 0 ? 0.35 * u : 0.15 * u);
        under.polygon(quad, cv::Point2f(reach, reach * 1.5f));
    }
    // Shadows first, then the objects over them: every object is drawn
    // twice with the same random choices (a copy of the generator), once on
    // a scratch picture only to collect its shadow, once for real.
    {
        cv::Mat scratch = img.clone();
        cv::RNG objRng = rng;
        for (const cv::Point2f &c : placed)
            drawDeskObject(scratch, under, objRng, c, u, p.deskTexture == 6);
    }
    under.apply(img, 0.3 + 0.3 * p.shadow, 0.6 * u);
    SoftShadow ignored(img);
    for (const cv::Point2f &c : placed)
        drawDeskObject(img, ignored, rng, c, u, p.deskTexture == 6);
    drawSheet();
    // Things lying on the page: a mug over a corner, then pens; cables.
    SoftShadow over(img);
    struct Top {
        int kind;
        cv::Point2f c;
        double size, angle;
    };
    std::vector<Top> tops;
    for (int i = 0; i < p.onPage; ++i) {
        if (i == 0) {
            const cv::Point2f corner = quad[std::size_t(rng.uniform(0, 4))];
            const cv::Point2f centre = (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25f;
            cv::Point2f out = corner - centre;
            out *= float(1.0 / std::max(1.0, cv::norm(out)));
            const double r = u * rng.uniform(6.0, 8.5);
            tops.push_back({1, corner + out * float(r * rng.uniform(-0.2, 0.45)), r, 0});
        } else {
            const float a = float(rng.uniform(0.1, 0.9)), b = float(rng.uniform(0.1, 0.9));
            const cv::Point2f c = (quad[0] * (1 - a) + quad[1] * a) * (1 - b) + (quad[3] * (1 - a) + quad[2] * a) * b;
            tops.push_back({0, c, u * rng.uniform(12, 19), rng.uniform(0.0, 180.0)});
        }
    }
    std::vector<cv::RNG> cableRngs;
    for (int i = 0; i < p.cables; ++i)
        cableRngs.emplace_back(rng.next());
    {
        cv::Mat scratch = img.clone();
        cv::RNG objRng = rng;
        for (const Top &t : tops) {
            if (t.kind == 1)
                drawMug(scratch, over, objRng, t.c, t.size);
            else
                drawPen(scratch, over, objRng, t.c, t.size, t.angle, u);
        }
        for (cv::RNG r : cableRngs)
            drawCable(scratch, over, r, quad, u);
    }
    over.apply(img, 0.3 + 0.3 * p.shadow, 0.5 * u);
    for (const Top &t : tops) {
        if (t.kind == 1)
            drawMug(img, ignored, rng, t.c, t.size);
        else
            drawPen(img, ignored, rng, t.c, t.size, t.angle, u);
    }
    for (cv::RNG r : cableRngs)
        drawCable(img, ignored, r, quad, u);
    if (p.shadow > 0)
        castShadow(img, rng, 0.45 * std::min(1.0, p.shadow));
}

void applyColourCast(cv::Mat &img, double cast) {
    if (cast == 0)
        return;
    cast = std::clamp(cast, -1.0, 1.0);
    cv::multiply(img, cv::Scalar(1 + 0.10 * cast, 1 + 0.01 * cast, 1 - 0.14 * cast), img);
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
    auto sheet = [&] {
        if (params.page)
            drawPage(img, s.corners, pageRng, params);
    };
    if (params.clutter > 0 || params.onPage > 0 || params.cables > 0 || params.shadow > 0 || params.deskTexture >= 4)
        drawHarderScene(img, params, s.corners, sheet);
    else
        sheet();
    applyLight(img, params.lightFalloff);
    applyColourCast(img, params.colourCast);
    if (params.blur > 0)
        cv::GaussianBlur(img, img, cv::Size(0, 0), params.blur);
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
