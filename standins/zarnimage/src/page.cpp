// Page detection and deskew for an overhead camera photographing a light
// sheet of paper on a darker desk.
//
// The search runs on a picture shrunk to about a thousand pixels across:
// the sheet is segmented from the desk (Otsu's threshold on a smoothed grey
// picture), the largest region that is close to a convex quadrilateral is
// taken, and its four sides are re-fitted as straight lines through the
// region's boundary so the corners are the lines' intersections (sub-pixel,
// and unaffected by rounded or dog-eared corners).
#include "internal.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace zarnimage {

namespace {

constexpr int kWorkSize = 1000;       // longest side of the working picture
constexpr double kMinPageArea = 0.03; // of the picture
constexpr double kMaxPageArea = 0.97; // a sheet needs some desk round it
constexpr double kMinFill = 0.85;     // region area / quadrilateral area
constexpr double kMinContrast = 30;   // grey levels between sheet and desk

// Corners in the order top-left, top-right, bottom-right, bottom-left for a
// sheet turned by less than about 35 degrees.
std::array<cv::Point2f, 4> orderCorners(const std::vector<cv::Point2f> &pts)
{
    cv::Point2f centre(0, 0);
    for (const auto &p : pts)
        centre += p;
    centre *= 0.25f;
    std::array<cv::Point2f, 4> q;
    std::copy(pts.begin(), pts.begin() + 4, q.begin());
    // Clockwise on screen (y down) = increasing atan2.
    std::sort(q.begin(), q.end(), [&](const cv::Point2f &a, const cv::Point2f &b) {
        return std::atan2(a.y - centre.y, a.x - centre.x) < std::atan2(b.y - centre.y, b.x - centre.x);
    });
    auto first = std::min_element(q.begin(), q.end(),
                                  [](const cv::Point2f &a, const cv::Point2f &b) { return a.x + a.y < b.x + b.y; });
    std::rotate(q.begin(), first, q.end());
    return q;
}

// A line as point + unit direction.
struct Line {
    cv::Point2f p, d;
};

bool intersect(const Line &a, const Line &b, cv::Point2f &out)
{
    float den = a.d.x * b.d.y - a.d.y * b.d.x;
    if (std::abs(den) < 1e-6f)
        return false;
    cv::Point2f w = b.p - a.p;
    float t = (w.x * b.d.y - w.y * b.d.x) / den;
    out = a.p + t * a.d;
    return true;
}

// Re-fits each side of `quad` through the boundary points near its middle
// part.  `outward` shifts the lines away from the region's inside, since
// boundary pixels lie half a pixel inside the true edge.
bool refineQuad(std::array<cv::Point2f, 4> &quad, const std::vector<cv::Point> &boundary, float outward)
{
    cv::Point2f centre = (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25f;
    std::array<Line, 4> lines;
    for (int i = 0; i < 4; ++i) {
        cv::Point2f a = quad[i], b = quad[(i + 1) % 4];
        cv::Point2f d = b - a;
        float length = std::hypot(d.x, d.y);
        if (length < 4)
            return false;
        d *= 1.0f / length;
        float tolerance = std::max(2.5f, 0.02f * length);
        std::vector<cv::Point2f> near;
        for (const cv::Point &bp : boundary) {
            cv::Point2f v = cv::Point2f(bp) - a;
            float t = v.dot(d);
            float dist = std::abs(v.x * d.y - v.y * d.x);
            if (t > 0.1f * length && t < 0.9f * length && dist < tolerance)
                near.push_back(cv::Point2f(bp));
        }
        Line line{a, d};
        if (near.size() >= 8) {
            cv::Vec4f fit;
            cv::fitLine(near, fit, cv::DIST_HUBER, 0, 0.01, 0.01);
            line = Line{cv::Point2f(fit[2], fit[3]), cv::Point2f(fit[0], fit[1])};
        }
        cv::Point2f normal(-line.d.y, line.d.x);
        if (normal.dot(line.p - centre) < 0)
            normal = -normal;
        line.p += outward * normal;
        lines[i] = line;
    }
    std::array<cv::Point2f, 4> refined;
    for (int i = 0; i < 4; ++i)
        if (!intersect(lines[(i + 3) % 4], lines[i], refined[i]))
            return false;
    // A refit that moved a corner far from the coarse one went wrong.
    for (int i = 0; i < 4; ++i) {
        cv::Point2f move = refined[i] - quad[i];
        if (std::hypot(move.x, move.y) > 0.1 * cv::norm(quad[i] - quad[(i + 2) % 4]))
            return false;
    }
    quad = refined;
    return true;
}

// A sheet cut off by the picture's edge shows the edge as one of its sides;
// its real corners are unknown, so such a region is no page.
bool alongPictureEdge(const std::array<cv::Point2f, 4> &quad, cv::Size size)
{
    const float margin = 2.5f;
    auto outside = [&](const cv::Point2f &p) {
        return p.x < -margin || p.y < -margin || p.x > size.width - 1 + margin || p.y > size.height - 1 + margin;
    };
    auto edge = [&](const cv::Point2f &p) {
        int e = 0;
        e |= p.x < margin ? 1 : 0;
        e |= p.y < margin ? 2 : 0;
        e |= p.x > size.width - 1 - margin ? 4 : 0;
        e |= p.y > size.height - 1 - margin ? 8 : 0;
        return e;
    };
    for (int i = 0; i < 4; ++i) {
        if (outside(quad[i]) || (edge(quad[i]) & edge(quad[(i + 1) % 4])) != 0)
            return true;
    }
    return false;
}

bool quadFromHull(const std::vector<cv::Point> &hull, std::vector<cv::Point2f> &quad)
{
    double perimeter = cv::arcLength(hull, true);
    for (double f : {0.01, 0.02, 0.03, 0.05, 0.08}) {
        std::vector<cv::Point> approx;
        cv::approxPolyDP(hull, approx, f * perimeter, true);
        if (approx.size() == 4) {
            quad.assign(approx.begin(), approx.end());
            return true;
        }
        if (approx.size() < 4)
            break;
    }
    return false;
}

} // namespace

double quadTilt(const PageQuad &page)
{
    const cv::Point2f *c = page.corner;
    // Mean direction of the four sides, each measured as a deviation from
    // its upright direction; averaging unit vectors keeps it stable.
    cv::Point2f sum(0, 0);
    auto add = [&](cv::Point2f v, double uprightDeg) {
        double a = std::atan2(v.y, v.x) - uprightDeg * CV_PI / 180.0;
        sum += cv::Point2f(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))) *
               static_cast<float>(std::hypot(v.x, v.y));
    };
    add(c[1] - c[0], 0);  // top, left to right
    add(c[2] - c[3], 0);  // bottom, left to right
    add(c[3] - c[0], 90); // left, top to bottom
    add(c[2] - c[1], 90); // right, top to bottom
    return std::atan2(sum.y, sum.x) * 180.0 / CV_PI;
}

namespace {

// Mask of paper-like pixels of the working picture: light and nearly
// colourless.  Otsu's threshold splits light from dark; the paper's own
// level (the median of the light side) then sets a tighter bar, so light
// objects on the desk that touch the sheet do not merge with it.
cv::Mat paperMask(const cv::Mat &small)
{
    cv::Mat grey = toGrey(small);
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), 0);
    cv::Mat light;
    double otsu = cv::threshold(grey, light, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    int histogram[256] = {};
    int lightCount = 0;
    for (int y = 0; y < grey.rows; ++y) {
        const std::uint8_t *row = grey.ptr<std::uint8_t>(y);
        for (int x = 0; x < grey.cols; ++x)
            if (row[x] > otsu) {
                ++histogram[row[x]];
                ++lightCount;
            }
    }
    int median = 255;
    for (int v = 0, seen = 0; v < 256; ++v) {
        seen += histogram[v];
        if (seen * 2 >= lightCount) {
            median = v;
            break;
        }
    }
    double bar = std::max(otsu, 0.82 * median);
    cv::Mat mask;
    cv::threshold(grey, mask, bar, 255, cv::THRESH_BINARY);
    if (small.channels() == 3) {
        std::vector<cv::Mat> ch;
        cv::split(small, ch);
        cv::Mat hi, lo, chroma;
        cv::max(ch[0], ch[1], hi);
        cv::max(hi, ch[2], hi);
        cv::min(ch[0], ch[1], lo);
        cv::min(lo, ch[2], lo);
        cv::subtract(hi, lo, chroma);
        cv::GaussianBlur(chroma, chroma, cv::Size(5, 5), 0);
        cv::Mat neutral;
        cv::threshold(chroma, neutral, 40, 255, cv::THRESH_BINARY_INV);
        cv::bitwise_and(mask, neutral, mask);
    }
    return mask;
}

} // namespace

bool findPage(const cv::Mat &image, PageQuad &page)
{
    double s = std::min(1.0, static_cast<double>(kWorkSize) / std::max(image.cols, image.rows));
    cv::Mat small;
    if (s < 1.0)
        cv::resize(image, small, cv::Size(), s, s, cv::INTER_AREA);
    else
        small = image;
    cv::Mat bin = paperMask(small);
    // Opening drops thin light clutter of the desk; closing fills the
    // dark print on the sheet so the sheet is one solid region.
    cv::morphologyEx(bin, bin, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    cv::morphologyEx(bin, bin, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(15, 15)));

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(bin, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    const double pictureArea = static_cast<double>(small.cols) * small.rows;
    const double minArea = kMinPageArea * pictureArea;
    double bestScore = 0;
    std::array<cv::Point2f, 4> best;
    double bestFill = 0;
    for (const auto &contour : contours) {
        double area = cv::contourArea(contour);
        if (area < minArea || area > kMaxPageArea * pictureArea)
            continue;
        std::vector<cv::Point> hull;
        cv::convexHull(contour, hull);
        std::vector<cv::Point2f> coarse;
        if (!quadFromHull(hull, coarse))
            continue;
        std::array<cv::Point2f, 4> quad = orderCorners(coarse);
        if (!refineQuad(quad, contour, 0.5f) || alongPictureEdge(quad, small.size()))
            continue;
        std::vector<cv::Point2f> poly(quad.begin(), quad.end());
        double quadArea = cv::contourArea(poly);
        if (quadArea <= 0 || !cv::isContourConvex(poly))
            continue;
        double fill = area / quadArea;
        if (fill < kMinFill || fill > 1.1)
            continue;
        double score = area * std::min(fill, 1.0);
        if (score > bestScore) {
            bestScore = score;
            best = quad;
            bestFill = fill;
        }
    }
    if (bestScore <= 0)
        return false;
    // An even picture (no sheet at all) thresholds into noise or one big
    // region: the sheet must stand out from what surrounds it.
    // (Plain functions rather than matrix expressions: OpenCV sets up its
    // expression operators lazily without a lock.)
    cv::Mat inside(small.size(), CV_8U, cv::Scalar(0));
    std::vector<cv::Point> poly;
    for (const cv::Point2f &p : best)
        poly.emplace_back(cvRound(p.x), cvRound(p.y));
    cv::fillConvexPoly(inside, poly, cv::Scalar(255));
    cv::Mat grey = toGrey(small);
    double paper = cv::mean(grey, inside)[0];
    cv::Mat outside;
    cv::bitwise_not(inside, outside);
    double desk = cv::mean(grey, outside)[0];
    if (paper - desk < kMinContrast)
        return false;
    // Back to the picture's pixels (pixel centres scale about -0.5).
    for (int i = 0; i < 4; ++i)
        page.corner[i] = (best[i] + cv::Point2f(0.5f, 0.5f)) * static_cast<float>(1.0 / s) - cv::Point2f(0.5f, 0.5f);
    double fillScore = 1.0 - std::abs(1.0 - bestFill) / (1.0 - kMinFill);
    page.confidence = static_cast<int>(std::lround(1000.0 * std::clamp(fillScore, 0.0, 1.0)));
    return true;
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
