// Page search: where is the sheet of paper in a photograph of a desk?
//
// What tells a sheet from a desk in general: its outline is four long,
// straight edges meeting at plausible angles (a rectangle seen in
// perspective), across each of which the picture changes consistently
// from desk to paper; inside lies light, nearly colourless, smooth paper
// carrying some print.  Desks differ too much (dark, wood, coloured, white,
// cluttered) for any one colour rule, so the search makes many guesses and
// measures each against the picture:
//
//  1. A working copy at most 700 pixels across (reduced by a power of two).
//     Derivatives are taken of grey and of two colour-opponent channels;
//     each pixel keeps the strongest, so an edge counts whether it is one
//     of brightness or of colour.  The edge bar follows the picture's own
//     texture and noise.
//  2. Guesses: quadrilaterals of long lines (edge chains at two scales split
//     into straight pieces, merged along common lines; two roughly opposite
//     pairs of lines; the picture's edges stand in for one side of a sheet
//     reaching past them); outlines of light, colourless regions; outlines
//     of closed edge chains.
//  3. Each guess is scored by the evidence along its sides: the share of
//     each side where an edge of the side's direction lies, one direction
//     of change along it, paper inside and (where the desk can be told from
//     paper at all) desk outside rather than paper on both sides as along a
//     printed line; by how much the inside looks like paper; by its shape.
//     The four side scores combine as a geometric mean, so a side hidden in
//     part (a mug, a cable, a pen) costs little and a missing side much.
//  4. The best guesses are re-fitted: each side becomes a line through the
//     edge points found along it, so corners under a mug come from the
//     lines.  Sides running along print (a table's frame, a staff, a line of
//     text) are tried further out, at long lines and where edges line up
//     again beyond them; an outline round the best one that is itself well
//     supported is the sheet, the best one something printed on it.
//  5. The winner's sides are re-fitted on the full picture to a fraction of
//     a pixel.  Its score, 0..1000, is the confidence; below 450 nothing is
//     reported.
#include "internal.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace zarnimage {

namespace {

using Quad = std::array<cv::Point2f, 4>;

constexpr int kWorkLongSide = 700;     // the working copy's longest side, at most
constexpr double kMinPageArea = 0.02;  // of the picture
constexpr double kMaxPageArea = 0.985; // a sheet needs some desk round it
constexpr double kReportScore = 0.45;  // confidence 450: less is no page
constexpr double kBorderSide = 0.45;   // score of a side that is the picture's edge
constexpr int kRun = 4;                // samples (2.5 pixels apart) in an unbroken edge

// ---------------------------------------------------------------- geometry

float cross(cv::Point2f a, cv::Point2f b)
{
    return a.x * b.y - a.y * b.x;
}

float length(cv::Point2f v)
{
    return std::sqrt(v.x * v.x + v.y * v.y);
}

struct Line {
    cv::Point2f p, d; // a point and the unit direction
};

bool intersect(const Line &a, const Line &b, cv::Point2f &out)
{
    float den = cross(a.d, b.d);
    if (std::abs(den) < 1e-4f)
        return false;
    out = a.p + a.d * (cross(b.p - a.p, b.d) / den);
    return true;
}

double quadArea(const Quad &q)
{
    double a = 0;
    for (int i = 0; i < 4; ++i)
        a += cross(q[i], q[(i + 1) % 4]);
    return std::abs(a) / 2;
}

bool convex(const Quad &q)
{
    int sign = 0;
    for (int i = 0; i < 4; ++i) {
        float c = cross(q[(i + 1) % 4] - q[i], q[(i + 2) % 4] - q[(i + 1) % 4]);
        if (std::abs(c) < 1e-3f)
            return false;
        int s = c > 0 ? 1 : -1;
        if (sign && s != sign)
            return false;
        sign = s;
    }
    return true;
}

// Corners in the order top-left, top-right, bottom-right, bottom-left
// (clockwise on screen, starting at the corner nearest the top left).
Quad ordered(const std::vector<cv::Point2f> &pts)
{
    cv::Point2f centre(0, 0);
    for (const auto &p : pts)
        centre += p;
    centre *= 1.0f / static_cast<float>(pts.size());
    Quad q;
    std::copy(pts.begin(), pts.begin() + 4, q.begin());
    std::sort(q.begin(), q.end(), [&](const cv::Point2f &a, const cv::Point2f &b) {
        return std::atan2(a.y - centre.y, a.x - centre.x) < std::atan2(b.y - centre.y, b.x - centre.x);
    });
    // For a sheet turned by up to 45 degrees, the top-left corner is the one
    // with the smallest x + y.
    auto first = std::min_element(q.begin(), q.end(),
                                  [](const cv::Point2f &a, const cv::Point2f &b) { return a.x + a.y < b.x + b.y; });
    std::rotate(q.begin(), first, q.end());
    return q;
}

Quad orderedQuad(const Quad &q)
{
    return ordered(std::vector<cv::Point2f>(q.begin(), q.end()));
}

double interiorAngleDeg(const Quad &q, int i)
{
    cv::Point2f a = q[(i + 3) % 4] - q[i], b = q[(i + 1) % 4] - q[i];
    double c = (a.x * b.x + a.y * b.y) / (std::max(1e-6f, length(a)) * std::max(1e-6f, length(b)));
    return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / CV_PI;
}

// The middle one of a few values (the upper middle of an even count).
double middle(double *v, int n)
{
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && v[j] < v[j - 1]; --j)
            std::swap(v[j], v[j - 1]);
    return v[n / 2];
}

double ramp(double x, double lo, double hi)
{
    return std::clamp((x - lo) / (hi - lo), 0.0, 1.0);
}

// ---------------------------------------------------------------- working copy

struct Work {
    int factor = 1;     // picture pixels per working pixel
    cv::Mat rgb;        // working copy (8UC3)
    cv::Mat grey;       // 8U
    cv::Mat chan[3];    // grey, red-green, yellow-blue (8U, colour around 128)
    cv::Mat gx, gy;     // 16S: derivatives of the strongest channel
    cv::Mat greyGx, greyGy; // 16S: derivatives of grey
    cv::Mat edges;      // 8U, Canny's edges of gx, gy
    double brightLevel = 255; // grey level of the brightest few per cent
    int edgeThreshold = 28;   // least derivative across a side (Sobel units)
    double minArea = 0, maxArea = 0, minSide = 0;
};

int percentile(const cv::Mat &grey, double share)
{
    int hist[256] = {};
    for (int y = 0; y < grey.rows; ++y) {
        const std::uint8_t *row = grey.ptr<std::uint8_t>(y);
        for (int x = 0; x < grey.cols; ++x)
            ++hist[row[x]];
    }
    long want = static_cast<long>(share * grey.total()), seen = 0;
    for (int v = 0; v < 256; ++v) {
        seen += hist[v];
        if (seen >= want)
            return v;
    }
    return 255;
}

// The mean of each factor x factor block.  (OpenCV's area resize has a
// fast path for halving: powers of two go by halves.)
cv::Mat shrink(const cv::Mat &image, int factor)
{
    cv::Mat out;
    if (factor <= 1)
        return image.clone();
    if ((factor & (factor - 1)) == 0) {
        out = image;
        for (int f = factor; f > 1; f /= 2) {
            cv::Mat half;
            cv::resize(out, half, cv::Size(out.cols / 2, out.rows / 2), 0, 0, cv::INTER_AREA);
            out = half;
        }
        return out;
    }
    cv::resize(image, out, cv::Size(image.cols / factor, image.rows / factor), 0, 0, cv::INTER_AREA);
    return out;
}

Work prepare(const cv::Mat &image)
{
    Work w;
    // A power of two: halving is the fast way down.
    w.factor = 1;
    while (std::max(image.cols, image.rows) > kWorkLongSide * w.factor)
        w.factor *= 2;
    cv::Mat small = shrink(image, w.factor);
    if (small.channels() == 1)
        cv::cvtColor(small, small, cv::COLOR_GRAY2RGB);
    w.rgb = small;
    cv::cvtColor(small, w.grey, cv::COLOR_RGB2GRAY);
    w.brightLevel = std::max(40, percentile(w.grey, 0.97));

    w.chan[0] = w.grey;
    w.chan[1].create(small.size(), CV_8U);
    w.chan[2].create(small.size(), CV_8U);
    for (int y = 0; y < small.rows; ++y) {
        const std::uint8_t *px = small.ptr<std::uint8_t>(y);
        std::uint8_t *rg = w.chan[1].ptr<std::uint8_t>(y), *yb = w.chan[2].ptr<std::uint8_t>(y);
        for (int x = 0; x < small.cols; ++x, px += 3) {
            rg[x] = cv::saturate_cast<std::uint8_t>(px[0] - px[1] + 128);
            yb[x] = cv::saturate_cast<std::uint8_t>((px[0] + px[1]) / 2 - px[2] + 128);
        }
    }
    // Derivatives: per pixel those of the channel that changes most.
    cv::Mat dx[3], dy[3];
    for (int c = 0; c < 3; ++c) {
        cv::Sobel(w.chan[c], dx[c], CV_16S, 1, 0, 3);
        cv::Sobel(w.chan[c], dy[c], CV_16S, 0, 1, 3);
    }
    w.greyGx = dx[0];
    w.greyGy = dy[0];
    w.gx = dx[0].clone();
    w.gy = dy[0].clone();
    for (int y = 0; y < small.rows; ++y) {
        std::int16_t *ox = w.gx.ptr<std::int16_t>(y), *oy = w.gy.ptr<std::int16_t>(y);
        const std::int16_t *x1 = dx[1].ptr<std::int16_t>(y), *y1 = dy[1].ptr<std::int16_t>(y);
        const std::int16_t *x2 = dx[2].ptr<std::int16_t>(y), *y2 = dy[2].ptr<std::int16_t>(y);
        for (int x = 0; x < small.cols; ++x) {
            int m0 = std::abs(ox[x]) + std::abs(oy[x]);
            // Colour is sampled coarser than brightness by cameras: it
            // counts when it clearly beats brightness.
            int m1 = (std::abs(x1[x]) + std::abs(y1[x])) * 3 / 4;
            int m2 = (std::abs(x2[x]) + std::abs(y2[x])) * 3 / 4;
            if (m1 > m0 && m1 >= m2) {
                ox[x] = x1[x];
                oy[x] = y1[x];
            } else if (m2 > m0) {
                ox[x] = x2[x];
                oy[x] = y2[x];
            }
        }
    }
    {
        // An edge must stand out of the desk's texture and the noise: the
        // bar follows the derivative most of the picture stays below.
        std::vector<int> hist(1024, 0);
        for (int y = 0; y < small.rows; ++y) {
            const std::int16_t *gx = w.gx.ptr<std::int16_t>(y), *gy = w.gy.ptr<std::int16_t>(y);
            for (int x = 0; x < small.cols; ++x)
                ++hist[std::min(1023, std::abs(gx[x]) + std::abs(gy[x]))];
        }
        long total = static_cast<long>(small.total()), seen = 0;
        int q75 = 1023;
        for (int v = 0; v < 1024; ++v) {
            seen += hist[static_cast<std::size_t>(v)];
            if (seen * 4 >= 3 * total) {
                q75 = v;
                break;
            }
        }
        w.edgeThreshold = std::clamp(static_cast<int>(0.6 * q75 + 8), 16, 44);
    }
    cv::Canny(w.gx, w.gy, w.edges, w.edgeThreshold, 2.5 * w.edgeThreshold, false);
    double area = static_cast<double>(small.cols) * small.rows;
    w.minArea = kMinPageArea * area;
    w.maxArea = kMaxPageArea * area;
    w.minSide = 0.08 * std::min(small.cols, small.rows);
    return w;
}

// ---------------------------------------------------------------- scoring

struct SideStats {
    bool visible = false; // enough of the side lies inside the picture
    double support = 0;   // share of the visible side with an edge along it
    double agreement = 0; // share of those edges with the majority polarity
    double continuity = 0; // share of those edges in long unbroken runs
    double step = 0;      // colour difference of the strips inside and outside
    double content = 0;   // share of the strip just inside that is dark (print)
    double inLevel = 0, outLevel = 0; // grey of the strips inside and outside
    double inChroma = 0;  // colourfulness of the strip inside
    double texture = 0;   // derivative in the strip inside (paper is smooth)
    bool border = false;  // the side is the picture's edge
    double score = 0;
};

struct QuadStats {
    SideStats side[4];
    double paperLevel = 0; // grey of the paper along the sides
    double edge = 0, paper = 0, shape = 0, score = 0;
};

inline cv::Point clampPoint(cv::Point2f p, const cv::Mat &m)
{
    return {std::clamp(cvRound(p.x), 0, m.cols - 1), std::clamp(cvRound(p.y), 0, m.rows - 1)};
}

inline bool insidePicture(cv::Point2f p, const cv::Mat &m, float margin)
{
    return p.x >= -margin && p.y >= -margin && p.x <= m.cols - 1 + margin && p.y <= m.rows - 1 + margin;
}

// The strongest derivative across the side near p (offsets -reach..reach
// along the inward normal n), among those whose direction is that of the
// side's normal.  Returns the derivative along n (signed) and its offset.
inline int bestAcross(const Work &w, cv::Point2f p, cv::Point2f n, cv::Point2f t, int reach, float &offset)
{
    int best = 0;
    offset = 0;
    for (int o = -reach; o <= reach; ++o) {
        cv::Point2f q = p + n * static_cast<float>(o);
        if (q.x < 1 || q.y < 1 || q.x > w.gx.cols - 2 || q.y > w.gx.rows - 2)
            continue;
        int xi = cvRound(q.x), yi = cvRound(q.y);
        float gx = w.gx.at<std::int16_t>(yi, xi), gy = w.gy.at<std::int16_t>(yi, xi);
        float across = gx * n.x + gy * n.y, along = gx * t.x + gy * t.y;
        if (std::abs(along) > 0.6f * std::abs(across))
            continue;
        if (std::abs(across) > std::abs(best)) {
            best = static_cast<int>(across);
            offset = static_cast<float>(o);
        }
    }
    return best;
}

// Grey level below which a share of the values lies.
double quantile(std::vector<std::uint8_t> &v, double share)
{
    if (v.empty())
        return 0;
    auto k = v.begin() + static_cast<std::ptrdiff_t>(share * (v.size() - 1));
    std::nth_element(v.begin(), k, v.end());
    return *k;
}

// A curled or bowed sheet: the share of the side (from a to b, inward
// normal n, direction t) with an edge along a gentle bow between its ends,
// offset(f) = c f (1 - f) for f from 0 to 1 along the side, and the share
// of those edges with the majority direction of change.
struct Bow {
    double support = 0, agreement = 0;
};

Bow bowedSupport(const Work &w, cv::Point2f a, cv::Point2f b, cv::Point2f n, cv::Point2f t, int steps)
{
    const float len = length(b - a);
    const int reach = std::clamp(static_cast<int>(0.06f * len), 3, 24);
    struct Hit {
        float f, offset;
        bool positive;
    };
    std::vector<Hit> hits;
    int visible = 0;
    for (int k = 0; k < steps; ++k) {
        float f = 0.04f + 0.92f * (k + 0.5f) / steps;
        cv::Point2f p = a + (b - a) * f;
        if (!insidePicture(p, w.grey, -2.0f))
            continue;
        ++visible;
        float offset;
        int d = bestAcross(w, p, n, t, reach, offset);
        if (std::abs(d) >= w.edgeThreshold)
            hits.push_back({f, offset, d > 0});
    }
    Bow bow;
    if (!visible || hits.size() < 6)
        return bow;
    int positive = 0;
    for (const Hit &h : hits)
        positive += h.positive;
    const bool sign = 2 * positive >= static_cast<int>(hits.size());
    // The bow's depth c by least squares, twice: then without far points.
    double c = 0;
    for (float keep : {1e9f, 3.0f}) {
        double num = 0, den = 0;
        for (const Hit &h : hits) {
            double g = h.f * (1 - h.f);
            if (h.positive == sign && std::abs(h.offset - c * g) <= keep) {
                num += h.offset * g;
                den += g * g;
            }
        }
        c = den > 0 ? num / den : 0;
    }
    int close = 0, agreeing = 0;
    for (const Hit &h : hits)
        if (std::abs(h.offset - c * h.f * (1 - h.f)) <= 1.5f) {
            ++close;
            agreeing += h.positive == sign;
        }
    bow.support = static_cast<double>(agreeing) / visible;
    bow.agreement = close ? static_cast<double>(agreeing) / close : 0;
    return bow;
}

// Evidence for the side from a to b of a quadrilateral with centre c:
// edges along it, and the strips either side of it.
SideStats sideStats(const Work &w, cv::Point2f a, cv::Point2f b, cv::Point2f c, int reach)
{
    SideStats s;
    cv::Point2f t = b - a;
    float len = length(t);
    if (len < 4)
        return s;
    t *= 1.0f / len;
    cv::Point2f n(-t.y, t.x);
    if (n.dot(c - a) < 0)
        n = -n;
    int steps = std::clamp(static_cast<int>(len / 2.5f), 8, 160);
    int visible = 0, hits = 0, pos = 0, neg = 0, dark = 0, run = 0, inRuns = 0;
    std::vector<std::uint8_t> near, in, out, texture;
    near.reserve(static_cast<std::size_t>(steps));
    in.reserve(static_cast<std::size_t>(2 * steps));
    out.reserve(static_cast<std::size_t>(2 * steps));
    double colourIn[2] = {0, 0}, colourOut[2] = {0, 0}, chroma = 0;
    for (int k = 0; k < steps; ++k) {
        float f = 0.04f + 0.92f * (k + 0.5f) / steps;
        cv::Point2f p = a + (b - a) * f;
        if (!insidePicture(p, w.grey, -2.0f))
            continue;
        ++visible;
        float offset;
        int d = bestAcross(w, p, n, t, reach, offset);
        if (std::abs(d) >= w.edgeThreshold) {
            ++hits;
            (d > 0 ? pos : neg) += 1;
            // Hits in long runs: an edge, not the ends of lines of text.
            if (++run == kRun)
                inRuns += kRun;
            else if (run > kRun)
                ++inRuns;
        } else {
            run = 0;
        }
        cv::Point2f e = p + n * offset; // the edge, where there is one
        near.push_back(std::min(w.grey.at<std::uint8_t>(clampPoint(e + n * 2.0f, w.grey)),
                                w.grey.at<std::uint8_t>(clampPoint(e + n * 3.5f, w.grey))));
        for (float depth : {5.0f, 8.0f}) {
            cv::Point qi = clampPoint(e + n * depth, w.grey), qo = clampPoint(e - n * depth, w.grey);
            in.push_back(w.grey.at<std::uint8_t>(qi));
            out.push_back(w.grey.at<std::uint8_t>(qo));
            for (int ch = 0; ch < 2; ++ch) {
                colourIn[ch] += w.chan[ch + 1].at<std::uint8_t>(qi);
                colourOut[ch] += w.chan[ch + 1].at<std::uint8_t>(qo);
            }
            const cv::Vec3b &px = w.rgb.at<cv::Vec3b>(qi);
            chroma += std::max({px[0], px[1], px[2]}) - std::min({px[0], px[1], px[2]});
            cv::Point qt = clampPoint(e + n * (depth - 1.5f), w.grey);
            texture.push_back(static_cast<std::uint8_t>(
                std::min(255, (std::abs(w.greyGx.at<std::int16_t>(qt)) + std::abs(w.greyGy.at<std::int16_t>(qt))) / 2)));
        }
    }
    // A side must be seen over most of its length: a sheet may reach a
    // little past the picture's edge, but a side outside is no evidence.
    if (visible < 0.45 * steps)
        return s;
    s.visible = true;
    s.support = static_cast<double>(hits) / visible;
    s.agreement = hits ? static_cast<double>(std::max(pos, neg)) / hits : 0;
    s.continuity = hits ? static_cast<double>(inRuns) / hits : 0;
    // A sheet's edge may bow (a curled sheet, a booklet's page): when the
    // straight side finds little, look for a bow between its ends.
    if (s.support < 0.7 && len > 40) {
        Bow bow = bowedSupport(w, a, b, n, t, steps);
        if (0.9 * bow.support > s.support) {
            s.support = 0.9 * bow.support;
            s.agreement = bow.agreement;
            s.continuity = 1;
        }
    }
    // Paper level inside (most of the strip is paper even where print,
    // a pen or a cable lies on it), desk level outside.
    s.inLevel = quantile(in, 0.9);
    s.outLevel = quantile(out, 0.9);
    const double samples = static_cast<double>(in.size());
    s.inChroma = chroma / samples;
    s.texture = 2 * quantile(texture, 0.35);
    double colourStep = 0;
    for (int ch = 0; ch < 2; ++ch)
        colourStep += std::abs(colourIn[ch] - colourOut[ch]) / samples;
    s.step = std::abs(s.inLevel - s.outLevel) + 0.7 * colourStep;
    // Print right inside the side: the side runs along print.
    const double bar = 0.75 * s.inLevel;
    for (auto v : near)
        dark += v < bar;
    s.content = static_cast<double>(dark) / near.size();
    return s;
}

double shapeScore(const Quad &q)
{
    double s = 1;
    for (int i = 0; i < 4; ++i) {
        double a = interiorAngleDeg(q, i);
        s *= ramp(a, 35, 62) * ramp(180 - a, 35, 62);
    }
    double top = length(q[1] - q[0]), bottom = length(q[2] - q[3]);
    double left = length(q[3] - q[0]), right = length(q[2] - q[1]);
    s *= ramp(std::min(top, bottom) / std::max(top, bottom), 0.3, 0.6);
    s *= ramp(std::min(left, right) / std::max(left, right), 0.3, 0.6);
    double aspect = (top + bottom) / std::max(1.0, left + right);
    if (aspect < 1)
        aspect = 1 / aspect;
    // Sheets, slips and receipts; hardly ever longer than 1 : 3.
    s *= 1 - ramp(aspect, 2.8, 3.6);
    return s;
}

// Share of the inside of q (a grid of points away from the sides) much
// darker than the paper: print.
double inkShare(const Work &w, const Quad &q, double paperLevel)
{
    const int n = 24;
    const double bar = 0.55 * paperLevel;
    int dark = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            float u = 0.06f + 0.88f * (i + 0.5f) / n, v = 0.06f + 0.88f * (j + 0.5f) / n;
            cv::Point2f top = q[0] + (q[1] - q[0]) * u, bottom = q[3] + (q[2] - q[3]) * u;
            cv::Point p = clampPoint(top + (bottom - top) * v, w.grey);
            dark += w.grey.at<std::uint8_t>(p) < bar;
        }
    return static_cast<double>(dark) / (n * n);
}

// Which edge of the picture the side from a to b lies along (0 left,
// 1 top, 2 right, 3 bottom), or -1.  A sheet reaching past the picture's
// edge shows the edge as its side there.
int borderOf(cv::Point2f a, cv::Point2f b, cv::Size size)
{
    const float tol = 2.5f;
    const float right = static_cast<float>(size.width - 1), bottom = static_cast<float>(size.height - 1);
    if (std::abs(a.x) < tol && std::abs(b.x) < tol)
        return 0;
    if (std::abs(a.y) < tol && std::abs(b.y) < tol)
        return 1;
    if (std::abs(a.x - right) < tol && std::abs(b.x - right) < tol)
        return 2;
    if (std::abs(a.y - bottom) < tol && std::abs(b.y - bottom) < tol)
        return 3;
    return -1;
}

QuadStats scoreQuad(const Work &w, const Quad &q, int reach = 2)
{
    QuadStats st;
    if (!convex(q))
        return st;
    double area = quadArea(q);
    if (area < w.minArea || area > w.maxArea)
        return st;
    // Corners may lie a little outside the picture (a sheet at its edge).
    for (const auto &p : q) {
        float margin = 0.06f * std::max(w.grey.cols, w.grey.rows);
        if (!insidePicture(p, w.grey, margin))
            return st;
    }
    cv::Point2f c = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    double paperLevel = 0;
    int borderSides = 0, seenSides = 0;
    for (int i = 0; i < 4; ++i) {
        if (length(q[(i + 1) % 4] - q[i]) < w.minSide)
            return st;
        if (borderOf(q[i], q[(i + 1) % 4], w.grey.size()) >= 0) {
            st.side[i].border = true;
            ++borderSides;
            continue;
        }
        st.side[i] = sideStats(w, q[i], q[(i + 1) % 4], c, reach);
        if (!st.side[i].visible)
            return st;
        ++seenSides;
    }
    // At most one side may be the picture's edge: three must be seen.
    if (borderSides > 1)
        return st;
    {
        // The paper's level: the second brightest side (one may lie in a
        // bright spot, one or two in shadow).
        std::vector<double> levels;
        for (const auto &side : st.side)
            if (!side.border)
                levels.push_back(side.inLevel);
        std::sort(levels.begin(), levels.end());
        paperLevel = levels[levels.size() - 2];
    }
    st.paperLevel = paperLevel;
    double product = 1, chroma = 0, texture = 0, steps[4];
    int counted = 0;
    for (int i = 0; i < 4; ++i) {
        SideStats &s = st.side[i];
        if (s.border) {
            s.score = kBorderSide;
            product *= s.score;
            continue;
        }
        double agree = 0.4 + 0.6 * ramp(s.agreement, 0.5, 0.9);
        // Paper inside, desk outside: where the other sides show the desk
        // apart from the paper, a side with paper on both sides is a line
        // printed on the sheet.  (On a white desk no side shows much.)
        double others[3];
        int n = 0;
        for (int j = 0; j < 4; ++j)
            if (j != i && !st.side[j].border)
                others[n++] = st.side[j].step;
        double usual = middle(others, n);
        double step = 0.3 + 0.7 * ramp(s.step / std::max(6.0, usual), 0.15, 0.5);
        double margin = 1 - 0.5 * ramp(s.content, 0.25, 0.6);
        // The same paper along all four sides (a shadow may darken one).
        double same = ramp(s.inLevel / std::max(1.0, paperLevel), 0.6, 0.8);
        double unbroken = 0.35 + 0.65 * ramp(s.continuity, 0.3, 0.7);
        s.score = s.support * agree * step * margin * same * unbroken;
        product *= std::max(0.02, s.score);
        chroma += s.inChroma / seenSides;
        texture += s.texture / seenSides;
        steps[counted++] = s.step;
    }
    st.edge = std::pow(product, 0.25);
    // One poor side may be hidden, faint or past the picture's edge; two
    // are no sheet's outline.
    int poor = 0;
    for (const auto &side : st.side)
        poor += side.border || side.score < 0.3;
    if (poor > 1)
        st.edge *= std::pow(0.6, poor - 1);
    // Paper: among the brightest things in the picture, and nearly grey.
    double bright = ramp(paperLevel / w.brightLevel, 0.5, 0.8) * ramp(paperLevel, 110, 160);
    double grey = 1 - ramp(chroma, 45, 95);
    // Paper is smooth next to its edges; wood, fabric and keys are not.
    double smooth = 1 - 0.4 * ramp(texture, 30, 60);
    st.paper = bright * grey * smooth;
    st.shape = shapeScore(q);
    // Most sheets carry print: a blank one needs clear edges, and where
    // the desk is as light as paper (no side shows a step) print is what
    // tells a sheet from a white object.  But print covers a fraction of a
    // sheet, not most of it.
    double weak = 1 - ramp(middle(steps, counted), 8, 20);
    double need = 0.45 + 0.55 * weak;
    double ink = inkShare(w, q, paperLevel);
    st.paper *= 1 - need * (1 - ramp(ink, 0.003, 0.02));
    st.paper *= 1 - ramp(ink, 0.4, 0.7);
    st.score = st.edge * st.paper * st.shape;
    // A sheet cut by the picture's edge is less certain than a whole one.
    if (borderSides)
        st.score *= 0.85;
    return st;
}

// ---------------------------------------------------------------- refitting

// Least-squares line through the points with |residual| <= limit from
// `line` (all points when limit is negative); false when fewer than six.
bool fitClose(const std::vector<cv::Point2f> &pts, Line &line, float limit)
{
    double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (const auto &p : pts) {
        if (limit >= 0 && std::abs(cross(p - line.p, line.d)) > limit)
            continue;
        n += 1;
        sx += p.x;
        sy += p.y;
        sxx += static_cast<double>(p.x) * p.x;
        syy += static_cast<double>(p.y) * p.y;
        sxy += static_cast<double>(p.x) * p.y;
    }
    if (n < 6)
        return false;
    double mx = sx / n, my = sy / n;
    double cxx = sxx / n - mx * mx, cyy = syy / n - my * my, cxy = sxy / n - mx * my;
    double angle = 0.5 * std::atan2(2 * cxy, cxx - cyy);
    line = {cv::Point2f(static_cast<float>(mx), static_cast<float>(my)),
            cv::Point2f(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)))};
    return true;
}

// A line through points of which some are stray (print, clutter): fitted
// to all, then again to those near the fit, narrowing to `keep` pixels.
bool robustLine(const std::vector<cv::Point2f> &pts, Line &line, float keep)
{
    if (!fitClose(pts, line, -1))
        return false;
    for (float limit : {3 * keep, 1.5f * keep, keep}) {
        Line narrower = line;
        if (!fitClose(pts, narrower, limit))
            break;
        line = narrower;
    }
    return true;
}

// Re-fits each side through the edge points found across it within
// `reach` pixels (keeping the side's majority polarity); sides with too few
// points stay as they are.
bool refitSides(const Work &w, Quad &q, int reach)
{
    cv::Point2f c = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    std::array<Line, 4> lines;
    for (int i = 0; i < 4; ++i) {
        cv::Point2f a = q[i], b = q[(i + 1) % 4];
        cv::Point2f t = b - a;
        float len = length(t);
        if (len < 4)
            return false;
        t *= 1.0f / len;
        cv::Point2f n(-t.y, t.x);
        if (n.dot(c - a) < 0)
            n = -n;
        lines[i] = {a, t};
        int steps = std::clamp(static_cast<int>(len), 10, 600);
        std::vector<cv::Point2f> pos, neg;
        for (int k = 0; k < steps; ++k) {
            cv::Point2f p = a + (b - a) * (0.04f + 0.92f * (k + 0.5f) / steps);
            if (!insidePicture(p, w.grey, -2.0f))
                continue;
            float offset;
            int d = bestAcross(w, p, n, t, reach, offset);
            if (std::abs(d) >= w.edgeThreshold)
                (d > 0 ? pos : neg).push_back(p + n * offset);
        }
        std::vector<cv::Point2f> &pts = pos.size() >= neg.size() ? pos : neg;
        Line fitted;
        if (pts.size() >= std::max<std::size_t>(8, static_cast<std::size_t>(0.25 * steps)) &&
            robustLine(pts, fitted, 1.5f))
            lines[i] = fitted;
    }
    Quad r;
    for (int i = 0; i < 4; ++i)
        if (!intersect(lines[(i + 3) % 4], lines[i], r[i]))
            return false;
    if (!convex(r))
        return false;
    q = r;
    return true;
}

// ---------------------------------------------------------------- guesses

struct Segment {
    cv::Point2f a, b;
    float len;
};

// Straight pieces of the edge chains of an edge picture, in working pixels
// (`scale` maps the edge picture's pixels to working pixels).
void edgeSegments(const cv::Mat &edges, float scale, float minLen, std::vector<Segment> &out)
{
    std::vector<std::vector<cv::Point>> chains;
    cv::findContours(edges, chains, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
    std::vector<cv::Point> poly;
    for (const auto &chain : chains) {
        if (chain.size() < 2 * minLen / scale)
            continue;
        cv::approxPolyDP(chain, poly, 1.2, true);
        for (std::size_t i = 0; i < poly.size(); ++i) {
            cv::Point2f a(poly[i]), b(poly[(i + 1) % poly.size()]);
            float len = length(b - a) * scale;
            if (len >= minLen)
                out.push_back({(a + cv::Point2f(0.5f, 0.5f)) * scale - cv::Point2f(0.5f, 0.5f),
                               (b + cv::Point2f(0.5f, 0.5f)) * scale - cv::Point2f(0.5f, 0.5f), len});
        }
    }
}

// A long line made of collinear segments.
struct LongLine {
    Line line;
    std::vector<std::pair<float, float>> spans; // covered stretches along line.d
    float covered = 0;
    double angle = 0;  // of the direction, 0..pi
    double weight = 0; // covered length, less for lines that are no step
};

void addSpan(LongLine &l, float t0, float t1)
{
    if (t0 > t1)
        std::swap(t0, t1);
    l.spans.emplace_back(t0, t1);
}

void finishLine(LongLine &l)
{
    std::sort(l.spans.begin(), l.spans.end());
    std::vector<std::pair<float, float>> merged;
    for (const auto &s : l.spans) {
        if (!merged.empty() && s.first <= merged.back().second + 1.0f)
            merged.back().second = std::max(merged.back().second, s.second);
        else
            merged.push_back(s);
    }
    l.spans = merged;
    l.covered = 0;
    for (const auto &s : merged)
        l.covered += s.second - s.first;
    l.angle = std::atan2(l.line.d.y, l.line.d.x);
    if (l.angle < 0)
        l.angle += CV_PI;
    if (l.angle >= CV_PI)
        l.angle -= CV_PI;
}

// Share of [t0, t1] covered by the line's spans.
float coverage(const LongLine &l, float t0, float t1)
{
    if (t0 > t1)
        std::swap(t0, t1);
    float c = 0;
    for (const auto &s : l.spans)
        c += std::max(0.0f, std::min(t1, s.second) - std::max(t0, s.first));
    return c / std::max(1.0f, t1 - t0);
}

std::vector<LongLine> mergeSegments(std::vector<Segment> segs)
{
    std::sort(segs.begin(), segs.end(), [](const Segment &x, const Segment &y) { return x.len > y.len; });
    std::vector<LongLine> lines;
    const float maxDist = 1.8f;
    const float maxCos = std::cos(2.5f * static_cast<float>(CV_PI) / 180.0f);
    for (const Segment &s : segs) {
        cv::Point2f d = (s.b - s.a) * (1.0f / s.len);
        LongLine *home = nullptr;
        for (auto &l : lines) {
            if (std::abs(d.dot(l.line.d)) < maxCos)
                continue;
            if (std::abs(cross(s.a - l.line.p, l.line.d)) > maxDist || std::abs(cross(s.b - l.line.p, l.line.d)) > maxDist)
                continue;
            home = &l;
            break;
        }
        if (!home) {
            lines.push_back({{(s.a + s.b) * 0.5f, d}, {}, 0, 0});
            home = &lines.back();
        }
        addSpan(*home, (s.a - home->line.p).dot(home->line.d), (s.b - home->line.p).dot(home->line.d));
    }
    for (auto &l : lines)
        finishLine(l);
    return lines;
}

// Weighs each line by its covered length and by how consistently the
// picture steps across it (a sheet's edge: desk on one side, paper on the
// other) rather than crossing a thin line or texture (seams, grain, print).
void weighLines(const Work &w, std::vector<LongLine> &lines)
{
    for (LongLine &l : lines) {
        cv::Point2f n(-l.line.d.y, l.line.d.x);
        double sum[3] = {0, 0, 0};
        int count = 0;
        for (const auto &span : l.spans) {
            float stride = std::max(3.0f, l.covered / 40);
            for (float t = span.first; t <= span.second; t += stride) {
                cv::Point2f p = l.line.p + l.line.d * t;
                cv::Point a = clampPoint(p + n * 3.0f, w.grey), b = clampPoint(p - n * 3.0f, w.grey);
                for (int c = 0; c < 3; ++c)
                    sum[c] += w.chan[c].at<std::uint8_t>(a) - w.chan[c].at<std::uint8_t>(b);
                ++count;
            }
        }
        double step = 0;
        if (count)
            step = std::abs(sum[0] / count) + 0.7 * (std::abs(sum[1] / count) + std::abs(sum[2] / count));
        l.weight = l.covered * (0.25 + 0.75 * ramp(step, 3, 10));
    }
}

double angleBetween(double a, double b) // of two line directions, 0..pi/2
{
    double d = std::abs(a - b);
    return std::min(d, CV_PI - d);
}

// Quadrilaterals of two roughly opposite pairs of long lines, checked
// cheaply against the lines' own coverage of the sides.
void lineQuads(const Work &w, std::vector<LongLine> lines, std::vector<Quad> &out)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const LongLine &l) { return l.covered < 0.3 * w.minSide; }),
                lines.end());
    std::sort(lines.begin(), lines.end(), [](const LongLine &a, const LongLine &b) { return a.weight > b.weight; });
    if (lines.size() > 44)
        lines.resize(44);
    // The picture's edges, for sheets that reach past them.
    const float right = static_cast<float>(w.grey.cols - 1), bottom = static_cast<float>(w.grey.rows - 1);
    const Line borders[4] = {{{0, 0}, {0, 1}}, {{0, 0}, {1, 0}}, {{right, 0}, {0, 1}}, {{0, bottom}, {1, 0}}};
    const std::size_t firstBorder = lines.size();
    for (const Line &b : borders) {
        LongLine l{b, {{-1e6f, 1e6f}}, 0, 0, 0};
        finishLine(l);
        l.spans = {{-1e6f, 1e6f}};
        lines.push_back(l);
    }
    auto isBorder = [&](int i) { return static_cast<std::size_t>(i) >= firstBorder; };
    const double maxOpposite = 32 * CV_PI / 180, minCrossing = 45 * CV_PI / 180;
    struct Pair {
        int i, j;
    };
    std::vector<Pair> pairs;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i)
        for (int j = i + 1; j < static_cast<int>(lines.size()); ++j) {
            if (angleBetween(lines[i].angle, lines[j].angle) > maxOpposite || (isBorder(i) && isBorder(j)))
                continue;
            // Far enough apart to be two sides of a sheet.
            cv::Point2f mid = lines[j].line.p;
            if (std::abs(cross(mid - lines[i].line.p, lines[i].line.d)) < w.minSide)
                continue;
            // Opposite sides face each other: their stretches overlap.
            if (!isBorder(i) && !isBorder(j)) {
                const LongLine &a = lines[i], &b = lines[j];
                float a0 = a.spans.front().first, a1 = a.spans.back().second;
                float b0 = (b.line.p + b.line.d * b.spans.front().first - a.line.p).dot(a.line.d);
                float b1 = (b.line.p + b.line.d * b.spans.back().second - a.line.p).dot(a.line.d);
                if (b0 > b1)
                    std::swap(b0, b1);
                float overlap = std::min(a1, b1) - std::max(a0, b0);
                if (overlap < 0.25f * std::min(a1 - a0, b1 - b0))
                    continue;
            }
            pairs.push_back({i, j});
        }
    struct Scored {
        double score;
        Quad q;
    };
    std::vector<Scored> best;
    const std::size_t keep = 40;
    // Where two lines cross at a plausible corner angle (a corner at most
    // a little outside the picture).
    const int n = static_cast<int>(lines.size());
    std::vector<cv::Point2f> corner(static_cast<std::size_t>(n * n));
    std::vector<char> crosses(static_cast<std::size_t>(n * n), 0);
    const float margin = 0.06f * std::max(w.grey.cols, w.grey.rows);
    for (int u = 0; u < n; ++u)
        for (int v = u + 1; v < n; ++v) {
            cv::Point2f x;
            if (angleBetween(lines[u].angle, lines[v].angle) < minCrossing || !intersect(lines[u].line, lines[v].line, x) ||
                !insidePicture(x, w.grey, margin))
                continue;
            corner[static_cast<std::size_t>(u * n + v)] = corner[static_cast<std::size_t>(v * n + u)] = x;
            crosses[static_cast<std::size_t>(u * n + v)] = crosses[static_cast<std::size_t>(v * n + u)] = 1;
        }
    auto at = [&](int u, int v) { return static_cast<std::size_t>(u * n + v); };
    for (std::size_t a = 0; a < pairs.size(); ++a)
        for (std::size_t b = a + 1; b < pairs.size(); ++b) {
            const int idx[4] = {pairs[a].i, pairs[b].i, pairs[a].j, pairs[b].j};
            // Sides in order: a.i, b.i, a.j, b.j (a cycle round the sheet).
            if (!crosses[at(idx[0], idx[1])] || !crosses[at(idx[1], idx[2])] || !crosses[at(idx[2], idx[3])] ||
                !crosses[at(idx[3], idx[0])])
                continue;
            if (isBorder(idx[0]) + isBorder(idx[1]) + isBorder(idx[2]) + isBorder(idx[3]) > 1)
                continue;
            Quad q = {corner[at(idx[0], idx[1])], corner[at(idx[1], idx[2])], corner[at(idx[2], idx[3])],
                      corner[at(idx[3], idx[0])]};
            bool ok = true;
            if (!convex(q))
                continue;
            double area = quadArea(q);
            if (area < w.minArea || area > w.maxArea)
                continue;
            double total = 0, worst = 1;
            for (int k = 0; k < 4 && ok; ++k) {
                // Side k runs along line idx[(k+1)%4] from q[k] to q[k+1].
                const LongLine &l = lines[idx[(k + 1) % 4]];
                float t0 = (q[k] - l.line.p).dot(l.line.d), t1 = (q[(k + 1) % 4] - l.line.p).dot(l.line.d);
                float c = isBorder(idx[(k + 1) % 4]) ? 0.45f : coverage(l, t0, t1);
                worst = std::min<double>(worst, c);
                total += c;
                ok = length(q[(k + 1) % 4] - q[k]) >= w.minSide;
            }
            if (!ok || worst < 0.2)
                continue;
            double score = total / 4 * std::sqrt(worst);
            if (best.size() < keep) {
                best.push_back({score, q});
            } else {
                auto low = std::min_element(best.begin(), best.end(),
                                            [](const Scored &x, const Scored &y) { return x.score < y.score; });
                if (score > low->score)
                    *low = {score, q};
            }
        }
    for (const auto &s : best)
        out.push_back(orderedQuad(s.q));
}

// Variants of q with one side moved out to a long line roughly parallel
// to it.
void growQuad(const Work &w, const Quad &q, const std::vector<LongLine> &lines, std::vector<Quad> &out)
{
    std::array<Line, 4> sides;
    for (int i = 0; i < 4; ++i) {
        cv::Point2f d = q[(i + 1) % 4] - q[i];
        sides[i] = {q[i], d * (1.0f / std::max(1e-3f, length(d)))};
    }
    const cv::Point2f c = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    for (int i = 0; i < 4; ++i) {
        const Line &s = sides[i];
        double angle = std::atan2(s.d.y, s.d.x);
        if (angle < 0)
            angle += CV_PI;
        cv::Point2f mid = (q[i] + q[(i + 1) % 4]) * 0.5f;
        cv::Point2f outward(-s.d.y, s.d.x);
        if (outward.dot(mid - c) < 0)
            outward = -outward;
        // Room up to most of the sheet's depth beyond the side.
        const Line &opposite = sides[(i + 2) % 4];
        float depth = std::abs(cross(mid - opposite.p, opposite.d));
        for (const LongLine &l : lines) {
            if (l.covered < 0.2f * length(q[(i + 1) % 4] - q[i]) || angleBetween(l.angle, angle) > 6 * CV_PI / 180)
                continue;
            cv::Point2f onLine;
            if (!intersect(l.line, {mid, outward}, onLine))
                continue;
            float dist = (onLine - mid).dot(outward);
            if (dist < 3 || dist > 0.9f * depth)
                continue;
            Quad g = q;
            if (!intersect(sides[(i + 3) % 4], l.line, g[i]) || !intersect(l.line, sides[(i + 1) % 4], g[(i + 1) % 4]))
                continue;
            if (convex(g) && quadArea(g) <= w.maxArea)
                out.push_back(g);
        }
    }
}

// Variants of q with one side moved outwards, parallel, to where edges
// line up along it again: the sheet's faint edge beyond a printed line
// that runs parallel to it (a table's frame, a staff, a ruled line).
void sweepQuad(const Work &w, const Quad &q, std::vector<Quad> &out)
{
    std::array<Line, 4> sides;
    for (int i = 0; i < 4; ++i) {
        cv::Point2f d = q[(i + 1) % 4] - q[i];
        sides[i] = {q[i], d * (1.0f / std::max(1e-3f, length(d)))};
    }
    const cv::Point2f c = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    const float margin = 0.06f * std::max(w.grey.cols, w.grey.rows);
    std::vector<float> support;
    for (int i = 0; i < 4; ++i) {
        const Line &s = sides[i];
        cv::Point2f outward(-s.d.y, s.d.x);
        cv::Point2f mid = (q[i] + q[(i + 1) % 4]) * 0.5f;
        if (outward.dot(mid - c) < 0)
            outward = -outward;
        const Line &opposite = sides[(i + 2) % 4];
        int room = static_cast<int>(0.8f * std::abs(cross(mid - opposite.p, opposite.d)));
        support.assign(static_cast<std::size_t>(room + 2), 0.0f);
        for (int d = 2; d <= room; ++d) {
            Line moved{s.p + outward * static_cast<float>(d), s.d};
            cv::Point2f a, b;
            if (!intersect(sides[(i + 3) % 4], moved, a) || !intersect(moved, sides[(i + 1) % 4], b) ||
                !insidePicture(a, w.grey, margin) || !insidePicture(b, w.grey, margin))
                break;
            float len = length(b - a);
            int steps = std::clamp(static_cast<int>(len / 3), 6, 48), pos = 0, neg = 0, seen = 0;
            for (int k = 0; k < steps; ++k) {
                cv::Point2f p = a + (b - a) * (0.05f + 0.9f * (k + 0.5f) / steps);
                if (!insidePicture(p, w.grey, -2.0f))
                    continue;
                ++seen;
                float offset;
                int v = bestAcross(w, p, -outward, s.d, 1, offset);
                if (std::abs(v) >= w.edgeThreshold)
                    (v > 0 ? pos : neg) += 1;
            }
            support[static_cast<std::size_t>(d)] = seen > steps / 2 ? static_cast<float>(std::max(pos, neg)) / seen : 0;
        }
        // The strongest two places where the support peaks.
        std::vector<std::pair<float, int>> peaks;
        for (int d = 3; d < room; ++d) {
            float v = support[static_cast<std::size_t>(d)];
            if (v >= 0.5f && v >= support[static_cast<std::size_t>(d - 1)] && v > support[static_cast<std::size_t>(d + 1)])
                peaks.emplace_back(v, d);
        }
        std::sort(peaks.rbegin(), peaks.rend());
        for (std::size_t k = 0; k < peaks.size() && k < 2; ++k) {
            Line moved{s.p + outward * static_cast<float>(peaks[k].second), s.d};
            Quad g = q;
            if (intersect(sides[(i + 3) % 4], moved, g[i]) && intersect(moved, sides[(i + 1) % 4], g[(i + 1) % 4]) &&
                convex(g) && quadArea(g) <= w.maxArea)
                out.push_back(g);
        }
    }
}

// A quadrilateral round a region outline: its convex hull simplified to
// four corners.
bool hullQuad(const std::vector<cv::Point> &contour, Quad &q)
{
    std::vector<cv::Point> hull;
    cv::convexHull(contour, hull);
    double perimeter = cv::arcLength(hull, true);
    for (double f : {0.01, 0.02, 0.03, 0.05, 0.08, 0.12}) {
        std::vector<cv::Point> approx;
        cv::approxPolyDP(hull, approx, f * perimeter, true);
        if (approx.size() == 4) {
            std::vector<cv::Point2f> pts(approx.begin(), approx.end());
            q = ordered(pts);
            return true;
        }
        if (approx.size() < 4)
            break;
    }
    return false;
}

void regionQuads(const Work &w, const cv::Mat &mask, std::vector<Quad> &out)
{
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    for (const auto &c : contours) {
        double area = cv::contourArea(c);
        if (area < 0.7 * w.minArea || area > w.maxArea)
            continue;
        Quad q;
        if (hullQuad(c, q))
            out.push_back(q);
    }
}

// Light, nearly colourless regions: above Otsu's level and (tighter) near
// the level of the paper itself.
void paperRegions(const Work &w, std::vector<Quad> &out)
{
    cv::Mat blurred, light;
    cv::GaussianBlur(w.grey, blurred, cv::Size(5, 5), 0);
    double otsu = cv::threshold(blurred, light, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    cv::Mat chroma(w.grey.size(), CV_8U);
    for (int y = 0; y < w.rgb.rows; ++y) {
        const std::uint8_t *px = w.rgb.ptr<std::uint8_t>(y);
        std::uint8_t *c = chroma.ptr<std::uint8_t>(y);
        for (int x = 0; x < w.rgb.cols; ++x, px += 3)
            c[x] = static_cast<std::uint8_t>(std::max({px[0], px[1], px[2]}) - std::min({px[0], px[1], px[2]}));
    }
    cv::GaussianBlur(chroma, chroma, cv::Size(5, 5), 0);
    cv::Mat neutral;
    cv::threshold(chroma, neutral, 45, 255, cv::THRESH_BINARY_INV);
    const cv::Mat open = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    const cv::Mat close = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9));
    for (double bar : {otsu, std::max(otsu, 0.82 * w.brightLevel)}) {
        cv::Mat mask;
        cv::threshold(blurred, mask, bar, 255, cv::THRESH_BINARY);
        cv::bitwise_and(mask, neutral, mask);
        cv::morphologyEx(mask, mask, cv::MORPH_OPEN, open);
        cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, close);
        regionQuads(w, mask, out);
    }
}

// Outlines of closed edge chains (also the holes they enclose).
void edgeOutlines(const Work &w, std::vector<Quad> &out)
{
    cv::Mat thick;
    cv::dilate(w.edges, thick, cv::Mat());
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(thick, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    for (const auto &c : contours) {
        if (cv::contourArea(c) < 0.7 * w.minArea)
            continue;
        Quad q;
        if (hullQuad(c, q))
            out.push_back(q);
    }
}

bool sameQuad(const Quad &a, const Quad &b, float tolerance)
{
    for (int i = 0; i < 4; ++i)
        if (length(a[i] - b[i]) > tolerance)
            return false;
    return true;
}

// Whether side i of a is a side of b (both ends within a few pixels).
bool sideShared(const Quad &a, int i, const Quad &b)
{
    const cv::Point2f &p = a[i], &q = a[(i + 1) % 4];
    for (int j = 0; j < 4; ++j)
        if (length(b[j] - p) < 3 && length(b[(j + 1) % 4] - q) < 3)
            return true;
    return false;
}

// For side i of `outer` running on along a side of `inner` (both ends of
// that side within a few pixels of the line): the share of its length
// beyond the inner side that has an edge along it; -1 when side i does not
// run along a side of inner.
double extensionSupport(const Work &w, const Quad &outer, int i, const Quad &inner)
{
    const cv::Point2f a = outer[i], b = outer[(i + 1) % 4];
    cv::Point2f t = b - a;
    const float len = length(t);
    if (len < 4)
        return -1;
    t *= 1.0f / len;
    for (int j = 0; j < 4; ++j) {
        const cv::Point2f p = inner[j], q = inner[(j + 1) % 4];
        if (std::abs(cross(p - a, t)) > 3 || std::abs(cross(q - a, t)) > 3)
            continue;
        float t0 = (p - a).dot(t), t1 = (q - a).dot(t);
        if (t0 > t1)
            std::swap(t0, t1);
        const cv::Point2f c = (outer[0] + outer[1] + outer[2] + outer[3]) * 0.25f;
        cv::Point2f n(-t.y, t.x);
        if (n.dot(c - a) < 0)
            n = -n;
        // Edges of the same direction of change as along the inner side
        // (texture such as wood grain changes either way).
        int seen = 0, inner = 0, pos = 0, neg = 0;
        for (float s = 1; s < len - 1; s += 2) {
            cv::Point2f x = a + t * s;
            if (!insidePicture(x, w.grey, -2.0f))
                continue;
            float offset;
            int d = bestAcross(w, x, n, t, 2, offset);
            bool hit = std::abs(d) >= w.edgeThreshold;
            if (s > t0 - 2 && s < t1 + 2) {
                inner += hit ? (d > 0 ? 1 : -1) : 0;
                continue;
            }
            ++seen;
            pos += hit && d > 0;
            neg += hit && d < 0;
        }
        if (!seen)
            return 1.0;
        return static_cast<double>(inner >= 0 ? pos : neg) / seen;
    }
    return -1;
}

bool contains(const Quad &outer, const Quad &inner)
{
    std::vector<cv::Point2f> poly(outer.begin(), outer.end());
    for (const auto &p : inner)
        if (cv::pointPolygonTest(poly, p, true) < -2)
            return false;
    return true;
}

// ---------------------------------------------------------------- full size

// Re-fits the sides on the full picture: across each side the position of
// the steepest change of the side's strongest channel, to a fraction of a
// pixel; a line through those positions.
Quad refineOnPicture(const cv::Mat &image, const Quad &q, float reach)
{
    const int channels = image.channels();
    auto sample = [&](cv::Point2f p, float out[3]) {
        float x = std::clamp(p.x, 0.0f, image.cols - 1.001f), y = std::clamp(p.y, 0.0f, image.rows - 1.001f);
        int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
        float fx = x - x0, fy = y - y0;
        const std::uint8_t *r0 = image.ptr<std::uint8_t>(y0) + x0 * channels;
        const std::uint8_t *r1 = image.ptr<std::uint8_t>(y0 + 1) + x0 * channels;
        float v[3];
        for (int c = 0; c < channels; ++c)
            v[c] = (r0[c] * (1 - fx) + r0[c + channels] * fx) * (1 - fy) + (r1[c] * (1 - fx) + r1[c + channels] * fx) * fy;
        if (channels == 1) {
            out[0] = v[0];
            out[1] = out[2] = 0;
        } else {
            out[0] = 0.299f * v[0] + 0.587f * v[1] + 0.114f * v[2];
            out[1] = v[0] - v[1];
            out[2] = 0.5f * (v[0] + v[1]) - v[2];
        }
    };
    cv::Point2f c = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
    std::array<Line, 4> lines;
    const int span = static_cast<int>(std::ceil(reach));
    std::vector<float> profile[3];
    for (auto &p : profile)
        p.resize(static_cast<std::size_t>(2 * span + 3));
    for (int i = 0; i < 4; ++i) {
        cv::Point2f a = q[i], b = q[(i + 1) % 4];
        cv::Point2f t = b - a;
        float len = length(t);
        t *= 1.0f / len;
        cv::Point2f n(-t.y, t.x);
        if (n.dot(c - a) < 0)
            n = -n;
        lines[i] = {a, t};
        int steps = std::clamp(static_cast<int>(len / 3), 12, 300);
        // Which channel steps most across this side, and which way.
        double sum[3] = {0, 0, 0};
        struct Probe {
            cv::Point2f p;
            float pos[3];
            float jump[3];
        };
        std::vector<Probe> probes;
        probes.reserve(static_cast<std::size_t>(steps));
        for (int k = 0; k < steps; ++k) {
            cv::Point2f p = a + (b - a) * (0.05f + 0.9f * (k + 0.5f) / steps);
            if (p.x < 2 || p.y < 2 || p.x > image.cols - 3 || p.y > image.rows - 3)
                continue;
            for (int o = -span - 1; o <= span + 1; ++o) {
                float acc[3] = {0, 0, 0}, v[3];
                for (int s = -1; s <= 1; ++s) {
                    sample(p + n * static_cast<float>(o) + t * static_cast<float>(s), v);
                    for (int ch = 0; ch < 3; ++ch)
                        acc[ch] += v[ch];
                }
                for (int ch = 0; ch < 3; ++ch)
                    profile[ch][static_cast<std::size_t>(o + span + 1)] = acc[ch] / 3;
            }
            Probe pr{p, {0, 0, 0}, {0, 0, 0}};
            for (int ch = 0; ch < 3; ++ch) {
                float best = 0, bestPos = 0;
                for (int o = -span; o <= span; ++o) {
                    std::size_t j = static_cast<std::size_t>(o + span + 1);
                    float d = profile[ch][j + 1] - profile[ch][j - 1];
                    if (std::abs(d) > std::abs(best)) {
                        best = d;
                        // Sub-pixel: parabola through the derivative's neighbours.
                        float dl = j >= 2 ? profile[ch][j] - profile[ch][j - 2] : d;
                        float dr = j + 2 < profile[ch].size() ? profile[ch][j + 2] - profile[ch][j] : d;
                        float den = dl - 2 * d + dr;
                        float shift = std::abs(den) > 1e-3f ? 0.5f * (dl - dr) / den : 0.0f;
                        bestPos = static_cast<float>(o) + std::clamp(shift, -0.5f, 0.5f);
                    }
                }
                pr.pos[ch] = bestPos;
                pr.jump[ch] = best;
                sum[ch] += best;
            }
            probes.push_back(pr);
        }
        // Colour counts when it clearly beats brightness.
        const double weight[3] = {1.0, 0.75, 0.75};
        int ch = 0;
        for (int k = 1; k < 3; ++k)
            if (weight[k] * std::abs(sum[k]) > weight[ch] * std::abs(sum[ch]))
                ch = k;
        float sign = sum[ch] >= 0 ? 1.0f : -1.0f;
        double mean = probes.empty() ? 0 : std::abs(sum[ch]) / probes.size();
        std::vector<cv::Point2f> pts;
        for (const Probe &pr : probes)
            if (pr.jump[ch] * sign > 0.4 * mean && pr.jump[ch] * sign > 3)
                pts.push_back(pr.p + n * pr.pos[ch]);
        Line fitted;
        if (pts.size() >= std::max<std::size_t>(8, probes.size() / 3) && robustLine(pts, fitted, 1.0f + 0.3f * reach / 3))
            lines[i] = fitted;
    }
    Quad r;
    for (int i = 0; i < 4; ++i)
        if (!intersect(lines[(i + 3) % 4], lines[i], r[i]))
            return q;
    // A re-fit that moved a corner far went wrong somewhere: keep the search's.
    for (int i = 0; i < 4; ++i)
        if (length(r[i] - q[i]) > 2.5f * reach + 2)
            return q;
    return convex(r) ? r : q;
}

} // namespace

bool findPage(const cv::Mat &image, PageQuad &page)
{
    if (image.empty() || image.cols < 32 || image.rows < 32)
        return false;
    Work w = prepare(image);

    // Guesses.
    std::vector<Quad> guesses;
    std::vector<LongLine> lines;
    {
        std::vector<Segment> segs;
        float minLen = std::max(10.0f, static_cast<float>(0.03 * std::min(w.grey.cols, w.grey.rows)));
        edgeSegments(w.edges, 1.0f, minLen, segs);
        // Half scale: long faint edges and edges in busy texture hold
        // together better there.
        cv::Mat halfEdges, gxf, gyf;
        cv::resize(w.gx, gxf, cv::Size(w.gx.cols / 2, w.gx.rows / 2), 0, 0, cv::INTER_AREA);
        cv::resize(w.gy, gyf, cv::Size(w.gy.cols / 2, w.gy.rows / 2), 0, 0, cv::INTER_AREA);
        cv::Canny(gxf, gyf, halfEdges, 0.8 * w.edgeThreshold, 2.0 * w.edgeThreshold, false);
        edgeSegments(halfEdges, 2.0f, minLen, segs);
        lines = mergeSegments(std::move(segs));
        weighLines(w, lines);
        lineQuads(w, lines, guesses);
    }
    paperRegions(w, guesses);
    edgeOutlines(w, guesses);

    // Score every distinct guess; re-fit the best few and score again.
    struct Candidate {
        Quad q;
        QuadStats st;
    };
    std::vector<Candidate> scored;
    const float same = 0.01f * std::max(w.grey.cols, w.grey.rows);
    for (const Quad &g : guesses) {
        bool seen = false;
        for (const auto &c : scored)
            seen = seen || sameQuad(c.q, g, same);
        if (seen)
            continue;
        scored.push_back({g, scoreQuad(w, g)});
    }
    std::sort(scored.begin(), scored.end(),
              [](const Candidate &a, const Candidate &b) { return a.st.score > b.st.score; });
    if (scored.size() > 6)
        scored.resize(6);
    std::vector<Candidate> refined;
    for (const auto &c : scored) {
        if (c.st.score <= 0.05)
            break;
        Candidate r = c;
        int reach = std::clamp(static_cast<int>(0.025 * std::sqrt(quadArea(r.q))), 5, 9);
        bool moved = refitSides(w, r.q, reach) && refitSides(w, r.q, 2);
        if (moved) {
            r.q = orderedQuad(r.q);
            r.st = scoreQuad(w, r.q);
        }
        if (r.st.score < c.st.score)
            r = c;
        refined.push_back(r);
    }
    if (refined.empty())
        return false;
    std::sort(refined.begin(), refined.end(),
              [](const Candidate &a, const Candidate &b) { return a.st.score > b.st.score; });
    // A side may run along print on the sheet (a table's frame, a line of
    // text) while the sheet's real edge, fainter, lies further out: try the
    // long lines beyond each side of the best few.
    {
        std::vector<Quad> grown;
        for (std::size_t k = 0; k < refined.size() && k < 2; ++k) {
            growQuad(w, refined[k].q, lines, grown);
            sweepQuad(w, refined[k].q, grown);
        }
        const std::size_t before = refined.size();
        for (const Quad &g : grown) {
            Candidate c{orderedQuad(g), {}};
            bool seen = false;
            for (const auto &r : refined)
                seen = seen || sameQuad(r.q, c.q, same);
            if (seen)
                continue;
            c.st = scoreQuad(w, c.q);
            refined.push_back(c);
        }
        refined.erase(std::remove_if(refined.begin() + static_cast<std::ptrdiff_t>(before), refined.end(),
                                     [&](const Candidate &c) { return c.st.score < 0.5 * refined.front().st.score; }),
                      refined.end());
        std::sort(refined.begin(), refined.end(),
                  [](const Candidate &a, const Candidate &b) { return a.st.score > b.st.score; });
    }
    // A sheet contains what is printed on it: an outline round the best one,
    // well supported on the sides where the two differ, is the sheet and
    // the best one a box printed on it.
    Candidate best = refined.front();
    for (const auto &c : refined) {
        if (&c == &refined.front() || c.st.score < 0.6 * best.st.score || quadArea(c.q) < 1.15 * quadArea(best.q) ||
            !contains(c.q, best.q))
            continue;
        bool good = true;
        for (int i = 0; i < 4 && good; ++i) {
            if (sideShared(c.q, i, best.q))
                continue;
            // A side running on along one of the inner outline must have
            // an edge where it runs on; a new side must be good itself, or
            // the picture's edge.
            double extension = extensionSupport(w, c.q, i, best.q);
            good = extension >= 0 ? extension >= 0.5 : c.st.side[i].border || c.st.side[i].score >= 0.6;
        }
        if (good)
            best = c;
    }
    if (best.st.score < kReportScore)
        return false;

    // Back to the picture's pixels (pixel centres scale about -0.5), then the
    // final fit on the full picture.
    const float f = static_cast<float>(w.factor);
    Quad full;
    for (int i = 0; i < 4; ++i)
        full[i] = (best.q[i] + cv::Point2f(0.5f, 0.5f)) * f - cv::Point2f(0.5f, 0.5f);
    full = refineOnPicture(image, full, 1.5f * f + 1);
    // A side along the picture's edge is that edge.
    for (int i = 0; i < 4; ++i) {
        int b = borderOf(best.q[i], best.q[(i + 1) % 4], w.grey.size());
        for (int k : {i, (i + 1) % 4}) {
            if (b == 0)
                full[k].x = 0;
            else if (b == 1)
                full[k].y = 0;
            else if (b == 2)
                full[k].x = static_cast<float>(image.cols - 1);
            else if (b == 3)
                full[k].y = static_cast<float>(image.rows - 1);
        }
    }
    full = orderedQuad(full);
    const float right = static_cast<float>(image.cols - 1), bottom = static_cast<float>(image.rows - 1);
    for (int i = 0; i < 4; ++i) {
        const cv::Point2f &a = full[i], &b = full[(i + 1) % 4];
        page.corner[i] = a;
        page.pictureEdge[i] = (a.x == 0 && b.x == 0) || (a.y == 0 && b.y == 0) || (a.x == right && b.x == right) ||
                              (a.y == bottom && b.y == bottom);
    }
    page.confidence = static_cast<int>(std::lround(1000.0 * std::clamp(best.st.score, 0.0, 1.0)));
    return true;
}

} // namespace zarnimage
