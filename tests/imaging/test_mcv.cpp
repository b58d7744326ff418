// libZarnImage: MJPG frame decoding (no Huffman tables, padding, garbage,
// truncation, bounds), cutting, rotation and the image record.
#include "testutil.h"

#include "ZarnImage.h"

#include "vcam/scene.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace imagingtest;

namespace {

struct ImageHolder {
    HMCVIMAGE image = nullptr;
    explicit ImageHolder(HMCVIMAGE i) : image(i) {}
    ~ImageHolder() { mcvReleaseImage(&image); }
    ImageHolder(const ImageHolder &) = delete;
    ImageHolder &operator=(const ImageHolder &) = delete;
};

bool hasHuffmanTables(const std::vector<std::uint8_t> &jpeg, std::size_t size)
{
    for (std::size_t i = 0; i + 1 < size; ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC4)
            return true;
    return false;
}

// A picture of coloured quarters, easy to check after decoding or turning.
std::vector<std::uint8_t> quarters(int w, int h)
{
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t *p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            bool right = x >= w / 2, bottom = y >= h / 2;
            p[0] = right ? 230 : 20;
            p[1] = bottom ? 230 : 20;
            p[2] = (right != bottom) ? 200 : 40;
        }
    return rgb;
}

} // namespace

TEST(ZarnImage, FrameWithoutHuffmanTablesDecodesToThePicture)
{
    const int w = 320, h = 240;
    std::vector<std::uint8_t> rgb = quarters(w, h);
    std::vector<std::uint8_t> frame = vcam::encodeMjpeg(rgb.data(), w, h, 90);
    ASSERT_FALSE(hasHuffmanTables(frame, frame.size()));
    frame.resize(w * h * 3, 0xAB); // the rest of the frame record is stale data
    ImageHolder img(mcvLoadFromVideoData(frame.data(), w, h, 0, 96, 96));
    ASSERT_NE(img.image, nullptr);
    EXPECT_EQ(img.image->width, w);
    EXPECT_EQ(img.image->height, h);
    EXPECT_EQ(img.image->channels, 3);
    const std::uint8_t *px = mcvGetImageData(img.image);
    ASSERT_NE(px, nullptr);
    // Centres of the four quarters keep their colours (JPEG is lossy).
    for (int qy = 0; qy < 2; ++qy)
        for (int qx = 0; qx < 2; ++qx) {
            int x = w / 4 + qx * w / 2, y = h / 4 + qy * h / 2;
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(px[(y * w + x) * 3 + c], rgb[(y * w + x) * 3 + c], 6) << x << "," << y << " c" << c;
        }
}

TEST(ZarnImage, GarbageTruncatedAndMisSizedFramesGiveNull)
{
    const int w = 160, h = 120;
    std::vector<std::uint8_t> rgb = quarters(w, h);
    std::vector<std::uint8_t> jpeg = vcam::encodeMjpeg(rgb.data(), w, h, 85);
    const std::size_t size = jpeg.size();
    std::vector<std::uint8_t> buffer(w * h * 3, 0);

    // Not a JPEG at all.
    std::mt19937 rng(5);
    for (auto &b : buffer)
        b = static_cast<std::uint8_t>(rng());
    EXPECT_EQ(mcvLoadFromVideoData(buffer.data(), w, h, 0, 96, 96), nullptr);
    std::fill(buffer.begin(), buffer.end(), 0);
    EXPECT_EQ(mcvLoadFromVideoData(buffer.data(), w, h, 0, 96, 96), nullptr);

    // Cut short: the end marker never comes within the buffer.
    std::copy(jpeg.begin(), jpeg.begin() + size / 2, buffer.begin());
    EXPECT_EQ(mcvLoadFromVideoData(buffer.data(), w, h, 0, 96, 96), nullptr);

    // The complete frame decodes from the same buffer...
    std::copy(jpeg.begin(), jpeg.end(), buffer.begin());
    HMCVIMAGE ok = mcvLoadFromVideoData(buffer.data(), w, h, 0, 96, 96);
    EXPECT_NE(ok, nullptr);
    mcvReleaseImage(&ok);
    EXPECT_EQ(ok, nullptr);
    // ...but not when the byte count given is shorter than the frame,
    EXPECT_EQ(mcvLoadFromVideoData(buffer.data(), w, h, static_cast<int>(size) - 1, 96, 96), nullptr);
    // nor when the caller claims another picture size.
    EXPECT_EQ(mcvLoadFromVideoData(buffer.data(), w * 2, h, 0, 96, 96), nullptr);
    EXPECT_EQ(mcvLoadFromVideoData(nullptr, w, h, 0, 96, 96), nullptr);
    EXPECT_EQ(mcvLoadFromVideoData(buffer.data(), 0, h, 0, 96, 96), nullptr);
}

TEST(ZarnImage, NeverReadsPastWidthTimesHeightTimesThree)
{
    // An 8 x 8 frame is longer than 8 x 8 x 3 bytes (its tables alone are).
    // In a buffer of exactly that size the search must stop at the
    // buffer's end (AddressSanitizer watches) and report no frame.
    const int w = 8, h = 8;
    std::vector<std::uint8_t> rgb = quarters(w, h);
    std::vector<std::uint8_t> jpeg = vcam::encodeMjpeg(rgb.data(), w, h, 90);
    ASSERT_GT(jpeg.size(), static_cast<std::size_t>(w * h * 3));
    std::vector<std::uint8_t> exact(jpeg.begin(), jpeg.begin() + w * h * 3);
    EXPECT_EQ(mcvLoadFromVideoData(exact.data(), w, h, 0, 96, 96), nullptr);
    // Declaring a longer byte count does not lift the bound.
    HMCVIMAGE whole = mcvLoadFromVideoData(jpeg.data(), w, h, static_cast<int>(jpeg.size()), 96, 96);
    EXPECT_EQ(whole, nullptr) << "a declared length never extends the w x h x 3 bound";
    mcvReleaseImage(&whole);
}

TEST(ZarnImage, DamagedFramesNeverCrash)
{
    const int w = 96, h = 64;
    std::vector<std::uint8_t> rgb = quarters(w, h);
    std::vector<std::uint8_t> jpeg = vcam::encodeMjpeg(rgb.data(), w, h, 80);
    std::mt19937 rng(3);
    int decoded = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> buffer(w * h * 3, 0);
        std::copy(jpeg.begin(), jpeg.end(), buffer.begin());
        for (int k = 0; k < 1 + round % 8; ++k)
            buffer[rng() % jpeg.size()] = static_cast<std::uint8_t>(rng());
        HMCVIMAGE img = mcvLoadFromVideoData(buffer.data(), w, h, 0, 96, 96);
        if (img) {
            ++decoded;
            EXPECT_EQ(img->width, w);
            EXPECT_EQ(img->height, h);
        }
        mcvReleaseImage(&img);
    }
    // Some damage hits only entropy data and still yields a picture.
    EXPECT_GT(decoded, 0);
}

TEST(ZarnImage, RgbLoadingStrideAndRecord)
{
    const int w = 5, h = 3, stride = 20;
    std::vector<std::uint8_t> rows(stride * h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x)
            rows[y * stride + x] = static_cast<std::uint8_t>(y * 50 + x);
    ImageHolder img(mcvLoadFromRGB888Data(rows.data(), w, h, stride, 150, 300));
    ASSERT_NE(img.image, nullptr);
    EXPECT_EQ(img.image->width, w);
    EXPECT_EQ(img.image->channels, 3);
    EXPECT_EQ(img.image->dpiX, 150);
    EXPECT_EQ(img.image->dpiY, 300);
    const std::uint8_t *px = mcvGetImageData(img.image);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x)
            ASSERT_EQ(px[y * w * 3 + x], y * 50 + x);
    EXPECT_EQ(mcvLoadFromRGB888Data(rows.data(), w, h, w * 3 - 1, 96, 96), nullptr);
    EXPECT_EQ(mcvLoadFromRGB888Data(nullptr, w, h, 0, 96, 96), nullptr);
    mcvReleaseImage(nullptr); // harmless
}

TEST(ZarnImage, QuarterTurnsAreExactAndNegativeMeansCounterClockwise)
{
    const int w = 4, h = 2;
    std::vector<std::uint8_t> rgb(w * h * 3);
    for (int i = 0; i < w * h; ++i)
        rgb[i * 3] = static_cast<std::uint8_t>(i); // red channel numbers the pixels
    ImageHolder img(mcvLoadFromRGB888Data(rgb.data(), w, h, 0, 96, 96));
    // -90: counter-clockwise, so the top-right pixel (3) becomes top-left.
    ImageHolder ccw(mcvRotateImage(img.image, -90.0f));
    ASSERT_NE(ccw.image, nullptr);
    EXPECT_EQ(ccw.image->width, h);
    EXPECT_EQ(ccw.image->height, w);
    EXPECT_EQ(mcvGetImageData(ccw.image)[0], 3);
    EXPECT_EQ(mcvGetImageData(ccw.image)[(w * h - 1) * 3], 4); // bottom-left pixel ends bottom-right
    ImageHolder half(mcvRotateImage(img.image, -180.0f));
    EXPECT_EQ(mcvGetImageData(half.image)[0], w * h - 1);
    ImageHolder cw(mcvRotateImage(img.image, -270.0f));
    EXPECT_EQ(mcvGetImageData(cw.image)[0], 4);
    // A free angle grows the canvas to hold the turned picture.
    ImageHolder free(mcvRotateImage(img.image, 30.0f));
    ASSERT_NE(free.image, nullptr);
    EXPECT_GT(free.image->height, h);
}

TEST(ZarnImage, CutUprightRectangleIsExactAndBadRectanglesAreRefused)
{
    const int w = 40, h = 30;
    std::vector<std::uint8_t> rgb(w * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            rgb[(y * w + x) * 3] = static_cast<std::uint8_t>(x), rgb[(y * w + x) * 3 + 1] = static_cast<std::uint8_t>(y);
    ImageHolder img(mcvLoadFromRGB888Data(rgb.data(), w, h, 0, 96, 96));
    McvRect r{{{10, 5}, {29, 5}, {29, 24}, {10, 24}}, 900};
    ImageHolder cut(mcvCutR(img.image, r));
    ASSERT_NE(cut.image, nullptr);
    EXPECT_EQ(cut.image->width, 20); // corners inclusive
    EXPECT_EQ(cut.image->height, 20);
    EXPECT_EQ(mcvGetImageData(cut.image)[0], 10);
    EXPECT_EQ(mcvGetImageData(cut.image)[1], 5);

    McvRect crossed{{{10, 5}, {29, 24}, {29, 5}, {10, 24}}, 900}; // not convex
    EXPECT_EQ(mcvCutR(img.image, crossed), nullptr);
    McvRect tiny{{{1, 1}, {4, 1}, {4, 4}, {1, 4}}, 900};
    EXPECT_EQ(mcvCutR(img.image, tiny), nullptr);
    McvRect outside{{{100, 100}, {200, 100}, {200, 200}, {100, 200}}, 900};
    EXPECT_EQ(mcvCutR(img.image, outside), nullptr);
}

TEST(ZarnImage, GreyAndBlackAndWhite)
{
    Frame f = sceneFrame(640, 480, 0);
    ImageHolder img(mcvLoadFromVideoData(f.bytes.data(), f.width, f.height, 0, 96, 96));
    ASSERT_NE(img.image, nullptr);
    ImageHolder grey(mcvGrayStyle(img.image));
    ASSERT_NE(grey.image, nullptr);
    EXPECT_EQ(grey.image->channels, 1);
    ImageHolder bw(mcvThreshold(img.image, 128));
    ASSERT_NE(bw.image, nullptr);
    EXPECT_EQ(bw.image->channels, 1);
    const std::uint8_t *px = mcvGetImageData(bw.image);
    int black = 0;
    for (int i = 0; i < bw.image->width * bw.image->height; ++i) {
        ASSERT_TRUE(px[i] == 0 || px[i] == 255) << i;
        black += px[i] == 0;
    }
    // Print on the page is black, the paper white: both occur, white dominates.
    EXPECT_GT(black, 0);
    EXPECT_LT(black, bw.image->width * bw.image->height / 2);
    EXPECT_EQ(mcvThreshold(img.image, 0), nullptr);
}
