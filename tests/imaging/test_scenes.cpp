// The harder scenes of the virtual camera's renderer: photographic desks,
// perspective, objects, cables, shadows, print and light.  Their corners
// must stay the exact ground truth of what is drawn.
#include "vcam/scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

double luma(const vcam::Scene &s, double x, double y)
{
    const int xi = std::clamp(static_cast<int>(std::lround(x)), 0, s.width - 1);
    const int yi = std::clamp(static_cast<int>(std::lround(y)), 0, s.height - 1);
    const std::uint8_t *p = &s.rgb[(static_cast<std::size_t>(yi) * s.width + xi) * 3];
    return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

double meanLuma(const vcam::Scene &s, double x, double y, int r = 2)
{
    double sum = 0;
    int n = 0;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx, ++n)
            sum += luma(s, x + dx, y + dy);
    return sum / n;
}

struct Rgb {
    double r = 0, g = 0, b = 0;
};

Rgb meanColour(const vcam::Scene &s)
{
    Rgb m;
    const std::size_t n = s.rgb.size() / 3;
    for (std::size_t i = 0; i < n; ++i) {
        m.r += s.rgb[3 * i];
        m.g += s.rgb[3 * i + 1];
        m.b += s.rgb[3 * i + 2];
    }
    m.r /= n;
    m.g /= n;
    m.b /= n;
    return m;
}

double dist(vcam::Point a, vcam::Point b)
{
    return std::hypot(a.x - b.x, a.y - b.y);
}

vcam::Point towards(vcam::Point from, vcam::Point to, double d)
{
    const double len = dist(from, to);
    return {from.x + (to.x - from.x) / len * d, from.y + (to.y - from.y) / len * d};
}

vcam::Point centre(const vcam::Scene &s)
{
    vcam::Point c;
    for (const auto &p : s.corners) {
        c.x += p.x / 4;
        c.y += p.y / 4;
    }
    return c;
}

vcam::SceneParams plain(int desk)
{
    vcam::SceneParams p;
    p.width = 800;
    p.height = 600;
    p.deskTexture = desk;
    p.noise = 0;
    p.lightFalloff = 0;
    return p;
}

} // namespace

TEST(HarderScenes, CameraTiltGivesPerspectiveAndThePageFollowsItsCorners)
{
    vcam::SceneParams p = plain(8);
    p.angleDeg = 0;
    const vcam::Scene flat = vcam::renderScene(p);
    p.tiltXDeg = 20;
    const vcam::Scene tiltX = vcam::renderScene(p);
    // The top edge recedes: shorter than the bottom one, which comes closer.
    const double flatWidth = dist(flat.corners[0], flat.corners[1]);
    EXPECT_LT(dist(tiltX.corners[0], tiltX.corners[1]), 0.95 * flatWidth);
    EXPECT_GT(dist(tiltX.corners[3], tiltX.corners[2]), 1.02 * flatWidth);
    // Left-right symmetric still.
    EXPECT_NEAR(tiltX.corners[0].x + tiltX.corners[1].x, 2 * 400.0, 1e-6);
    p.tiltXDeg = 0;
    p.tiltYDeg = 20;
    const vcam::Scene tiltY = vcam::renderScene(p);
    EXPECT_LT(dist(tiltY.corners[0], tiltY.corners[3]), dist(tiltY.corners[1], tiltY.corners[2]));

    // The drawn sheet lies exactly within the tilted corners: paper a few
    // pixels inside each corner, dark walnut the same distance outside.
    for (const vcam::Scene *s : {&tiltX, &tiltY}) {
        const vcam::Point c = centre(*s);
        for (const auto &corner : s->corners) {
            const vcam::Point in = towards(corner, c, 6), out = towards(corner, c, -6);
            EXPECT_GT(meanLuma(*s, in.x, in.y, 1), 180);
            EXPECT_LT(meanLuma(*s, out.x, out.y, 1), 110);
        }
    }
    // sceneCorners agrees with what renderScene drew.
    vcam::Point corners[4];
    vcam::sceneCorners(p, corners);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(dist(corners[i], tiltY.corners[i]), 0);
}

TEST(HarderScenes, PhotographicDesksHaveTheirColours)
{
    auto desk = [](int style, double hue = 280) {
        vcam::SceneParams p = plain(style);
        p.page = false;
        p.deskHue = hue;
        return meanColour(vcam::renderScene(p));
    };
    const Rgb wood = desk(4), purple = desk(5, 280), green = desk(5, 120), white = desk(6), stone = desk(7),
              walnut = desk(8);
    EXPECT_GT(wood.r, wood.g);
    EXPECT_GT(wood.g, wood.b + 20);
    EXPECT_GT(wood.g, 120);
    EXPECT_GT(purple.b, purple.g + 20);
    EXPECT_GT(purple.r, purple.g + 10);
    EXPECT_GT(green.g, green.r + 20);
    EXPECT_GT(green.g, green.b + 20);
    for (double v : {white.r, white.g, white.b})
        EXPECT_GT(v, 205);
    EXPECT_LT(std::max({stone.r, stone.g, stone.b}) - std::min({stone.r, stone.g, stone.b}), 12);
    EXPECT_GT(stone.g, 80);
    EXPECT_LT(stone.g, 170);
    EXPECT_LT(walnut.g, 90);
    EXPECT_GT(walnut.r, walnut.b + 20);
}

TEST(HarderScenes, ObjectsShadowsAndLightKeepTheCornersExact)
{
    vcam::SceneParams p = plain(7);
    p.angleDeg = 7;
    vcam::Point bare[4];
    vcam::sceneCorners(p, bare);
    p.clutter = 8;
    p.onPage = 3;
    p.cables = 2;
    p.shadow = 0.8;
    p.content = 2;
    p.colourCast = 0.6;
    p.blur = 1.2;
    const vcam::Scene busy = vcam::renderScene(p);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(dist(busy.corners[i], bare[i]), 0) << "corner " << i;

    // The first object on the sheet is a mug over one of its corners.
    int covered = 0;
    for (const auto &corner : busy.corners)
        covered += luma(busy, corner.x, corner.y) < 100;
    EXPECT_EQ(covered, 1);
}

TEST(HarderScenes, ContactShadowFallsOnTheDeskOnly)
{
    vcam::SceneParams p = plain(6);
    p.angleDeg = 0;
    p.shadow = 0.01; // a contact shadow, but next to no cast shadow
    p.blur = 0;
    const vcam::Scene s = vcam::renderScene(p);
    // Along the bottom edge (the shadow falls down and right): the paper
    // next to the edge is as light as further in; the desk next to it is
    // darker than further out.
    const vcam::Point bl = s.corners[3], br = s.corners[2];
    double paperNear = 0, paperFar = 0, deskNear = 0, deskFar = 0;
    for (int k = 1; k < 10; ++k) {
        const double x = bl.x + (br.x - bl.x) * k / 10;
        paperNear += meanLuma(s, x, bl.y - 3, 1);
        paperFar += meanLuma(s, x, bl.y - 15, 1);
        deskNear += meanLuma(s, x, bl.y + 3, 1);
        deskFar += meanLuma(s, x, bl.y + 40, 1);
    }
    EXPECT_NEAR(paperNear, paperFar, 9 * 3.0);
    EXPECT_LT(deskNear, deskFar - 9 * 6.0);
}

TEST(HarderScenes, PrintKindsAndTheDeskAlone)
{
    // Rows across an upright sheet with one unbroken dark run over most of
    // its width: ruled table lines and staves have them, words of running
    // text (with gaps between them) do not.
    auto fullRows = [](int content) {
        vcam::SceneParams p = plain(0);
        p.angleDeg = 0;
        p.content = content;
        const vcam::Scene s = vcam::renderScene(p);
        const double x0 = s.corners[0].x, x1 = s.corners[1].x;
        int rows = 0;
        for (int y = static_cast<int>(s.corners[0].y) + 5; y < static_cast<int>(s.corners[3].y) - 5; ++y) {
            int run = 0, longest = 0;
            for (double x = x0 + 0.15 * (x1 - x0); x < x0 + 0.85 * (x1 - x0); x += 1) {
                run = luma(s, x, y) < 150 ? run + 1 : 0;
                longest = std::max(longest, run);
            }
            rows += longest > 0.6 * (x1 - x0);
        }
        return rows;
    };
    EXPECT_EQ(fullRows(0), 0);
    EXPECT_GE(fullRows(1), 5);  // table rules
    EXPECT_GE(fullRows(3), 20); // staves of five lines

    // Without a page the desk shows where it would lie; the corners still
    // say where that is.
    vcam::SceneParams p = plain(8);
    p.page = false;
    const vcam::Scene empty = vcam::renderScene(p);
    p.page = true;
    const vcam::Scene full = vcam::renderScene(p);
    const vcam::Point c = centre(empty);
    EXPECT_LT(meanLuma(empty, c.x, c.y, 4), 110);
    EXPECT_GT(meanLuma(full, full.corners[0].x + 10, full.corners[0].y + 10, 2), 180);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(dist(empty.corners[i], full.corners[i]), 0);
}

TEST(HarderScenes, SameOptionsSamePixels)
{
    vcam::SceneParams p = plain(4);
    p.width = 480;
    p.height = 360;
    p.clutter = 5;
    p.onPage = 2;
    p.cables = 1;
    p.shadow = 0.5;
    p.noise = 3;
    const vcam::Scene a = vcam::renderScene(p), b = vcam::renderScene(p);
    EXPECT_EQ(a.rgb, b.rgb);
    p.seed = 9;
    EXPECT_NE(vcam::renderScene(p).rgb, a.rgb);
}
