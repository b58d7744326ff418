// Camera model files: the shipped profiles load, and malformed ones are
// refused with a message instead of half a camera.
#include "vcam/profile.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

namespace {

TEST(VcamProfile, DefaultModelIsTheFiveMegapixelDocumentCamera) {
    const vcam::Profile p = vcam::defaultProfile();
    EXPECT_EQ(p.vid, 0x0ac8);
    EXPECT_EQ(p.pid, 0x3343);
    ASSERT_EQ(p.formats.size(), 2u);
    EXPECT_EQ(p.formats[0].fourcc, std::uint32_t(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(p.formats[0].sizes.size(), 6u);
    EXPECT_EQ(p.formats[0].sizes[0].width, 2592u);
    EXPECT_EQ(p.formats[1].fourcc, std::uint32_t(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(p.fps, std::vector<std::uint32_t>{15});
    EXPECT_EQ(p.buffers, 4u);
    EXPECT_EQ(p.crop, vcam::CropMode::Einval);

    vcam::Profile step;
    std::string err;
    ASSERT_TRUE(vcam::loadProfile("stepwise-test", step, &err)) << err;
    EXPECT_TRUE(step.formats[0].stepwise);
    EXPECT_EQ(step.formats[0].range.stepWidth, 16u);
    EXPECT_EQ(step.crop, vcam::CropMode::Enotty);
}

TEST(VcamProfile, MinimalTextKeepsDefaultsForWhatItLeavesOut) {
    vcam::Profile p;
    std::string err;
    ASSERT_TRUE(vcam::parseProfile(R"({"vid":"1A2B","formats":[{"fourcc":"MJPG","sizes":[[320,240]]}]})", p, &err))
        << err;
    EXPECT_EQ(p.vid, 0x1a2b);
    EXPECT_EQ(p.pid, 0x0120);
    EXPECT_EQ(p.formats[0].description, "MJPG");
    EXPECT_EQ(p.buffers, 4u);
    EXPECT_EQ(vcam::fourccToString(p.formats[0].fourcc), "MJPG");
}

TEST(VcamProfile, MalformedProfilesAreRefused) {
    const char *bad[] = {
        "not json",
        R"({"formats":[]})",
        R"({"formats":[{"fourcc":"MJPEG","sizes":[[1,1]]}]})",
        R"({"formats":[{"fourcc":"MJPG","sizes":[[0,480]]}]})",
        R"({"formats":[{"fourcc":"MJPG"}]})",
        R"({"vid":"12345","formats":[{"fourcc":"MJPG","sizes":[[1,1]]}]})",
        R"({"vid":291,"formats":[{"fourcc":"MJPG","sizes":[[1,1]]}]})",
        R"({"crop":"sometimes","formats":[{"fourcc":"MJPG","sizes":[[1,1]]}]})",
        R"({"buffers":0,"formats":[{"fourcc":"MJPG","sizes":[[1,1]]}]})",
        R"({"fps":[],"formats":[{"fourcc":"MJPG","sizes":[[1,1]]}]})",
        R"({"formats":[{"fourcc":"MJPG","stepwise":{"minWidth":640,"maxWidth":320,"stepWidth":1,
            "minHeight":1,"maxHeight":2,"stepHeight":1}}]})",
    };
    for (const char *text : bad) {
        vcam::Profile p;
        p.model = "unchanged";
        std::string err;
        EXPECT_FALSE(vcam::parseProfile(text, p, &err)) << text;
        EXPECT_FALSE(err.empty()) << text;
        EXPECT_EQ(p.model, "unchanged") << text;
    }
    vcam::Profile p;
    std::string err;
    EXPECT_FALSE(vcam::loadProfile("no-such-model", p, &err));
    EXPECT_NE(err.find("no-such-model"), std::string::npos);
}

} // namespace
