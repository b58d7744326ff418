// Page detection and deskew on samples of the virtual camera's desk scenes,
// the original ones and the harder ones (the benchmark runs the full
// sweeps and the real photographs).
#include "pagetruth.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

using namespace imagingtest;

TEST(PageAccuracy, SampleOfDeskScenes)
{
    mcvInit();
    std::vector<vcam::SceneParams> scenes = sceneSweep(37);
    ASSERT_GE(scenes.size(), 12u);
    Accuracy acc = measure(scenes);
    for (const std::string &miss : acc.misses)
        ADD_FAILURE() << "page not found: " << miss;
    EXPECT_EQ(acc.found, acc.pictures);
    EXPECT_GE(acc.meanIoU, 0.97);
    EXPECT_GE(acc.minIoU, 0.9);
    EXPECT_LT(acc.meanSkewError, 0.3);
    EXPECT_LT(acc.maxSkewError, 1.0);
}

TEST(PageAccuracy, SampleOfHarderScenes)
{
    mcvInit();
    // Every ninth of the first 108 harder scenes: all sizes, desks, print,
    // clutter, cables, shadows and perspective.
    std::vector<vcam::SceneParams> scenes;
    for (int i = 0; i < 108; i += 9)
        scenes.push_back(hardScenes(1, i).front());
    Detection det = measureDetection(scenes, libraryDetector);
    for (const std::string &m : det.misses)
        std::printf("  %s\n", m.c_str());
    EXPECT_GE(det.found, det.pictures - 1);
    EXPECT_GE(det.meanIoU, 0.93);
}

TEST(PageAccuracy, NoPageOnDesksWithoutOne)
{
    mcvInit();
    Detection det = measureDetection(emptyDesks(10), libraryDetector);
    for (const std::string &m : det.misses)
        ADD_FAILURE() << m;
    EXPECT_EQ(det.found, 0);
}

TEST(PageAccuracy, RectangleRecordAndConfidence)
{
    vcam::SceneParams p;
    p.width = 1280;
    p.height = 960;
    p.angleDeg = 12;
    p.deskTexture = 1;
    vcam::Scene scene = vcam::renderScene(p);
    HMCVIMAGE image = mcvLoadFromRGB888Data(scene.rgb.data(), scene.width, scene.height, 0, 96, 96);
    ASSERT_NE(image, nullptr);
    McvRectResult result;
    EXPECT_EQ(mcvDetectRect1(&result, image, 0, 0), 1);
    ASSERT_EQ(result.count, 1);
    const McvRect &r = result.rect[0];
    // Corners in the order top-left, top-right, bottom-right, bottom-left.
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(r.corner[i].x, scene.corners[i].x, 4) << "corner " << i;
        EXPECT_NEAR(r.corner[i].y, scene.corners[i].y, 4) << "corner " << i;
    }
    EXPECT_GT(r.confidence, 500);
    EXPECT_LE(r.confidence, 1000);
    float angle = 0;
    ASSERT_EQ(mcvDetectSkewAngle(image, &angle), 0);
    EXPECT_NEAR(angle, 12.0, 0.3);

    // After deskewing, the page is upright and still the same size.
    HMCVIMAGE straight = mcvAdjustSkew(image);
    ASSERT_NE(straight, nullptr);
    EXPECT_EQ(straight->width, image->width);
    ASSERT_EQ(mcvDetectRect1(&result, straight, 0, 0), 1);
    ASSERT_EQ(mcvDetectSkewAngle(straight, &angle), 0);
    EXPECT_NEAR(angle, 0.0, 0.3);
    EXPECT_EQ(mcvDetectRect1(&result, straight, 1, 0), -1); // reserved arguments
    EXPECT_EQ(result.count, 0);
    mcvReleaseImage(&straight);
    mcvReleaseImage(&image);
}

TEST(PageAccuracy, NoPageOnAnEmptyDesk)
{
    std::vector<std::uint8_t> desk(640 * 480 * 3, 70);
    HMCVIMAGE image = mcvLoadFromRGB888Data(desk.data(), 640, 480, 0, 96, 96);
    McvRectResult result;
    result.count = 42;
    EXPECT_EQ(mcvDetectRect1(&result, image, 0, 0), 0);
    EXPECT_EQ(result.count, 0);
    float angle = 5;
    EXPECT_EQ(mcvDetectSkewAngle(image, &angle), -1);
    // Deskew without anything to measure is an unchanged copy.
    HMCVIMAGE same = mcvAdjustSkew(image);
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(std::memcmp(mcvGetImageData(same), desk.data(), desk.size()), 0);
    mcvReleaseImage(&same);
    mcvReleaseImage(&image);
}

TEST(PageAccuracy, SheetLargerThanThePictureIsDeskewedByItsText)
{
    // Zoomed in so far that the sheet runs off every edge: there is no page
    // outline to report (never a region cut by the picture's edge), and the
    // tilt comes from the lines of text.
    for (double truth : {-9.0, 4.0}) {
        vcam::SceneParams p;
        p.width = 1280;
        p.height = 720;
        p.angleDeg = truth;
        p.scale = 1.6;
        vcam::Scene scene = vcam::renderScene(p);
        HMCVIMAGE image = mcvLoadFromRGB888Data(scene.rgb.data(), scene.width, scene.height, 0, 96, 96);
        McvRectResult result;
        EXPECT_EQ(mcvDetectRect1(&result, image, 0, 0), 0);
        float angle = 0;
        ASSERT_EQ(mcvDetectSkewAngle(image, &angle), 0);
        EXPECT_NEAR(angle, truth, 0.5);
        mcvReleaseImage(&image);
    }
}
