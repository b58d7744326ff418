// The synthetic scene: geometry of the page corners, what the pixels show at
// and around them, and MJPG output read back by libjpeg-turbo.
#include "vcam/scene.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <vector>

namespace {

double lumaAt(const vcam::Scene &s, double x, double y) {
    const int xi = int(std::lround(x)), yi = int(std::lround(y));
    const std::uint8_t *p = &s.rgb[(std::size_t(yi) * s.width + xi) * 3];
    return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

// Mean luma in a small square around a point (evens out noise and text).
double meanLuma(const vcam::Scene &s, double x, double y, int r = 2) {
    double sum = 0;
    int n = 0;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            sum += lumaAt(s, x + dx, y + dy);
            ++n;
        }
    return sum / n;
}

double dist(vcam::Point a, vcam::Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

TEST(VcamScene, CornersFollowAngleScaleAndPosition) {
    vcam::SceneParams p;
    p.width = 800;
    p.height = 600;
    p.angleDeg = 0;
    const vcam::Scene flat = vcam::renderScene(p);
    const double ph = 0.75 * 600, pw = ph * p.aspect;
    EXPECT_NEAR(flat.corners[0].x, 400 - pw / 2, 1e-9);
    EXPECT_NEAR(flat.corners[0].y, 300 - ph / 2, 1e-9);
    EXPECT_NEAR(flat.corners[2].x, 400 + pw / 2, 1e-9);
    EXPECT_NEAR(flat.corners[2].y, 300 + ph / 2, 1e-9);

    p.angleDeg = 10;
    p.centerX = 0.4;
    const vcam::Scene turned = vcam::renderScene(p);
    // Clockwise on screen: the top-left corner moves right and the top edge
    // falls towards the top-right corner.
    EXPECT_GT(turned.corners[1].y, turned.corners[0].y);
    EXPECT_NEAR(std::atan2(turned.corners[1].y - turned.corners[0].y, turned.corners[1].x - turned.corners[0].x) *
                    180 / M_PI,
                10.0, 1e-9);
    // Rotation keeps the edge lengths; the centre moved with centerX.
    EXPECT_NEAR(dist(turned.corners[0], turned.corners[1]), pw, 1e-6);
    EXPECT_NEAR(dist(turned.corners[1], turned.corners[2]), ph, 1e-6);
    const double cx = (turned.corners[0].x + turned.corners[2].x) / 2;
    EXPECT_NEAR(cx, 320, 1e-6);

    p.angleDeg = 0;
    p.keystone = 0.1;
    const vcam::Scene keyed = vcam::renderScene(p);
    EXPECT_NEAR(dist(keyed.corners[0], keyed.corners[1]), 0.9 * pw, 1e-6);
    EXPECT_NEAR(dist(keyed.corners[3], keyed.corners[2]), pw, 1e-6);
}

TEST(VcamScene, PixelsShowPageInsideCornersAndDeskOutside) {
    for (int texture = 0; texture < 4; ++texture) {
        vcam::SceneParams p;
        p.width = 640;
        p.height = 480;
        p.angleDeg = -4;
        p.deskTexture = texture;
        p.centerX = 0.55;
        const vcam::Scene s = vcam::renderScene(p);
        ASSERT_EQ(s.rgb.size(), 640u * 480u * 3u);
        double cx = 0, cy = 0;
        for (const auto &c : s.corners) {
            cx += c.x / 4;
            cy += c.y / 4;
        }
        for (const auto &c : s.corners) {
            // A few pixels from each corner towards the centre is white margin,
            // the same distance outwards is desk.
            const double dx = cx - c.x, dy = cy - c.y, len = std::hypot(dx, dy);
            const double inside = meanLuma(s, c.x + dx / len * 8, c.y + dy / len * 8);
            const double outside = meanLuma(s, c.x - dx / len * 8, c.y - dy / len * 8);
            EXPECT_GT(inside, 170) << "texture " << texture;
            if (texture != 3) { // clutter may lie anywhere on the desk
                EXPECT_LT(outside, 140) << "texture " << texture;
            }
        }
    }
}

TEST(VcamScene, PageCarriesTextLinesAndLightIsUneven) {
    vcam::SceneParams p;
    p.width = 800;
    p.height = 600;
    p.angleDeg = 0;
    p.noise = 0;
    const vcam::Scene s = vcam::renderScene(p);
    // Walk down the middle of the page: text rows are dark, gaps are white.
    const double x = 400;
    int darkRuns = 0;
    bool inDark = false;
    for (double y = s.corners[0].y + 10; y < s.corners[3].y - 10; y += 1) {
        const bool dark = lumaAt(s, x, y) < 120;
        if (dark && !inDark)
            ++darkRuns;
        inDark = dark;
    }
    EXPECT_GT(darkRuns, 10);
    // The light falls off from the upper left to the lower right.
    const double upperLeft = meanLuma(s, s.corners[0].x + 5, s.corners[0].y + 5);
    const double lowerRight = meanLuma(s, s.corners[2].x - 5, s.corners[2].y - 5);
    EXPECT_GT(upperLeft, lowerRight + 5);
}

TEST(VcamScene, SameParametersGiveSamePixelsAndSeedChangesNoise) {
    vcam::SceneParams p;
    p.width = 320;
    p.height = 240;
    const vcam::Scene a = vcam::renderScene(p), b = vcam::renderScene(p);
    EXPECT_EQ(a.rgb, b.rgb);
    p.seed = 2;
    const vcam::Scene c = vcam::renderScene(p);
    EXPECT_NE(a.rgb, c.rgb);
}

TEST(VcamScene, MjpegHasNoHuffmanTablesAndDecodesAtSize) {
    vcam::SceneParams p;
    p.width = 1280;
    p.height = 720;
    const vcam::Scene s = vcam::renderScene(p);
    const std::vector<std::uint8_t> jpeg = vcam::encodeMjpeg(s.rgb.data(), s.width, s.height);
    ASSERT_GT(jpeg.size(), 1000u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
    // Walk the header segments up to the scan: no DHT (0xC4) among them.
    std::size_t i = 2;
    bool sawScan = false;
    while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF) {
        ASSERT_NE(jpeg[i + 1], 0xC4) << "DHT segment at " << i;
        if (jpeg[i + 1] == 0xDA) {
            sawScan = true;
            break;
        }
        i += 2 + ((std::size_t(jpeg[i + 2]) << 8) | jpeg[i + 3]);
    }
    EXPECT_TRUE(sawScan);

    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, subsamp = -1, colorspace = -1;
    ASSERT_EQ(tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &subsamp, &colorspace), 0);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    EXPECT_EQ(subsamp, TJSAMP_422);
    std::vector<std::uint8_t> rgb(std::size_t(w) * h * 3);
    ASSERT_EQ(tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0), 0)
        << tjGetErrorStr2(tj);
    tjDestroy(tj);
    // The decoded picture is the rendered one, up to compression loss.
    double err = 0;
    for (std::size_t k = 0; k < rgb.size(); k += 97)
        err += std::abs(int(rgb[k]) - int(s.rgb[k]));
    EXPECT_LT(err / (rgb.size() / 97), 8.0);
}

TEST(VcamScene, RejectsEmptyPicture) {
    vcam::SceneParams p;
    p.width = 0;
    EXPECT_THROW(vcam::renderScene(p), std::invalid_argument);
}

} // namespace
