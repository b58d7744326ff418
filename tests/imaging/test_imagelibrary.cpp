// CZarnImageLibrary: result codes, processing steps and the YUYV conversion.
#include "testutil.h"

#include "zarnimagelibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace imagingtest;

namespace {

struct Rgb {
    int r, g, b;
};

Rgb unpack(int packed)
{
    return {packed & 0xFF, (packed >> 8) & 0xFF, (packed >> 16) & 0xFF};
}

// A small frame with a page on it, shared by the tests (rendering is the
// slow part).
const Frame &smallFrame()
{
    static const Frame frame = sceneFrame(640, 480, 6.0, 1);
    return frame;
}

int load(CZarnImageLibrary &lib)
{
    const Frame &f = smallFrame();
    return lib.LoadVideoData(const_cast<std::uint8_t *>(f.bytes.data()), f.width, f.height, 0);
}

struct Info {
    void *data = nullptr;
    int width = 0, height = 0, format = 0, ret = 0;
};

Info info(CZarnImageLibrary &lib)
{
    Info i;
    i.ret = lib.GetImageInfo(&i.data, &i.width, &i.height, &i.format);
    return i;
}

} // namespace

TEST(ZarnImageLibrary, YuvPixelWorkedValuesAndBounds)
{
    Rgb a = unpack(CZarnImageLibrary::convert_yuv_to_rgb_pixel(100, 50, 200));
    EXPECT_EQ(a.r, 170);
    EXPECT_EQ(a.g, 65);
    EXPECT_EQ(a.b, 0);
    Rgb b = unpack(CZarnImageLibrary::convert_yuv_to_rgb_pixel(81, 90, 240));
    EXPECT_EQ(b.r, 201);
    EXPECT_EQ(b.g, 12);
    EXPECT_EQ(b.b, 12);
    Rgb c = unpack(CZarnImageLibrary::convert_yuv_to_rgb_pixel(16, 128, 128));
    EXPECT_EQ(c.r, 13);
    EXPECT_EQ(c.g, 13);
    EXPECT_EQ(c.b, 13);
    EXPECT_EQ(CZarnImageLibrary::convert_yuv_to_rgb_pixel(255, 128, 128), 219 | 219 << 8 | 219 << 16);
    EXPECT_EQ(CZarnImageLibrary::convert_yuv_to_rgb_pixel(128, 128, 128), 110 | 110 << 8 | 110 << 16);
    EXPECT_EQ(CZarnImageLibrary::convert_yuv_to_rgb_pixel(0, 128, 128), 0);
    // Extremes stay within 0..219 and bits 24..31 stay clear.
    for (int y : {0, 255})
        for (int u : {0, 255})
            for (int v : {0, 255}) {
                int p = CZarnImageLibrary::convert_yuv_to_rgb_pixel(y, u, v);
                Rgb q = unpack(p);
                EXPECT_EQ(p >> 24, 0);
                EXPECT_LE(std::max({q.r, q.g, q.b}), 219);
            }
}

TEST(ZarnImageLibrary, YuyvFrameConversion)
{
    const unsigned w = 4, h = 2;
    std::vector<unsigned char> yuyv(w * h * 2);
    for (unsigned i = 0; i < w * h / 2; ++i) {
        unsigned char group[4] = {100, 50, 81, 200}; // Y0 U Y1 V
        std::memcpy(&yuyv[i * 4], group, 4);
    }
    std::vector<unsigned char> rgb(w * h * 3, 0xEE);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), rgb.data(), w * h * 3, w, h), 0);
    Rgb first = unpack(CZarnImageLibrary::convert_yuv_to_rgb_pixel(100, 50, 200));
    Rgb second = unpack(CZarnImageLibrary::convert_yuv_to_rgb_pixel(81, 50, 200));
    for (unsigned p = 0; p < w * h; p += 2) {
        EXPECT_EQ(rgb[p * 3], first.r);
        EXPECT_EQ(rgb[p * 3 + 1], first.g);
        EXPECT_EQ(rgb[p * 3 + 2], first.b);
        EXPECT_EQ(rgb[p * 3 + 3], second.r);
        EXPECT_EQ(rgb[p * 3 + 4], second.g);
        EXPECT_EQ(rgb[p * 3 + 5], second.b);
    }

    // One byte short: refused, nothing written.
    std::vector<unsigned char> shortDst(w * h * 3 - 1, 0xEE);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), shortDst.data(), w * h * 3 - 1, w, h), -1);
    for (unsigned char byte : shortDst)
        ASSERT_EQ(byte, 0xEE);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(nullptr, rgb.data(), w * h * 3, w, h), -1);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), nullptr, w * h * 3, w, h), -1);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), rgb.data(), w * h * 3, 0, h), -1);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), rgb.data(), w * h * 3, w, 0), -1);
    // 65536 x 65536 x 3 wraps to 0 in 32 bits; it must not pass the check.
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), rgb.data(), 16, 65536, 65536), -1);
}

TEST(ZarnImageLibrary, OddPixelCountStaysInsideBothBuffers)
{
    // 3 x 1 pixels: 6 source bytes, 9 destination bytes, exactly sized so
    // AddressSanitizer sees any access past them.
    std::vector<unsigned char> yuyv = {16, 128, 16, 128, 255, 128};
    std::vector<unsigned char> rgb(9, 0xEE);
    EXPECT_EQ(CZarnImageLibrary::YUYV422ToRGB888(yuyv.data(), rgb.data(), 9, 3, 1), 0);
    EXPECT_EQ(rgb[0], 13);
    EXPECT_EQ(rgb[6], 219); // the lone last pixel, Y 255 with neutral colour
}

TEST(ZarnImageLibrary, EmptyObjectResultCodes)
{
    CZarnImageLibrary lib;
    EXPECT_FALSE(lib.holdsImage());
    EXPECT_EQ(lib.SetImageColorStyle(1), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(lib.SetAutoCrop(1), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(lib.DrawContours(1), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(lib.SetImageDPI(300, 300), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(lib.SetImageJPGQuality(80), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(lib.SetImageRotateMode(1), ZARNIMG_ERR_NO_IMAGE);
    // Rotation modes outside 1..3 are "no rotation", checked first.
    EXPECT_EQ(lib.SetImageRotateMode(0), 0);
    EXPECT_EQ(lib.SetImageRotateMode(4), 0);
    EXPECT_EQ(info(lib).ret, ZARNIMG_ERR_NO_IMAGE);
    // Arguments out of range are refused before the image is looked at.
    EXPECT_EQ(lib.SetImageColorStyle(3), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetImageColorStyle(-1), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetAutoCrop(-1), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetAutoCrop(2), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.DrawContours(2), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetImageDPI(71, 300), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetImageDPI(300, 1201), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetImageJPGQuality(0), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.SetImageJPGQuality(101), ZARNIMG_ERR_ARGUMENT);
    int a = 0, b = 0;
    EXPECT_EQ(lib.DrawLine(nullptr, a, b, 0), 1);
    // Loading garbage produces no image.
    std::vector<std::uint8_t> junk(64 * 48 * 3, 0x55);
    EXPECT_EQ(lib.LoadVideoData(junk.data(), 64, 48, 0), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_EQ(lib.LoadRGB888Image(nullptr, 64, 48, 0), ZARNIMG_ERR_NO_IMAGE);
    EXPECT_FALSE(lib.holdsImage());
}

TEST(ZarnImageLibrary, LoadingTwiceAndSettingsRecords)
{
    CZarnImageLibrary lib;
    EXPECT_EQ(lib.jpgQuality(), 95);
    EXPECT_EQ(lib.dpiX(), 96);
    ASSERT_EQ(load(lib), 0);
    Info first = info(lib);
    EXPECT_EQ(first.ret, 0);
    EXPECT_EQ(first.width, 640);
    EXPECT_EQ(first.height, 480);
    EXPECT_EQ(first.format, 3 * 16 + 1);
    // A second frame is refused and the first image kept.
    EXPECT_EQ(load(lib), ZARNIMG_ERR_HELD);
    EXPECT_EQ(info(lib).data, first.data);

    EXPECT_EQ(lib.SetImageDPI(1200, 72), 0);
    EXPECT_EQ(lib.dpiX(), 1200);
    EXPECT_EQ(lib.dpiY(), 72);
    EXPECT_EQ(lib.SetImageDPI(71, 300), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(lib.dpiX(), 1200);
    EXPECT_EQ(lib.SetImageJPGQuality(80), 0);
    EXPECT_EQ(lib.jpgQuality(), 80);

    // Colour style 0 leaves the very same image in place.
    EXPECT_EQ(lib.SetImageColorStyle(0), 0);
    EXPECT_EQ(info(lib).data, first.data);
    // Crop mode -1 is refused and changes nothing.
    EXPECT_EQ(lib.SetAutoCrop(-1), ZARNIMG_ERR_ARGUMENT);
    EXPECT_EQ(info(lib).data, first.data);
    int a = 0, b = 0;
    EXPECT_EQ(lib.DrawLine(nullptr, a, b, 0), 1);
    EXPECT_EQ(info(lib).data, first.data);

    // An RGB load replaces (and releases) the held image.
    std::vector<std::uint8_t> rgb(8 * 6 * 3, 200);
    EXPECT_EQ(lib.LoadRGB888Image(rgb.data(), 8, 6, 0), 0);
    Info second = info(lib);
    EXPECT_EQ(second.width, 8);
    EXPECT_EQ(second.height, 6);
    lib.ReleaseImageResource();
    EXPECT_FALSE(lib.holdsImage());
    EXPECT_EQ(info(lib).ret, ZARNIMG_ERR_NO_IMAGE);
}

TEST(ZarnImageLibrary, ColourStylesAndRotation)
{
    CZarnImageLibrary lib;
    ASSERT_EQ(load(lib), 0);
    EXPECT_EQ(lib.SetImageColorStyle(1), 0);
    EXPECT_EQ(lib.colorStyle(), 1);
    EXPECT_EQ(info(lib).format, 1 * 16 + 1);
    EXPECT_EQ(lib.SetImageRotateMode(1), 0);
    EXPECT_EQ(lib.rotateAngle(), -90);
    Info turned = info(lib);
    EXPECT_EQ(turned.width, 480);
    EXPECT_EQ(turned.height, 640);
    EXPECT_EQ(lib.SetImageRotateMode(2), 0);
    EXPECT_EQ(lib.rotateAngle(), -180);
    EXPECT_EQ(info(lib).width, 480);
    void *before = info(lib).data;
    EXPECT_EQ(lib.SetImageRotateMode(4), 0); // ignored
    EXPECT_EQ(info(lib).data, before);
    EXPECT_EQ(lib.SetImageColorStyle(2), 0);
    Info bw = info(lib);
    const auto *px = static_cast<const std::uint8_t *>(bw.data);
    for (int i = 0; i < bw.width * bw.height; ++i)
        ASSERT_TRUE(px[i] == 0 || px[i] == 255);
}

TEST(ZarnImageLibrary, AutoCropCutsToThePage)
{
    const Frame &f = smallFrame();
    CZarnImageLibrary lib;
    ASSERT_EQ(load(lib), 0);
    EXPECT_EQ(lib.SetAutoCrop(0), 0);
    EXPECT_EQ(info(lib).width, 640);
    EXPECT_EQ(lib.SetAutoCrop(1), 0);
    EXPECT_EQ(lib.cropMode(), 1);
    Info cut = info(lib);
    EXPECT_NEAR(cut.width, f.pageWidth, f.pageWidth * 0.03);
    EXPECT_NEAR(cut.height, f.pageHeight, f.pageHeight * 0.03);
    // The cut holds paper only: its border rows are light, not desk.
    const auto *px = static_cast<const std::uint8_t *>(cut.data);
    long sum = 0;
    for (int x = 0; x < cut.width; ++x)
        sum += px[(2 * cut.width + x) * 3 + 1] + px[((cut.height - 3) * cut.width + x) * 3 + 1];
    EXPECT_GT(sum / (2 * cut.width), 170);
}

TEST(ZarnImageLibrary, AutoCropWithoutPageLeavesTheImage)
{
    // A plain dark picture has no page: nothing is cut.
    std::vector<std::uint8_t> rgb(320 * 240 * 3, 60);
    CZarnImageLibrary lib;
    ASSERT_EQ(lib.LoadRGB888Image(rgb.data(), 320, 240, 0), 0);
    EXPECT_EQ(lib.SetAutoCrop(1), 0);
    Info i = info(lib);
    EXPECT_EQ(i.width, 320);
    EXPECT_EQ(i.height, 240);
}

TEST(ZarnImageLibrary, DrawContoursOutlinesThePageInGreen)
{
    CZarnImageLibrary lib;
    ASSERT_EQ(load(lib), 0);
    EXPECT_EQ(lib.DrawContours(0), 0);
    EXPECT_EQ(lib.DrawContours(1), 0);
    Info drawn = info(lib);
    EXPECT_EQ(drawn.width, 640); // deskewing keeps the picture's size
    EXPECT_EQ(drawn.height, 480);
    const auto *px = static_cast<const std::uint8_t *>(drawn.data);
    int green = 0;
    for (int i = 0; i < drawn.width * drawn.height; ++i)
        green += px[i * 3] == 0 && px[i * 3 + 1] == 255 && px[i * 3 + 2] == 0;
    // A 10-pixel outline round a page of about 250 x 360 pixels.
    EXPECT_GT(green, 10000);
}

TEST(ZarnImageLibrary, ObjectsOnSeveralThreadsAtOnce)
{
    // The capture thread constructs objects (and so calls mcvInit) while
    // the caller's thread processes and saves: nothing may be shared.
    const Frame &f = smallFrame();
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    auto work = [&](int rounds) {
        ready.fetch_add(1);
        while (ready.load() < 3)
            std::this_thread::yield();
        for (int i = 0; i < rounds; ++i) {
            CZarnImageLibrary lib;
            if (lib.LoadVideoData(const_cast<std::uint8_t *>(f.bytes.data()), f.width, f.height, 0) != 0 ||
                lib.SetAutoCrop(1) != 0 || lib.SetImageColorStyle(i % 3) != 0 || lib.SetImageRotateMode(i % 4) != 0)
                failures.fetch_add(1);
        }
    };
    std::thread a(work, 3), b(work, 3), c([&] {
        ready.fetch_add(1);
        for (int i = 0; i < 200; ++i)
            CZarnImageLibrary delivery; // as around each delivered frame
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
}
