// Page search on the situations real desks bring (scenes of the virtual
// camera with known corners): a corner under a mug, a cable across the
// sheet, a table printed on it, a white desk, a small sheet among clutter,
// a sheet reaching past the picture's edge; what must give no page; and
// what must not change the answer (size, a quarter turn, grey pictures,
// other threads searching at the same time).
#include "pagetruth.h"

#include "ZarnImage.h"

#include "vcam/scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <thread>

using namespace imagingtest;

namespace {

struct Found {
    bool ok = false;
    McvRect rect{};
    double iou = 0;
};

// Renders the scene, sends it the camera's way (MJPG) and searches it.
Found search(const vcam::SceneParams &p, vcam::Scene *out = nullptr)
{
    vcam::Scene scene = vcam::renderScene(p);
    std::vector<std::uint8_t> frame = vcam::encodeMjpeg(scene.rgb.data(), scene.width, scene.height);
    frame.resize(std::max(frame.size(), static_cast<std::size_t>(scene.width) * scene.height * 3));
    HMCVIMAGE image = mcvLoadFromVideoData(frame.data(), scene.width, scene.height, 0, 96, 96);
    Found f;
    if (image) {
        McvRectResult result;
        f.ok = mcvDetectRect1(&result, image, 0, 0) == 1 && result.count == 1;
        if (f.ok) {
            f.rect = result.rect[0];
            f.iou = quadIoU(f.rect, scene.corners);
        }
    }
    mcvReleaseImage(&image);
    if (out)
        *out = std::move(scene);
    return f;
}

vcam::SceneParams base(int width, int height, int desk, std::uint32_t seed)
{
    vcam::SceneParams p;
    p.width = width;
    p.height = height;
    p.deskTexture = desk;
    p.seed = seed;
    p.noise = 3;
    return p;
}

double cornerError(const McvRect &r, const vcam::Point &truth, int i)
{
    return std::hypot(r.corner[i].x - truth.x, r.corner[i].y - truth.y);
}

} // namespace

TEST(PageSearch, OcclusionsOnTheSheetCostLittle)
{
    mcvInit();
    // A mug over a corner: the corner comes from the two sides' lines.
    vcam::SceneParams mug = base(1280, 720, 8, 11);
    mug.angleDeg = -8;
    mug.scale = 0.62;
    mug.onPage = 1;
    vcam::Scene scene;
    Found f = search(mug, &scene);
    ASSERT_TRUE(f.ok) << describe(mug);
    EXPECT_GT(f.iou, 0.95) << describe(mug);
    for (int i = 0; i < 4; ++i)
        EXPECT_LT(cornerError(f.rect, scene.corners[i], i), 0.02 * scene.height) << "corner " << i;

    // A cable across the sheet and pens on it, on light wood.
    vcam::SceneParams cable = base(1920, 1080, 4, 12);
    cable.angleDeg = 14;
    cable.scale = 0.55;
    cable.cables = 1;
    cable.onPage = 3;
    cable.clutter = 4;
    f = search(cable);
    ASSERT_TRUE(f.ok) << describe(cable);
    EXPECT_GT(f.iou, 0.95) << describe(cable);
}

TEST(PageSearch, PrintOnTheSheetIsNotTheSheet)
{
    mcvInit();
    // A ruled table, music staves and a form with a dark band: long straight
    // printed lines and boxes inside the sheet, on dark and on light desks.
    const int contents[] = {1, 2, 3};
    const int desks[] = {0, 7, 5};
    for (int k = 0; k < 3; ++k) {
        vcam::SceneParams p = base(1280, 960, desks[k], 20 + static_cast<std::uint32_t>(k));
        p.content = contents[k];
        p.angleDeg = 6 - 5 * k;
        p.scale = 0.7;
        p.deskHue = 280;
        Found f = search(p);
        ASSERT_TRUE(f.ok) << describe(p);
        EXPECT_GT(f.iou, 0.95) << describe(p);
    }
}

TEST(PageSearch, WhiteOnWhiteAndSmallSheets)
{
    mcvInit();
    // A white sheet with a table on a near-white desk: only a faint edge.
    vcam::SceneParams white = base(1920, 1080, 6, 31);
    white.angleDeg = -11;
    white.scale = 0.6;
    white.content = 1;
    white.shadow = 0.3;
    Found f = search(white);
    ASSERT_TRUE(f.ok) << describe(white);
    EXPECT_GT(f.iou, 0.93) << describe(white);
    EXPECT_GE(f.rect.confidence, 450);

    // A sheet of about 6 % of the picture among objects on a purple desk,
    // seen at an angle.
    vcam::SceneParams small = base(1920, 1080, 5, 32);
    small.scale = 0.4;
    small.centerX = 0.62;
    small.centerY = 0.45;
    small.angleDeg = 21;
    small.tiltXDeg = 18;
    small.clutter = 6;
    f = search(small);
    ASSERT_TRUE(f.ok) << describe(small);
    EXPECT_GT(f.iou, 0.93) << describe(small);
}

TEST(PageSearch, StrongPerspectiveKeepsTheCornersInOrder)
{
    mcvInit();
    vcam::SceneParams p = base(1512, 2016, 7, 41);
    p.scale = 0.5;
    p.angleDeg = 9;
    p.tiltXDeg = 26;
    p.tiltYDeg = -15;
    vcam::Scene scene;
    Found f = search(p, &scene);
    ASSERT_TRUE(f.ok) << describe(p);
    EXPECT_GT(f.iou, 0.95);
    // Top-left, top-right, bottom-right, bottom-left as the sheet lies.
    for (int i = 0; i < 4; ++i)
        EXPECT_LT(cornerError(f.rect, scene.corners[i], i), 0.015 * scene.height) << "corner " << i;
}

TEST(PageSearch, SheetReachingPastThePictureEdge)
{
    mcvInit();
    // Upright sheet (576 x 407 pixels) whose bottom edge lies 3 % of its
    // height below the picture: the picture's edge is its side there.
    vcam::SceneParams p = base(1280, 720, 1, 51);
    p.angleDeg = 0;
    p.scale = 0.8;
    const double h = 0.8 * 720, w = h * p.aspect;
    p.centerY = (720 + 0.03 * h - h / 2) / 720;
    vcam::Scene scene;
    Found f = search(p, &scene);
    ASSERT_GT(scene.corners[2].y, 719);
    ASSERT_TRUE(f.ok) << describe(p);
    EXPECT_EQ(f.rect.corner[2].y, 719);
    EXPECT_EQ(f.rect.corner[3].y, 719);
    for (int i : {0, 1})
        EXPECT_LT(cornerError(f.rect, scene.corners[i], i), 4) << "corner " << i;
    EXPECT_NEAR(f.rect.corner[2].x, scene.corners[2].x, 4);
    EXPECT_NEAR(f.rect.corner[3].x, scene.corners[3].x, 4);
    EXPECT_GT(f.iou, 0.95);

    // Turned by 6 degrees: the tilt comes from the sheet's own sides, not
    // from the picture's edge standing in for one of them.
    p.angleDeg = 6;
    p.scale = 0.75;
    p.centerY = (720 + 0.03 * 0.75 * 720 - 0.75 * 720 / 2 * std::cos(6 * M_PI / 180)) / 720;
    vcam::Scene turned = vcam::renderScene(p);
    ASSERT_GT(std::max(turned.corners[2].y, turned.corners[3].y), 719);
    HMCVIMAGE image = mcvLoadFromRGB888Data(turned.rgb.data(), turned.width, turned.height, 0, 96, 96);
    McvRectResult result;
    ASSERT_EQ(mcvDetectRect1(&result, image, 0, 0), 1);
    float angle = 0;
    ASSERT_EQ(mcvDetectSkewAngle(image, &angle), 0);
    EXPECT_NEAR(angle, 6.0, 0.3);
    mcvReleaseImage(&image);

    // Past two edges (a tenth of its width beyond the right one too), too
    // little of the outline is seen: no page.
    p.centerX = (1280 + 0.1 * w - w / 2) / 1280;
    vcam::Scene corner;
    f = search(p, &corner);
    ASSERT_GT(corner.corners[1].x, 1279);
    ASSERT_GT(corner.corners[2].y, 719);
    EXPECT_FALSE(f.ok) << "IoU " << f.iou;
}

TEST(PageSearch, NothingOnDesksWithoutASheet)
{
    mcvInit();
    // Every desk style with clutter and cables, and a bare dark desk under
    // uneven light: no page, and no tilt from a page outline either.
    for (int desk : {0, 1, 3, 4, 5, 6, 7, 8}) {
        vcam::SceneParams p = base(1280, 720, desk, 60 + static_cast<std::uint32_t>(desk));
        p.page = false;
        p.clutter = 6;
        p.cables = desk % 2;
        p.shadow = desk % 3 == 0 ? 0.5 : 0;
        Found f = search(p);
        EXPECT_FALSE(f.ok) << "page reported (confidence " << f.rect.confidence << ") on " << describe(p);
    }
}

TEST(PageSearch, ConfidenceFollowsTheEvidence)
{
    mcvInit();
    // The same sheet plainly on a dark desk and half hidden in a corner of
    // a white one: found both times, trusted less the second time.
    vcam::SceneParams plain = base(1280, 720, 0, 71);
    plain.angleDeg = 4;
    vcam::SceneParams hard = base(1280, 720, 6, 71);
    hard.angleDeg = 4;
    hard.onPage = 3;
    hard.cables = 2;
    hard.paperTone = 0.97;
    Found a = search(plain), b = search(hard);
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(b.ok) << describe(hard);
    EXPECT_GT(a.rect.confidence, 900);
    EXPECT_LT(b.rect.confidence, a.rect.confidence);
    EXPECT_GE(b.rect.confidence, 450);
}

namespace {

McvRect detectIn(HMCVIMAGE image, bool &ok)
{
    McvRectResult result;
    ok = mcvDetectRect1(&result, image, 0, 0) == 1;
    return ok ? result.rect[0] : McvRect{};
}

} // namespace

TEST(PageSearch, AnswerFollowsThePictureNotItsSizeTurnOrColour)
{
    mcvInit();
    vcam::SceneParams p = base(2592, 1944, 4, 81);
    p.angleDeg = -13;
    p.scale = 0.6;
    p.tiltXDeg = 12;
    p.clutter = 4;
    p.content = 1;
    const vcam::Scene big = vcam::renderScene(p);
    p.width = 640;
    p.height = 480;
    const vcam::Scene small = vcam::renderScene(p);

    HMCVIMAGE image = mcvLoadFromRGB888Data(big.rgb.data(), big.width, big.height, 0, 96, 96);
    bool ok = false;
    const McvRect found = detectIn(image, ok);
    ASSERT_TRUE(ok);
    EXPECT_GT(quadIoU(found, big.corners), 0.97);

    // The same desk drawn at a quarter of the size: the same corners, scaled.
    HMCVIMAGE little = mcvLoadFromRGB888Data(small.rgb.data(), small.width, small.height, 0, 96, 96);
    const McvRect smallFound = detectIn(little, ok);
    ASSERT_TRUE(ok);
    EXPECT_GT(quadIoU(smallFound, small.corners), 0.95);

    // Turned a quarter clockwise: the page is found where it went, its
    // corners again top-left first as it now lies.
    HMCVIMAGE turned = mcvRotateImage(image, 90.0f);
    ASSERT_NE(turned, nullptr);
    const McvRect turnedFound = detectIn(turned, ok);
    ASSERT_TRUE(ok);
    vcam::Point turnedTruth[4];
    for (int i = 0; i < 4; ++i) // (x, y) -> (h - 1 - y, x); the old bottom-left is now top-left
        turnedTruth[i] = {big.height - 1 - big.corners[(i + 3) % 4].y, big.corners[(i + 3) % 4].x};
    EXPECT_GT(quadIoU(turnedFound, turnedTruth), 0.97);
    for (int i = 0; i < 4; ++i)
        EXPECT_LT(std::hypot(turnedFound.corner[i].x - turnedTruth[i].x, turnedFound.corner[i].y - turnedTruth[i].y),
                  0.01 * big.height)
            << "corner " << i;

    // A grey picture: found all the same.
    HMCVIMAGE grey = mcvGrayStyle(image);
    ASSERT_NE(grey, nullptr);
    const McvRect greyFound = detectIn(grey, ok);
    ASSERT_TRUE(ok);
    EXPECT_GT(quadIoU(greyFound, big.corners), 0.97);
    for (HMCVIMAGE *i : {&image, &little, &turned, &grey})
        mcvReleaseImage(i);
}

TEST(PageSearch, DegeneratePicturesGiveNoPage)
{
    mcvInit();
    std::mt19937 rng(17);
    struct Case {
        int w, h;
        int kind; // 0 black, 1 white, 2 noise, 3 halves (an edge, no outline)
    };
    for (const Case &c : {Case{8, 8, 2}, Case{31, 400, 2}, Case{640, 480, 0}, Case{640, 480, 1}, Case{640, 480, 2},
                          Case{1280, 720, 3}, Case{4000, 33, 2}}) {
        std::vector<std::uint8_t> rgb(static_cast<std::size_t>(c.w) * c.h * 3);
        for (std::size_t i = 0; i < rgb.size(); ++i) {
            const std::size_t x = (i / 3) % static_cast<std::size_t>(c.w);
            rgb[i] = c.kind == 0   ? 0
                     : c.kind == 1 ? 255
                     : c.kind == 2 ? static_cast<std::uint8_t>(rng())
                                   : (x < static_cast<std::size_t>(c.w) / 2 ? 40 : 230);
        }
        HMCVIMAGE image = mcvLoadFromRGB888Data(rgb.data(), c.w, c.h, 0, 96, 96);
        ASSERT_NE(image, nullptr);
        McvRectResult result;
        result.count = 7;
        EXPECT_EQ(mcvDetectRect1(&result, image, 0, 0), 0) << c.w << "x" << c.h << " kind " << c.kind;
        EXPECT_EQ(result.count, 0);
        mcvReleaseImage(&image);
    }
}

TEST(PageSearch, ConcurrentSearchesGiveTheSameAnswers)
{
    mcvInit();
    // Two pictures searched on two threads at once, twice each, against
    // the answers of one thread alone.
    std::vector<HMCVIMAGE> images;
    for (std::uint32_t seed : {91u, 92u}) {
        vcam::SceneParams p = base(960, 720, static_cast<int>(seed % 2 ? 5 : 6), seed);
        p.angleDeg = seed % 2 ? 10 : -6;
        p.clutter = 3;
        p.cables = 1;
        vcam::Scene s = vcam::renderScene(p);
        images.push_back(mcvLoadFromRGB888Data(s.rgb.data(), s.width, s.height, 0, 96, 96));
        ASSERT_NE(images.back(), nullptr);
    }
    McvRectResult alone[2];
    for (int k = 0; k < 2; ++k)
        mcvDetectRect1(&alone[k], images[static_cast<std::size_t>(k)], 0, 0);
    McvRectResult together[2][2];
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k)
        threads.emplace_back([&, k] {
            for (int rep = 0; rep < 2; ++rep)
                mcvDetectRect1(&together[k][rep], images[static_cast<std::size_t>(k)], 0, 0);
        });
    for (auto &t : threads)
        t.join();
    for (int k = 0; k < 2; ++k)
        for (int rep = 0; rep < 2; ++rep) {
            ASSERT_EQ(together[k][rep].count, alone[k].count);
            for (int i = 0; i < 4 && alone[k].count; ++i) {
                EXPECT_EQ(together[k][rep].rect[0].corner[i].x, alone[k].rect[0].corner[i].x);
                EXPECT_EQ(together[k][rep].rect[0].corner[i].y, alone[k].rect[0].corner[i].y);
            }
        }
    for (HMCVIMAGE &i : images)
        mcvReleaseImage(&i);
}
