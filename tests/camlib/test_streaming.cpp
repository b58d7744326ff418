// The exported interface against virtual cameras: opening, the resolution
// list, streaming on the capture thread, unplug while open, closing from a
// frame callback and tearing down while streaming.
#include "cameradevmanager.h"
#include "cameraidlist.h"
#include "cimageprocessserver.h"
#include "lib_fixture.h"
#include "zarnkobixmanager.h"

#include <cstring>
#include <set>

namespace {

constexpr int kRow = 16; // any row of the table will do

const char kResolutionList[] =
    "[{\n\t\t\"res-no\":\t0,\n\t\t\"res-w\":\t2592,\n\t\t\"res-h\":\t1944\n\t}, {\n"
    "\t\t\"res-no\":\t1,\n\t\t\"res-w\":\t2048,\n\t\t\"res-h\":\t1536\n\t}, {\n"
    "\t\t\"res-no\":\t2,\n\t\t\"res-w\":\t1920,\n\t\t\"res-h\":\t1080\n\t}, {\n"
    "\t\t\"res-no\":\t3,\n\t\t\"res-w\":\t1600,\n\t\t\"res-h\":\t1200\n\t}, {\n"
    "\t\t\"res-no\":\t4,\n\t\t\"res-w\":\t1280,\n\t\t\"res-h\":\t720\n\t}, {\n"
    "\t\t\"res-no\":\t5,\n\t\t\"res-w\":\t640,\n\t\t\"res-h\":\t480\n\t}]";

std::string Take(char *text)
{
    std::string s = text ? text : "<null>";
    free(text);
    return s;
}

// Produces frames until the receiver has seen n of them.
bool DeliverFrames(vcam::Camera &cam, LibReceivers &rx, size_t n)
{
    for (int tries = 0; tries < 200 && rx.frames.Size() < n; ++tries) {
        cam.tick();
        rx.frames.WaitFor(rx.frames.Size() + 1, std::chrono::milliseconds(100));
    }
    return rx.frames.Size() >= n;
}

using CamlibStreaming = LibFixture;

TEST_F(CamlibStreaming, OpenListStreamAndClose)
{
    vcam::Camera &cam = AddCamera(kRow);
    std::string add = WaitText(1);
    ASSERT_EQ(TextString(add, "action"), "add");
    ASSERT_EQ(TextInt(add, "index"), 0);
    EXPECT_EQ(TextInt(add, "vid"), static_cast<int>(cameraIDlist[kRow][0]));
    EXPECT_EQ(ZarnCamera_GetDevCount(), 1);
    EXPECT_EQ(ZarnCamera_GetWorkDevList(), nullptr);

    ASSERT_EQ(ZarnCamera_Open(0), 0);
    EXPECT_EQ(ZarnCamera_Open(0), -33);
    std::string work = Take(ZarnCamera_GetWorkDevList());
    EXPECT_NE(work.find("\"index\":\t0"), std::string::npos) << work;

    EXPECT_EQ(Take(ZarnCamera_GetResolutionList(0)), kResolutionList);
    EXPECT_EQ(ZarnCamera_SetCurResolutionNo(0, 6), -37);
    ASSERT_EQ(ZarnCamera_SetCurResolutionNo(0, 0), 0);
    EXPECT_EQ(ZarnCamera_GetCurResolutionNo(0), 0);

    // With a camera open the image functions reach the image service.
    EXPECT_EQ(ZarnCamera_SetImageJPGQuality(80), 0);
    EXPECT_EQ(imageServer->imageJpgQuality(), 80);
    EXPECT_EQ(ZarnCamera_SetImageRotateMode(4), -1);
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(ZarnCamera_DrawLine(nullptr, a, b, c, 0), 0);

    ASSERT_EQ(ZarnCamera_StartCapture(0, LibReceiveFrame), 0);
    ASSERT_TRUE(DeliverFrames(cam, rx, 3));
    for (const FrameSeen &f : rx.frames.Items()) {
        EXPECT_EQ(f.width, 2592);
        EXPECT_EQ(f.height, 1944);
        EXPECT_TRUE(f.jpeg);
        EXPECT_GT(f.size, 20 * 2592);
        EXPECT_NE(f.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(ZarnCamera_StopCapture(0), 0);
    EXPECT_EQ(ZarnCamera_Close(0), 0);
    EXPECT_EQ(ZarnCamera_Close(0), -32);
    EXPECT_EQ(ZarnCamera_GetWorkDevList(), nullptr);
    EXPECT_EQ(ZarnCamera_SetImageJPGQuality(70), -14);
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0; }));
}

TEST_F(CamlibStreaming, UnplugWhileStreamingThenClose)
{
    vcam::Camera &cam = AddCamera(kRow);
    WaitText(1);
    ASSERT_TRUE(OpenAndStream(0, 5));
    ASSERT_TRUE(DeliverFrames(cam, rx, 1));

    bed.unplug(cam);
    std::string remove = WaitText(2);
    EXPECT_EQ(TextString(remove, "action"), "remove");
    EXPECT_EQ(TextInt(remove, "index"), 0);
    EXPECT_EQ(ZarnCamera_GetDevCount(), 0);
    EXPECT_EQ(ZarnCamera_GetOnLineDevList(), nullptr);
    EXPECT_EQ(ZarnCamera_Open(0), -18); // lost while open
    // The task object stays until the program closes it.
    EXPECT_EQ(ZarnCamera_Close(0), 0);
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0; }));
    EXPECT_EQ(ZarnCamera_Open(0), -18);

    bed.plug(cam);
    std::string back = WaitText(3);
    EXPECT_EQ(TextInt(back, "index"), 0); // the list was empty again
    EXPECT_EQ(ZarnCamera_Open(0), 0);

    // Unplugged while open again and again: one lost record is kept for the
    // identifier, not one per unplug.
    for (size_t n = 4; n < 4 + 2 * 20; n += 2) {
        bed.unplug(cam);
        ASSERT_EQ(TextString(WaitText(n), "action"), "remove");
        EXPECT_EQ(ZarnCamera_Open(0), -18);
        EXPECT_EQ(ZarnCamera_Close(0), 0);
        bed.plug(cam);
        ASSERT_EQ(TextString(WaitText(n + 1), "action"), "add");
        ASSERT_EQ(ZarnCamera_Open(0), 0);
    }
    EXPECT_EQ(cameraManager->LostCameraCount(), 1u);
    EXPECT_EQ(ZarnCamera_Close(0), 0);
}

TEST_F(CamlibStreaming, StaleTaskObjectHoldsAReusedIdentifierUntilClosed)
{
    vcam::Camera &first = AddCamera(kRow);
    WaitText(1);
    ASSERT_EQ(ZarnCamera_Open(0), 0);
    bed.unplug(first);
    WaitText(2);
    AddCamera(kRow + 1);
    ASSERT_EQ(TextInt(WaitText(3), "index"), 0);
    EXPECT_EQ(ZarnCamera_Open(0), -33);
    EXPECT_EQ(ZarnCamera_Close(0), 0); // closes the unplugged camera
    EXPECT_EQ(ZarnCamera_Open(0), 0);
    std::string work = Take(ZarnCamera_GetWorkDevList());
    EXPECT_NE(work.find("\"index\":\t0"), std::string::npos);
}

TEST_F(CamlibStreaming, CloseFromInsideTheFrameCallback)
{
    vcam::Camera &cam = AddCamera(kRow);
    WaitText(1);
    rx.closeFromCallback = 0;
    ASSERT_TRUE(OpenAndStream(0, 5));
    ASSERT_TRUE(DeliverFrames(cam, rx, 1));
    EXPECT_EQ(rx.closeResult.load(), 0);
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0 && !c.streaming(); }));
    EXPECT_EQ(ZarnCamera_Close(0), -32);
    EXPECT_EQ(ZarnCamera_GetWorkDevList(), nullptr);
    // The camera opens again as usual.
    EXPECT_EQ(ZarnCamera_Open(0), 0);
    EXPECT_EQ(ZarnCamera_Close(0), 0);
}

TEST_F(CamlibStreaming, TwoCamerasStreamOnTheirOwnThreads)
{
    vcam::Camera &c0 = AddCamera(0);
    vcam::Camera &c1 = AddCamera(42);
    WaitText(2);
    for (int id : {0, 1})
        ASSERT_TRUE(OpenAndStream(id, 5));
    std::string work = Take(ZarnCamera_GetWorkDevList());
    EXPECT_NE(work.find("\"index\":\t1"), std::string::npos);
    for (int i = 0; i < 200 && rx.frames.Size() < 6; ++i) {
        c0.tick();
        c1.tick();
        rx.frames.WaitFor(rx.frames.Size() + 1, std::chrono::milliseconds(100));
    }
    std::set<std::thread::id> threads;
    for (const FrameSeen &f : rx.frames.Items())
        threads.insert(f.thread);
    EXPECT_EQ(threads.size(), 2u);
    EXPECT_EQ(ZarnCamera_Close(1), 0);
    EXPECT_EQ(ZarnCamera_Close(0), 0);
}

TEST_F(CamlibStreaming, UnInitWhileStreamingClosesEverything)
{
    vcam::Camera &cam = AddCamera(kRow);
    WaitText(1);
    ASSERT_TRUE(OpenAndStream(0, 5));
    cam.startClock();
    ASSERT_TRUE(rx.frames.WaitFor(2));
    EXPECT_EQ(ZarnCamera_UnInit(), 0);
    size_t after = rx.frames.Size();
    EXPECT_EQ(cameraManager, nullptr);
    EXPECT_EQ(imageServer, nullptr);
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0; }));
    cam.stopClock();
    EXPECT_EQ(rx.frames.Size(), after); // no frame after UnInit returned
    // The library starts again after a teardown under way.
    ASSERT_EQ(ZarnCamera_Init(), 0);
    EXPECT_EQ(ZarnCamera_RegCallBackCameraChange(LibReceiveText), 0);
}

} // namespace
