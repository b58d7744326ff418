// The exported interface on its own: version, life cycle, the results of an
// uninitialised library and the image functions before any camera is open.
#include "cameraidlist.h"
#include "cimageprocessserver.h"
#include "event_log.h"
#include "plug_cycler.h"
#include "udev_testbed.h"
#include "zarnkobixmanager.h"

#include <ZarnKobixManager.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

EventLog<std::string> *g_apiTexts = nullptr;
void ApiReceive(char *text)
{
    if (g_apiTexts)
        g_apiTexts->Push(text);
    free(text);
}

int IgnoreFrame(void *, int, int, int) { return 0; }

TEST(CamlibApi, GetVersionCopiesAtMostSixBytes)
{
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    ZarnCamera_GetVersion(buf, 3);
    EXPECT_EQ(std::string(buf, 4), "2.0#"); // cut, no terminator
    std::memset(buf, '#', sizeof buf);
    ZarnCamera_GetVersion(buf, 6);
    EXPECT_STREQ(buf, "2.0.1");
    EXPECT_EQ(buf[6], '#');
    std::memset(buf, '#', sizeof buf);
    ZarnCamera_GetVersion(buf, 16);
    EXPECT_STREQ(buf, "2.0.1");
    EXPECT_EQ(buf[6], '#'); // the rest stays untouched
    std::memset(buf, '#', sizeof buf);
    ZarnCamera_GetVersion(buf, 0);
    ZarnCamera_GetVersion(buf, -4);
    ZarnCamera_GetVersion(nullptr, 6);
    EXPECT_EQ(buf[0], '#');
}

TEST(CamlibApi, UninitialisedLibraryGivesTheDocumentedResults)
{
    ASSERT_EQ(cameraManager, nullptr);
    EXPECT_EQ(ZarnCamera_UnInit(), -14);
    EXPECT_EQ(ZarnCamera_RegCallBackCameraChange(ApiReceive), -15);
    EXPECT_EQ(ZarnCamera_GetDevCount(), -15);
    EXPECT_EQ(ZarnCamera_GetOnLineDevList(), nullptr);
    EXPECT_EQ(ZarnCamera_GetWorkDevList(), nullptr);
    EXPECT_EQ(ZarnCamera_Open(0), -15);
    EXPECT_EQ(ZarnCamera_Close(0), -15);
    EXPECT_EQ(ZarnCamera_GetResolutionList(0), nullptr);
    EXPECT_EQ(ZarnCamera_GetCurResolutionNo(0), -15);
    EXPECT_EQ(ZarnCamera_SetCurResolutionNo(0, 0), -15);
    EXPECT_EQ(ZarnCamera_StartCapture(0, IgnoreFrame), 0); // nothing starts
    EXPECT_EQ(ZarnCamera_StopCapture(0), 0);
    EXPECT_EQ(ZarnCamera_SetImageColorStyle(1), -15);
    EXPECT_EQ(ZarnCamera_SetImageJPGQuality(80), -15);
    EXPECT_EQ(ZarnCamera_SetAutoCrop(1), -15);
    EXPECT_EQ(ZarnCamera_SetImageRotateMode(1), -15);
    unsigned char px[4] = {0};
    EXPECT_EQ(ZarnCamera_YuYv422toRGB24(px, px, 4, 1, 1), -15);
    EXPECT_EQ(ZarnCamera_SaveVideoData(px, 1, 1, 0, "/tmp/x.jpg"), -15);
    EXPECT_EQ(ZarnCamera_SaveRGB888Image(reinterpret_cast<char *>(px), 1, 1, 0, "/tmp/x.jpg"), -15);
    EXPECT_EQ(ZarnCamera_ConvertImagetoImage("/tmp/a.jpg", "/tmp/b.png"), -15);
    EXPECT_EQ(ZarnCamera_AddImageFiletoMultiFile("/tmp/a.jpg"), -15);
    EXPECT_EQ(ZarnCamera_CombineMultiFile("/tmp/a.pdf"), -15);
    int a = 1, b = 2, c = 3;
    char line[4] = "abc";
    EXPECT_EQ(ZarnCamera_DrawLine(line, a, b, c, 0), 1);
    void *image = px;
    EXPECT_EQ(ZarnCamera_SetContours(&image, 1, 1, 0, 0), -15);
    EXPECT_EQ(imageServer, nullptr);
}

class CamlibApiInit : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (cameraManager)
            ZarnCamera_UnInit();
        g_apiTexts = nullptr;
    }
    UdevTestbed tb;
};

TEST_F(CamlibApiInit, InitAndUnInitTwice)
{
    EXPECT_EQ(ZarnCamera_Init(), 0);
    CCameraDevManager *first = cameraManager;
    EXPECT_NE(first, nullptr);
    EXPECT_NE(imageServer, nullptr);
    EXPECT_EQ(ZarnCamera_Init(), -15);
    EXPECT_EQ(cameraManager, first); // nothing changed
    EXPECT_EQ(ZarnCamera_UnInit(), 0);
    EXPECT_EQ(cameraManager, nullptr);
    EXPECT_EQ(imageServer, nullptr);
    EXPECT_EQ(ZarnCamera_UnInit(), -14);
    EXPECT_EQ(ZarnCamera_Init(), 0);
    EXPECT_EQ(ZarnCamera_UnInit(), 0);
}

TEST_F(CamlibApiInit, ImageFunctionsWithoutAnOpenCameraChangeNothing)
{
    EventLog<std::string> texts;
    g_apiTexts = &texts;
    ASSERT_EQ(ZarnCamera_Init(), 0);
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(ApiReceive), 0);
    tb.Plug(cameraIDlist[0][0], cameraIDlist[0][1], "Idle", 0);
    ASSERT_TRUE(texts.WaitFor(1));
    ASSERT_EQ(ZarnCamera_GetDevCount(), 1);

    EXPECT_EQ(ZarnCamera_SetImageJPGQuality(80), -14);
    EXPECT_EQ(imageServer->imageJpgQuality(), 95);
    EXPECT_EQ(ZarnCamera_SetImageColorStyle(2), -14);
    EXPECT_EQ(ZarnCamera_SetAutoCrop(1), -14);
    EXPECT_EQ(ZarnCamera_SetImageRotateMode(3), -14);
    EXPECT_EQ(ZarnCamera_AddImageFiletoMultiFile("/etc/hostname"), -14);
    EXPECT_TRUE(imageServer->multiFiles().empty());
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(ZarnCamera_DrawLine(nullptr, a, b, c, 0), 1);
    EXPECT_EQ(ZarnCamera_GetWorkDevList(), nullptr);
    EXPECT_EQ(ZarnCamera_Close(0), -32);
    EXPECT_EQ(ZarnCamera_StartCapture(0, IgnoreFrame), -32);
    EXPECT_EQ(ZarnCamera_StopCapture(0), -32);
    EXPECT_EQ(ZarnCamera_GetResolutionList(0), nullptr);
    EXPECT_EQ(ZarnCamera_GetCurResolutionNo(0), -32);
    EXPECT_EQ(ZarnCamera_SetCurResolutionNo(0, 0), -32);
    EXPECT_EQ(ZarnCamera_Open(3), -16);
}

TEST_F(CamlibApiInit, ReportsAreAppliedBeforeAndAfterRegistration)
{
    EventLog<std::string> texts;
    g_apiTexts = &texts;
    ASSERT_EQ(ZarnCamera_Init(), 0);
    EXPECT_EQ(ZarnCamera_GetOnLineDevList(), nullptr);
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(ApiReceive), 0);
    tb.Plug(cameraIDlist[16][0], cameraIDlist[16][1], "Plugged", 2);
    ASSERT_TRUE(texts.WaitFor(1));
    EXPECT_EQ(ZarnCamera_GetDevCount(), 1);
    char *list = ZarnCamera_GetOnLineDevList();
    ASSERT_NE(list, nullptr);
    EXPECT_NE(std::strstr(list, "\"Plugged\""), nullptr);
    free(list);
    // Removing the callback: events still change the list.
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(nullptr), 0);
    tb.Plug(cameraIDlist[17][0], cameraIDlist[17][1], "Silent", 4);
    // Without a receiver there is no report to wait for: watch the count
    // (bounded) before registering again.
    for (int i = 0; i < 10000 && ZarnCamera_GetDevCount() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ZarnCamera_GetDevCount(), 2);
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(ApiReceive), 0);
    tb.Plug(cameraIDlist[18][0], cameraIDlist[18][1], "Sentinel", 6); // events come in order
    ASSERT_TRUE(texts.WaitFor(2));
    EXPECT_EQ(ZarnCamera_GetDevCount(), 3);
    auto items = texts.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[1].find("\"index\":\t2"), std::string::npos); // Silent took 1
    EXPECT_NE(items[1].find("Sentinel"), std::string::npos);
}

TEST_F(CamlibApiInit, UnInitWhileEventsArrive)
{
    EventLog<std::string> texts;
    g_apiTexts = &texts;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(ZarnCamera_Init(), 0);
        ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(ApiReceive), 0);
        size_t before = texts.Size();
        PlugCycler plugger(tb, texts, 100);
        ASSERT_TRUE(texts.WaitFor(before + 3));
        EXPECT_EQ(ZarnCamera_UnInit(), 0);
        plugger.Stop();
    }
}

std::atomic<int> g_unInitResult{1};
void UnInitFromCallback(char *text)
{
    free(text);
    g_unInitResult = ZarnCamera_UnInit();
    if (g_apiTexts)
        g_apiTexts->Push("uninit");
}

TEST_F(CamlibApiInit, UnInitFromTheCameraChangeCallback)
{
    EventLog<std::string> texts;
    g_apiTexts = &texts;
    ASSERT_EQ(ZarnCamera_Init(), 0);
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(UnInitFromCallback), 0);
    tb.Plug(cameraIDlist[2][0], cameraIDlist[2][1], "First", 0);
    ASSERT_TRUE(texts.WaitFor(1));
    EXPECT_EQ(g_unInitResult.load(), 0);
    EXPECT_EQ(cameraManager, nullptr);
    // The hot-plug thread of the destroyed manager reports nothing more.
    tb.Plug(cameraIDlist[3][0], cameraIDlist[3][1], "Second", 2);
    ASSERT_EQ(ZarnCamera_Init(), 0);
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(ApiReceive), 0);
    tb.Plug(cameraIDlist[4][0], cameraIDlist[4][1], "Third", 4);
    // The new manager's first pass may report First and Second as well,
    // depending on when the receiver got registered; Third comes last.
    bool third = false;
    for (size_t n = 2; !third && n <= 4 && texts.WaitFor(n); ++n)
        third = texts.Items()[n - 1].find("Third") != std::string::npos;
    EXPECT_TRUE(third);
    EXPECT_EQ(ZarnCamera_GetDevCount(), 3);
}

} // namespace
