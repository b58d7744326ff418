// Task objects and their list: lookups, fixed codes and the clock helpers.
#include "camerataskobj.h"
#include "camerataskobjlist.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

namespace {

TEST(CamlibTaskList, CreateRefusesDuplicatesAndFreeRemovesOnlyTheMatch)
{
    CCameraTaskOBJList list;
    EXPECT_EQ(list.ValidCameraNo(), -32);
    EXPECT_EQ(list.CreateCameraTaskOBJ(0), 0);
    EXPECT_EQ(list.CreateCameraTaskOBJ(1), 0);
    EXPECT_EQ(list.CreateCameraTaskOBJ(1), -12);
    EXPECT_EQ(list.ValidCameraNo(), 0);
    EXPECT_EQ(list.FreeCameraTaskOBJ(0), 0);
    EXPECT_EQ(list.CameraTaskOBJStatus(0), -32);
    EXPECT_EQ(list.CameraTaskOBJStatus(1), 0);
    EXPECT_EQ(list.FreeCameraTaskOBJ(0), 0);
    EXPECT_EQ(list.Count(), 1);
    ASSERT_NE(list.GetCameraHandle(1), nullptr);
    EXPECT_EQ(list.GetCameraHandle(1)->CamID(), 1);
}

TEST(CamlibTaskList, MissingTaskObjectAndMissingDeviceGiveTheirCodes)
{
    CCameraTaskOBJList list;
    camerainfo info{};
    EXPECT_EQ(list.SetCameraResolution(7, 2), -16);
    EXPECT_EQ(list.GetCameraInfo(7, &info), -16);
    EXPECT_EQ(list.SetCameraInfo(7, info), -16);
    EXPECT_EQ(list.OpenCameraCapture(7), -20);
    EXPECT_EQ(list.GetCameraResList(7), nullptr);
    EXPECT_EQ(list.StartCameraCapture(7, nullptr), -16);

    ASSERT_EQ(list.CreateCameraTaskOBJ(7), 0);
    EXPECT_EQ(list.SetCameraResolution(7, 2), -32);
    EXPECT_EQ(list.GetCameraResolution(7), -32);
    EXPECT_EQ(list.StartCameraCapture(7, nullptr), -32);
    EXPECT_EQ(list.StopCameraCapture(7), -32);
    EXPECT_EQ(list.CloseCameraCapture(7), -32);
    EXPECT_EQ(list.GetCameraFPS(7), -32);
    EXPECT_EQ(list.SetCameraExposureManual(7), -32);
    char fmt[8];
    EXPECT_EQ(list.GetCameraVideoFormat(7, fmt, sizeof fmt), -32);
    EXPECT_EQ(list.GetCameraResList(7), nullptr);
}

TEST(CamlibTaskObj, FailedOpenLeavesNoCaptureObject)
{
    CCameraTaskOBJList list;
    ASSERT_EQ(list.CreateCameraTaskOBJ(3), 0);
    camerainfo info{};
    CopyCamText(info.devName, "/nonexistent/video99");
    info.index = 3;
    ASSERT_EQ(list.SetCameraInfo(3, info), 0);
    EXPECT_EQ(list.OpenCameraCapture(3), -16); // the path does not exist
    EXPECT_EQ(list.GetCameraResList(3), nullptr);
    EXPECT_EQ(list.GetCameraResolution(3), -32);
}

TEST(CamlibTaskObj, CopyCamInfoCopiesTheRecordFields)
{
    camerainfo src{}, dst{};
    src.index = 4;
    src.vid = 0x0c45;
    src.pid = 0x6366;
    src.workStatus = 1;
    CopyCamText(src.devName, "/dev/video4");
    CopyCamText(src.name, "Model");
    CopyCamText(src.action, "add");
    CCameraTaskOBJ::CopyCamInfo(dst, src);
    EXPECT_EQ(std::memcmp(&dst, &src, sizeof src), 0);

    CCameraTaskOBJ task(4);
    EXPECT_EQ(task.GetCameraInfo(nullptr), -1);
    EXPECT_EQ(task.SetCameraInfo(src), 0);
    camerainfo out{};
    EXPECT_EQ(task.GetCameraInfo(&out), 0);
    EXPECT_STREQ(out.devName, "/dev/video4");
    EXPECT_EQ(out.workStatus, 1);
    EXPECT_EQ(task.ClearCamInfo(), 0);
    EXPECT_EQ(task.GetCameraInfo(&out), 0);
    EXPECT_EQ(out.devName[0], '\0');
    EXPECT_EQ(out.index, 0);
}

TEST(CamlibTaskObj, ClockHelpersCheckTheBufferAndClearIt)
{
    char small[9];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(CCameraTaskOBJ::GetCurrentLinuxDate(small, sizeof small), -1);
    EXPECT_EQ(std::string(small, sizeof small), std::string(9, 'x'));
    EXPECT_EQ(CCameraTaskOBJ::GetCurrentLinuxDate(nullptr, 16), -1);

    char date[16], time16[16];
    std::memset(date, 'x', sizeof date);
    std::memset(time16, 'x', sizeof time16);
    time_t before = time(nullptr);
    ASSERT_EQ(CCameraTaskOBJ::GetCurrentLinuxDate(date, sizeof date), 0);
    ASSERT_EQ(CCameraTaskOBJ::GetCurrentLinuxTime(time16, sizeof time16), 0);
    time_t after = time(nullptr);
    // The tail is cleared, not left as it was.
    for (size_t i = 8; i < sizeof date; ++i)
        EXPECT_EQ(date[i], '\0');
    for (size_t i = 8; i < sizeof time16; ++i)
        EXPECT_EQ(time16[i], '\0');
    // Compare with the library's own reading of the clock at both ends (the
    // date may roll over between them).
    auto fmt = [](time_t t, const char *f) {
        char buf[32];
        struct tm local;
        localtime_r(&t, &local);
        strftime(buf, sizeof buf, f, &local);
        return std::string(buf);
    };
    EXPECT_TRUE(date == fmt(before, "%Y%m%d") || date == fmt(after, "%Y%m%d")) << date;
    EXPECT_EQ(std::strlen(time16), 8u);
    EXPECT_EQ(time16[2], ':');
    EXPECT_EQ(time16[5], ':');
}

} // namespace
