// Image records, loading, colour styles, rotation, cutting and drawing.
#include "internal.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace zarnimage {

namespace {

struct Private {
    cv::Mat mat;
};

// Every entry point turns exceptions (OpenCV errors, lack of memory) into
// the null / negative results of the C interface.
template <typename F>
auto guarded(F &&f, decltype(f()) onError) noexcept -> decltype(f())
{
    try {
        return f();
    } catch (...) {
        return onError;
    }
}

bool valid(HMCVIMAGE image)
{
    return image && image->priv && !static_cast<Private *>(image->priv)->mat.empty();
}

} // namespace

cv::Mat &pixels(HMCVIMAGE image)
{
    return static_cast<Private *>(image->priv)->mat;
}

HMCVIMAGE wrap(cv::Mat mat, int dpiX, int dpiY)
{
    if (mat.empty() || (mat.type() != CV_8UC1 && mat.type() != CV_8UC3))
        return nullptr;
    if (!mat.isContinuous())
        mat = mat.clone();
    auto *priv = new Private{std::move(mat)};
    auto *image = new (std::nothrow) McvImage{};
    if (!image) {
        delete priv;
        throw std::bad_alloc();
    }
    image->width = priv->mat.cols;
    image->height = priv->mat.rows;
    image->channels = priv->mat.channels();
    image->dpiX = dpiX;
    image->dpiY = dpiY;
    image->priv = priv;
    return image;
}

cv::Mat toGrey(const cv::Mat &image)
{
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_RGB2GRAY);
    return grey;
}

} // namespace zarnimage

using namespace zarnimage;

namespace {

HMCVIMAGE derived(HMCVIMAGE from, cv::Mat mat)
{
    return wrap(std::move(mat), from->dpiX, from->dpiY);
}

bool sizeOk(int width, int height)
{
    // Keeps width * height * 3 well inside the 32-bit range used by callers.
    return width > 0 && height > 0 && static_cast<long long>(width) * height <= (1LL << 28);
}

} // namespace

extern "C" {

MCV_API int mcvInit(void)
{
    static std::once_flag once;
    std::call_once(once, [] {
        // OpenCV's own worker threads would compete with the capture and
        // server threads of the camera service on small machines; the
        // operations here are short enough to run on the caller's thread.
        try {
            cv::setNumThreads(0);
        } catch (...) {
        }
    });
    return 0;
}

MCV_API HMCVIMAGE mcvLoadFromVideoData(const void *data, int width, int height, int length, int dpiX, int dpiY)
{
    if (!data || !sizeOk(width, height) || length < 0)
        return nullptr;
    return guarded(
        [&]() -> HMCVIMAGE {
            std::size_t limit = static_cast<std::size_t>(width) * height * 3;
            if (length > 0 && static_cast<std::size_t>(length) < limit)
                limit = static_cast<std::size_t>(length);
            auto *bytes = static_cast<const std::uint8_t *>(data);
            std::size_t streamLength = jpegStreamLength(bytes, limit);
            if (streamLength == 0)
                return nullptr;
            return wrap(decodeJpeg(bytes, streamLength, width, height), dpiX, dpiY);
        },
        nullptr);
}

MCV_API HMCVIMAGE mcvLoadFromRGB888Data(const void *data, int width, int height, int stride, int dpiX, int dpiY)
{
    if (!data || !sizeOk(width, height) || stride < 0)
        return nullptr;
    if (stride == 0)
        stride = width * 3;
    if (stride < width * 3)
        return nullptr;
    return guarded(
        [&]() -> HMCVIMAGE {
            cv::Mat view(height, width, CV_8UC3, const_cast<void *>(data), static_cast<std::size_t>(stride));
            return wrap(view.clone(), dpiX, dpiY);
        },
        nullptr);
}

MCV_API void mcvReleaseImage(HMCVIMAGE *image)
{
    if (!image || !*image)
        return;
    delete static_cast<Private *>((*image)->priv);
    delete *image;
    *image = nullptr;
}

MCV_API unsigned char *mcvGetImageData(HMCVIMAGE image)
{
    return valid(image) ? pixels(image).data : nullptr;
}

MCV_API HMCVIMAGE mcvGrayStyle(HMCVIMAGE image)
{
    if (!valid(image))
        return nullptr;
    return guarded([&] { return derived(image, toGrey(pixels(image)).clone()); }, nullptr);
}

MCV_API HMCVIMAGE mcvThreshold(HMCVIMAGE image, int threshold)
{
    if (!valid(image) || threshold < 1 || threshold > 254)
        return nullptr;
    return guarded(
        [&] {
            cv::Mat grey = toGrey(pixels(image));
            // Estimate the paper's brightness everywhere: shrink, close away
            // dark strokes, blur, grow back.  Dividing by it flattens uneven
            // light so one level separates ink from paper across the sheet.
            const int small = 64;
            double f = static_cast<double>(small) / std::max(grey.cols, grey.rows);
            cv::Mat bg;
            cv::resize(grey, bg, cv::Size(), f, f, cv::INTER_AREA);
            cv::morphologyEx(bg, bg, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
            cv::GaussianBlur(bg, bg, cv::Size(0, 0), 3);
            cv::resize(bg, bg, grey.size(), 0, 0, cv::INTER_LINEAR);
            cv::Mat flat;
            cv::divide(grey, bg, flat, 255.0);
            cv::Mat bw;
            cv::threshold(flat, bw, threshold - 1, 255, cv::THRESH_BINARY);
            return derived(image, bw);
        },
        nullptr);
}

MCV_API HMCVIMAGE mcvRotateImage(HMCVIMAGE image, float angleDeg)
{
    if (!valid(image) || !std::isfinite(angleDeg))
        return nullptr;
    return guarded(
        [&]() -> HMCVIMAGE {
            const cv::Mat &src = pixels(image);
            double quarter = angleDeg / 90.0;
            if (quarter == std::floor(quarter)) {
                int turns = static_cast<int>(std::fmod(quarter, 4.0));
                if (turns < 0)
                    turns += 4;
                cv::Mat out;
                switch (turns) {
                case 0: out = src.clone(); break;
                case 1: cv::rotate(src, out, cv::ROTATE_90_CLOCKWISE); break;
                case 2: cv::rotate(src, out, cv::ROTATE_180); break;
                default: cv::rotate(src, out, cv::ROTATE_90_COUNTERCLOCKWISE); break;
                }
                return derived(image, out);
            }
            // OpenCV turns counter-clockwise for positive angles.
            cv::Point2f centre(src.cols / 2.0f, src.rows / 2.0f);
            cv::Mat m = cv::getRotationMatrix2D(centre, -angleDeg, 1.0);
            cv::Rect2f box = cv::RotatedRect(cv::Point2f(), cv::Size2f(src.size()), -angleDeg).boundingRect2f();
            m.at<double>(0, 2) += box.width / 2.0 - centre.x;
            m.at<double>(1, 2) += box.height / 2.0 - centre.y;
            cv::Mat out;
            cv::warpAffine(src, out, m, cv::Size(cvRound(box.width), cvRound(box.height)), cv::INTER_LINEAR,
                           cv::BORDER_CONSTANT, cv::Scalar::all(0));
            return derived(image, out);
        },
        nullptr);
}

MCV_API HMCVIMAGE mcvCutR(HMCVIMAGE image, McvRect rect)
{
    if (!valid(image))
        return nullptr;
    return guarded(
        [&]() -> HMCVIMAGE {
            const cv::Mat &src = pixels(image);
            std::vector<cv::Point> quad;
            for (const McvPoint &p : rect.corner)
                quad.emplace_back(p.x, p.y);
            if (!cv::isContourConvex(quad))
                return nullptr;
            cv::Rect bounds = cv::boundingRect(quad);
            cv::Rect inside = bounds & cv::Rect(0, 0, src.cols, src.rows);
            // Mostly outside the picture: not a cut of this picture.
            if (inside.area() * 2 < bounds.area())
                return nullptr;
            auto len = [](const McvPoint &a, const McvPoint &b) { return std::hypot(a.x - b.x, a.y - b.y); };
            const McvPoint *c = rect.corner;
            double w = (len(c[0], c[1]) + len(c[3], c[2])) / 2.0;
            double h = (len(c[0], c[3]) + len(c[1], c[2])) / 2.0;
            if (w < 8 || h < 8)
                return nullptr;
            bool upright = std::abs(c[0].y - c[1].y) <= 1 && std::abs(c[3].y - c[2].y) <= 1 &&
                           std::abs(c[0].x - c[3].x) <= 1 && std::abs(c[1].x - c[2].x) <= 1;
            if (upright) {
                if (inside.width < 8 || inside.height < 8)
                    return nullptr;
                return derived(image, src(inside).clone());
            }
            cv::Size size(cvRound(w), cvRound(h));
            cv::Point2f from[4], to[4] = {{0, 0},
                                          {static_cast<float>(size.width), 0},
                                          {static_cast<float>(size.width), static_cast<float>(size.height)},
                                          {0, static_cast<float>(size.height)}};
            for (int i = 0; i < 4; ++i)
                from[i] = cv::Point2f(static_cast<float>(c[i].x), static_cast<float>(c[i].y));
            cv::Mat m = cv::getPerspectiveTransform(from, to);
            cv::Mat out;
            cv::warpPerspective(src, out, m, size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
            return derived(image, out);
        },
        nullptr);
}

MCV_API int mcvDrawRectR(HMCVIMAGE image, int r, int g, int b, int thickness, McvRect rect)
{
    if (!valid(image) || thickness < 1 || thickness > 100)
        return -1;
    return guarded(
        [&] {
            cv::Mat &dst = pixels(image);
            std::vector<cv::Point> quad;
            for (const McvPoint &p : rect.corner)
                quad.emplace_back(p.x, p.y);
            cv::Scalar colour = dst.channels() == 3 ? cv::Scalar(r, g, b) : cv::Scalar((r + g + b) / 3);
            cv::polylines(dst, quad, true, colour, thickness, cv::LINE_8);
            return 0;
        },
        -1);
}

} // extern "C"
