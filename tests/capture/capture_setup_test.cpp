// Device set-up of CameraCapture against the virtual document camera:
// opening, the resolution list, format, frame rate and exposure.
#include <algorithm>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cameracapture.h"
#include "capture_support.h"
#include "vcam/vcam.h"

using capture_test::StdoutCapture;

namespace {

std::string ownText(char *text)
{
    std::string s = text ? text : "";
    free(text);
    return s;
}

// "WxH " for every entry of a resolution-list text, in order.
std::string listedSizes(char *text)
{
    cJSON *list = cJSON_Parse(ownText(text).c_str());
    std::string sizes;
    cJSON *item;
    cJSON_ArrayForEach(item, list)
    {
        sizes += std::to_string(cJSON_GetObjectItem(item, "res-w")->valueint) + "x" +
                 std::to_string(cJSON_GetObjectItem(item, "res-h")->valueint) + " ";
    }
    cJSON_Delete(list);
    return sizes;
}

int openDescriptorCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// A camera model written for one test.
std::string profileFile(const std::string &name, const std::string &formats, const std::string &extra = "")
{
    const std::string path = ::testing::TempDir() + name + ".json";
    std::ofstream(path) << "{ \"model\": \"" << name << "\", \"formats\": [" << formats << "]" << extra << " }";
    return path;
}

class CaptureSetup : public ::testing::Test {
protected:
    vcam::Camera &add(const std::string &profile = "docam-5mp")
    {
        vcam::CameraOptions options;
        options.profile = profile;
        return bed.addCamera(options);
    }
    vcam::Testbed bed{vcam::Udev::Off};
};

TEST_F(CaptureSetup, OpenRefusesMissingUnwritableAndNonCaptureNodes)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    EXPECT_EQ(cap.OpenCameraCapture("/dev/no-such-video-node"), -16);

    // A node that is not a capture node fails the check, stays closed and
    // leaves no descriptor behind.
    const int before = openDescriptorCount();
    {
        StdoutCapture out;
        EXPECT_EQ(cap.OpenCameraCapture(cam.metaNode().c_str()), -34);
        EXPECT_EQ(out.text(), "Error:: OpenCameraCapture ::not Is a video capture device\n ");
    }
    EXPECT_FALSE(cap.IsOpen());
    EXPECT_EQ(openDescriptorCount(), before);

    // Every operation of a closed object refuses.
    EXPECT_EQ(cap.GetCameraResList(), nullptr);
    EXPECT_EQ(cap.SetCameraResolution(0), -32);
    EXPECT_EQ(cap.GetCameraResolution(), -32);
    EXPECT_EQ(cap.GetCameraFPS(), -32);
    EXPECT_EQ(cap.StartCameraCapture(&capture_test::FrameSink::callback), -32);
    EXPECT_EQ(cap.StopCameraCapture(), -32);
    EXPECT_EQ(cap.CloseCameraCapture(), -32);

    // Read/write permission is checked before opening, and the refusal names
    // the node and the group that would give access.  Root passes every
    // permission check, so the check runs in a child without privileges.
    const std::string locked = ::testing::TempDir() + "locked-node";
    std::ofstream(locked) << "x";
    chmod(locked.c_str(), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0)
            _exit(100);
        CameraCapture other;
        StdoutCapture refusal;
        const int ret = other.OpenCameraCapture(locked.c_str());
        const std::string line = refusal.text();
        const bool named = line.find("permission denied on " + locked + ":") != std::string::npos &&
                           line.find("group \"root\"") != std::string::npos &&
                           std::count(line.begin(), line.end(), '\n') == 1;
        _exit(named ? -ret : 101);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 19);
    unlink(locked.c_str());
}

TEST_F(CaptureSetup, OpenPrintsItsStepsAndASecondOpenChangesNothing)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    StdoutCapture out;
    ASSERT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);
    // The camera refuses cropping (as UVC cameras do): printed and ignored.
    EXPECT_EQ(out.text(), "not support crop\ncan't set VIDIOC_S_CROP\n"
                          "success\nget camera FPS value:15\nset camera FPS value:0\n"
                          "video pix format:MJPG\nget camera video format ret:0\nget camera video format:MJPG\n");
    EXPECT_TRUE(cap.IsOpen());
    EXPECT_EQ(cam.openDescriptors(), 1u);
    EXPECT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);
    EXPECT_EQ(cam.openDescriptors(), 1u);
}

TEST_F(CaptureSetup, CropIsSetOnlyWhereTheCameraReportsIt)
{
    vcam::CameraOptions options;
    options.overrideCrop = true;
    options.crop = vcam::CropMode::Accept;
    vcam::Camera &accepting = bed.addCamera(options);
    options.crop = vcam::CropMode::Enotty;
    vcam::Camera &without = bed.addCamera(options);

    CameraCapture a, b;
    StdoutCapture out;
    EXPECT_EQ(a.OpenCameraCapture(accepting.captureNode().c_str()), 0);
    EXPECT_EQ(b.OpenCameraCapture(without.captureNode().c_str()), 0);
    EXPECT_EQ(out.count("crop"), 0u);
    EXPECT_EQ(out.count("success\n"), 2u);
}

TEST_F(CaptureSetup, DefaultCameraListsItsMjpgSizesLargestFirst)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    ASSERT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);
    EXPECT_EQ(cap.GetCameraResolution(), -37); // nothing listed yet

    std::string expected = "[";
    const int sizes[][2] = {{2592, 1944}, {2048, 1536}, {1920, 1080}, {1600, 1200}, {1280, 720}, {640, 480}};
    for (int i = 0; i < 6; ++i) {
        expected += std::string(i ? ", " : "") + "{\n\t\t\"res-no\":\t" + std::to_string(i) + ",\n\t\t\"res-w\":\t" +
                    std::to_string(sizes[i][0]) + ",\n\t\t\"res-h\":\t" + std::to_string(sizes[i][1]) + "\n\t}";
    }
    expected += "]";
    EXPECT_EQ(ownText(cap.GetCameraResList()), expected);

    EXPECT_EQ(cap.GetCameraResolution(), 5); // 640 x 480 after open
    EXPECT_EQ(cap.SetCameraResolution(6), -37);
    EXPECT_EQ(cap.SetCameraResolution(-1), -37);
    ASSERT_EQ(cap.SetCameraResolution(2), 0);
    EXPECT_EQ(cam.width(), 1920u);
    EXPECT_EQ(cam.height(), 1080u);
    EXPECT_EQ(cap.GetCameraResolution(), 2);

    cam.refuseSetFormat(EBUSY);
    EXPECT_EQ(cap.SetCameraResolution(0), -35);
    EXPECT_EQ(cap.GetCameraResolution(), 2);
}

TEST_F(CaptureSetup, ListTakesEveryThirdFormatAndListsASizeOnce)
{
    // Sizes of the formats at index 1 and 2 are never listed; the same
    // size under formats 0 and 3 is listed once.  Format 0 is YUYV only,
    // and setting its size still requests MJPG.
    const std::string path = profileFile("every-third",
                                         "{\"fourcc\":\"YUYV\",\"sizes\":[[640,480],[1920,1080],[1280,720],[1280,960]]},"
                                         "{\"fourcc\":\"NV12\",\"sizes\":[[800,600]]},"
                                         "{\"fourcc\":\"RGB3\",\"sizes\":[[1024,768]]},"
                                         "{\"fourcc\":\"MJPG\",\"sizes\":[[1280,720],[320,240],[1920,1080]]}");
    vcam::Camera &cam = add(path);
    CameraCapture cap;
    ASSERT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);

    // Setting a size enumerates first when no list was fetched.
    ASSERT_EQ(cap.SetCameraResolution(3), 0);
    EXPECT_EQ(cam.pixelFormat(), static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG));

    EXPECT_EQ(listedSizes(cap.GetCameraResList()), "1920x1080 1280x960 1280x720 640x480 320x240 ");
}

TEST_F(CaptureSetup, StepwiseRangeListsTheUsualSizesInsideIt)
{
    vcam::Camera &cam = add("stepwise-test");
    CameraCapture cap;
    ASSERT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);
    // 160 x 120 is the range's minimum, not a size the camera offers.
    EXPECT_EQ(listedSizes(cap.GetCameraResList()), "1280x960 1280x720 1024x768 800x600 640x480 320x240 ");
}

TEST_F(CaptureSetup, FormatFrameRateAndExposure)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    ASSERT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);

    char code[8] = "zzzzzzz";
    EXPECT_EQ(cap.GetCameraVideoFormat(nullptr, 8), -1);
    EXPECT_EQ(cap.GetCameraVideoFormat(code, 0), -1);
    EXPECT_EQ(cap.GetCameraVideoFormat(code, 3), 0);
    EXPECT_STREQ(code, "MJ");
    EXPECT_EQ(cap.GetCameraVideoFormat(code, sizeof code), 0);
    EXPECT_STREQ(code, "MJPG");

    cJSON *formats = cJSON_Parse(ownText(cap.EnumCameraVideoFormat()).c_str());
    ASSERT_EQ(cJSON_GetArraySize(formats), 2);
    cJSON *second = cJSON_GetArrayItem(formats, 1);
    EXPECT_EQ(cJSON_GetObjectItem(second, "fmt-no")->valueint, 1);
    EXPECT_STREQ(cJSON_GetObjectItem(second, "fmt-name")->valuestring, "YUYV");
    EXPECT_STREQ(cJSON_GetObjectItem(second, "fmt-tip")->valuestring, "YUYV 4:2:2");
    cJSON_Delete(formats);

    EXPECT_EQ(cap.GetCameraFPS(), 15);
    EXPECT_EQ(cap.SetCameraFPS(0), -1);
    EXPECT_EQ(cap.SetCameraFPS(15), 0);

    EXPECT_EQ(cap.GetCameraExposureMold(), 3);
    EXPECT_EQ(cap.SetCameraExposureLevel(-1), -1);
    EXPECT_EQ(cap.SetCameraExposureLevel(200), 0);
    EXPECT_EQ(cap.GetCameraExposureLevel(), 200);
    EXPECT_EQ(cap.GetCameraExposureGear(), 128);

    // In the camera's manual mode 1 the level is refused.
    vcam::Camera &manual = add(profileFile("manual-exposure", "{\"fourcc\":\"MJPG\",\"sizes\":[[640,480]]}",
                                           ", \"exposure\": {\"auto\": 1}"));
    CameraCapture other;
    ASSERT_EQ(other.OpenCameraCapture(manual.captureNode().c_str()), 0);
    EXPECT_EQ(other.SetCameraExposureLevel(100), -1);
    EXPECT_EQ(other.SetCameraExposureManual(), 0);
    EXPECT_EQ(other.SetCameraExposureLevel(100), 0);
}

} // namespace
