#include "zarnimagelibrary.h"

#include <algorithm>
#include <cstdint>

namespace {

// Resolution given to every loaded image.
constexpr int kLoadDpi = 96;
// Outline drawn by DrawContours: green, 10 pixels wide.
constexpr int kOutlineThickness = 10;

} // namespace

CZarnImageLibrary::CZarnImageLibrary()
{
    mcvInit();
}

CZarnImageLibrary::~CZarnImageLibrary()
{
    ReleaseImageResource();
}

bool CZarnImageLibrary::replaceImage(HMCVIMAGE next)
{
    if (!next)
        return false;
    ReleaseImageResource();
    m_image = next;
    return true;
}

int CZarnImageLibrary::LoadVideoData(void *data, int a, int b, int c)
{
    if (m_image)
        return ZARNIMG_ERR_HELD;
    m_image = mcvLoadFromVideoData(data, a, b, c, kLoadDpi, kLoadDpi);
    return m_image ? ZARNIMG_OK : ZARNIMG_ERR_NO_IMAGE;
}

int CZarnImageLibrary::LoadRGB888Image(void *data, int a, int b, int c)
{
    // An image already held is released rather than leaked; a failed load
    // leaves the object empty, as the result says.
    ReleaseImageResource();
    m_image = mcvLoadFromRGB888Data(data, a, b, c, kLoadDpi, kLoadDpi);
    return m_image ? ZARNIMG_OK : ZARNIMG_ERR_NO_IMAGE;
}

int CZarnImageLibrary::SetImageColorStyle(int style)
{
    if (static_cast<unsigned>(style) > 2)
        return ZARNIMG_ERR_ARGUMENT;
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    m_colorStyle = style;
    if (style == 1)
        replaceImage(mcvGrayStyle(m_image));
    else if (style == 2)
        replaceImage(mcvThreshold(m_image, 128));
    return ZARNIMG_OK;
}

bool CZarnImageLibrary::deskewAndDetect(McvRectResult &found)
{
    found.count = 0;
    if (!replaceImage(mcvAdjustSkew(m_image)))
        return false;
    mcvDetectRect1(&found, m_image, 0, 0);
    found.count = std::clamp(found.count, 0, MCV_MAX_RECTS);
    return true;
}

int CZarnImageLibrary::SetAutoCrop(int mode)
{
    if (static_cast<unsigned>(mode) > 1)
        return ZARNIMG_ERR_ARGUMENT;
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    m_cropMode = mode;
    if (mode == 0)
        return ZARNIMG_OK;
    McvRectResult found;
    if (!deskewAndDetect(found))
        return ZARNIMG_OK;
    // The page is reported first; cutting once to it is the whole crop.
    if (found.count >= 1)
        replaceImage(mcvCutR(m_image, found.rect[0]));
    return ZARNIMG_OK;
}

int CZarnImageLibrary::SetImageRotateMode(int mode)
{
    if (mode < 1 || mode > 3)
        return ZARNIMG_OK;
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    m_rotateAngle = mode * -90;
    replaceImage(mcvRotateImage(m_image, static_cast<float>(m_rotateAngle)));
    return ZARNIMG_OK;
}

int CZarnImageLibrary::DrawContours(int mode)
{
    if (static_cast<unsigned>(mode) > 1)
        return ZARNIMG_ERR_ARGUMENT;
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    if (mode == 0)
        return ZARNIMG_OK;
    McvRectResult found;
    if (!deskewAndDetect(found))
        return ZARNIMG_OK;
    for (int i = 0; i < found.count; ++i)
        mcvDrawRectR(m_image, 0, 255, 0, kOutlineThickness, found.rect[i]);
    return ZARNIMG_OK;
}

int CZarnImageLibrary::SetImageDPI(int x, int y)
{
    if (x < 72 || x > 1200 || y < 72 || y > 1200)
        return ZARNIMG_ERR_ARGUMENT;
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    m_dpiX = x;
    m_dpiY = y;
    return ZARNIMG_OK;
}

int CZarnImageLibrary::SetImageJPGQuality(int quality)
{
    if (quality < 1 || quality > 100)
        return ZARNIMG_ERR_ARGUMENT;
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    m_jpgQuality = quality;
    return ZARNIMG_OK;
}

int CZarnImageLibrary::GetImageInfo(void **data, int *width, int *height, int *format)
{
    if (!m_image)
        return ZARNIMG_ERR_NO_IMAGE;
    if (data)
        *data = mcvGetImageData(m_image);
    if (width)
        *width = m_image->width;
    if (height)
        *height = m_image->height;
    if (format)
        *format = m_image->channels * 16 + 1;
    return ZARNIMG_OK;
}

void CZarnImageLibrary::ReleaseImageResource()
{
    if (m_image)
        mcvReleaseImage(&m_image);
    m_image = nullptr;
}

int CZarnImageLibrary::DrawLine(char *, int &, int &, int)
{
    return 1;
}

int CZarnImageLibrary::convert_yuv_to_rgb_pixel(int y, int u, int v)
{
    auto channel = [](double value) {
        int c = std::clamp(static_cast<int>(value), 0, 255);
        return (c * 220) >> 8;
    };
    int r = channel(y + 1.370705 * (v - 128));
    int g = channel(y - 0.698001 * (v - 128) - 0.337633 * (u - 128));
    int b = channel(y + 1.732446 * (u - 128));
    return r | (g << 8) | (b << 16);
}

int CZarnImageLibrary::YUYV422ToRGB888(const unsigned char *src, unsigned char *dst, unsigned int dstLength,
                                        unsigned int width, unsigned int height)
{
    if (!src || !dst || width == 0 || height == 0)
        return ZARNIMG_ERR_ARGUMENT;
    // Sizes in 64 bits: in 32 bits width x height x 3 can wrap around and
    // let a short destination pass the check.
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
    if (static_cast<std::uint64_t>(dstLength) < pixels * 3)
        return ZARNIMG_ERR_ARGUMENT;
    auto put = [](unsigned char *out, int packed) {
        out[0] = static_cast<unsigned char>(packed & 0xFF);
        out[1] = static_cast<unsigned char>((packed >> 8) & 0xFF);
        out[2] = static_cast<unsigned char>((packed >> 16) & 0xFF);
    };
    const std::uint64_t srcBytes = pixels * 2;
    std::uint64_t j = 0, k = 0;
    for (; j + 4 <= srcBytes; j += 4, k += 6) {
        int y0 = src[j], u = src[j + 1], y1 = src[j + 2], v = src[j + 3];
        put(dst + k, convert_yuv_to_rgb_pixel(y0, u, v));
        put(dst + k + 3, convert_yuv_to_rgb_pixel(y1, u, v));
    }
    // An odd pixel count leaves one pixel (Y, U) without its pair: convert
    // it with neutral red difference instead of reading and writing past
    // both buffers.
    if (j < srcBytes)
        put(dst + k, convert_yuv_to_rgb_pixel(src[j], src[j + 1], 128));
    return 0;
}
