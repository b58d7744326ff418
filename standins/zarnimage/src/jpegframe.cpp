// MJPG frames: finding the end of a frame that comes without a byte count,
// and decoding it with libjpeg-turbo.
#include "internal.h"

#include <turbojpeg.h>

#include <cstring>
#include <memory>

namespace zarnimage {

namespace {

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kSOI = 0xD8, kEOI = 0xD9, kSOS = 0xDA, kTEM = 0x01;

bool standalone(std::uint8_t m)
{
    return m == kTEM || (m >= 0xD0 && m <= 0xD7); // TEM, RST0..RST7
}

// Skips entropy-coded data starting at i; returns the offset of the next
// marker (an 0xFF not followed by a stuffed zero, fill byte or restart), or
// limit when none is found.
std::size_t skipScan(const std::uint8_t *p, std::size_t i, std::size_t limit)
{
    while (i + 1 < limit) {
        const void *ff = std::memchr(p + i, kMarker, limit - i - 1);
        if (!ff)
            return limit;
        i = static_cast<std::size_t>(static_cast<const std::uint8_t *>(ff) - p);
        std::uint8_t next = p[i + 1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7))
            i += 2;
        else if (next == kMarker)
            i += 1;
        else
            return i;
    }
    return limit;
}

} // namespace

std::size_t jpegStreamLength(const std::uint8_t *p, std::size_t limit)
{
    if (!p || limit < 4 || p[0] != kMarker || p[1] != kSOI)
        return 0;
    std::size_t i = 2;
    bool sawScan = false;
    for (;;) {
        // Markers may be preceded by any number of fill bytes.
        while (i + 1 < limit && p[i] == kMarker && p[i + 1] == kMarker)
            ++i;
        if (i + 1 >= limit || p[i] != kMarker)
            return 0;
        std::uint8_t m = p[i + 1];
        i += 2;
        if (m == kEOI)
            return sawScan ? i : 0;
        if (m == kSOI || m == 0x00)
            return 0;
        if (standalone(m))
            continue;
        if (i + 2 > limit)
            return 0;
        std::size_t len = (static_cast<std::size_t>(p[i]) << 8) | p[i + 1];
        if (len < 2 || i + len > limit)
            return 0;
        i += len;
        if (m == kSOS) {
            sawScan = true;
            i = skipScan(p, i, limit);
            if (i >= limit)
                return 0;
        }
    }
}

cv::Mat decodeJpeg(const std::uint8_t *data, std::size_t length, int expectedWidth, int expectedHeight)
{
    if (!data || length == 0 || length > 0xFFFFFFFFul)
        return {};
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    if (!tj)
        return {};
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    auto size = static_cast<unsigned long>(length);
    if (tjDecompressHeader3(tj.get(), data, size, &width, &height, &subsamp, &colorspace) != 0)
        return {};
    if (width <= 0 || height <= 0)
        return {};
    if (expectedWidth > 0 && expectedHeight > 0 && (width != expectedWidth || height != expectedHeight))
        return {};
    if (static_cast<long long>(width) * height > (1LL << 28))
        return {};
    cv::Mat rgb(height, width, CV_8UC3);
    // Damaged entropy data is reported as a warning and still gives a full
    // picture; only fatal errors (no picture at all) are refused.  The
    // frame was already checked to be complete from SOI to EOI.
    if (tjDecompress2(tj.get(), data, size, rgb.data, width, 0, height, TJPF_RGB, 0) != 0 &&
        tjGetErrorCode(tj.get()) == TJERR_FATAL)
        return {};
    return rgb;
}

} // namespace zarnimage
