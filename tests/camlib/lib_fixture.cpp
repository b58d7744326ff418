#include "lib_fixture.h"

#include "cameraidlist.h"
#include "zarnkobixmanager.h"

LibReceivers *g_lib = nullptr;

void LibReceiveText(char *text)
{
    if (g_lib)
        g_lib->texts.Push(text);
    free(text); // the receiver owns the text
}

int LibReceiveFrame(void *data, int size, int width, int height)
{
    FrameSeen seen;
    seen.size = size;
    seen.width = width;
    seen.height = height;
    const auto *bytes = static_cast<const unsigned char *>(data);
    seen.jpeg = size > 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
    seen.thread = std::this_thread::get_id();
    if (g_lib) {
        int cam = g_lib->closeFromCallback.exchange(-1);
        if (cam >= 0)
            g_lib->closeResult = ZarnCamera_Close(cam);
        g_lib->frames.Push(seen);
    }
    return 0;
}

int TextInt(const std::string &text, const char *key)
{
    cJSON *obj = cJSON_Parse(text.c_str());
    cJSON *item = cJSON_GetObjectItem(obj, key);
    int value = item ? item->valueint : -999;
    cJSON_Delete(obj);
    return value;
}

std::string TextString(const std::string &text, const char *key)
{
    cJSON *obj = cJSON_Parse(text.c_str());
    cJSON *item = cJSON_GetObjectItem(obj, key);
    std::string value = item && item->valuestring ? item->valuestring : "";
    cJSON_Delete(obj);
    return value;
}

void LibFixture::SetUp()
{
    g_lib = &rx;
    ASSERT_EQ(ZarnCamera_Init(), 0);
    ASSERT_EQ(ZarnCamera_RegCallBackCameraChange(LibReceiveText), 0);
}

void LibFixture::TearDown()
{
    if (cameraManager) {
        EXPECT_EQ(ZarnCamera_UnInit(), 0);
    }
    g_lib = nullptr;
}

std::string LibFixture::WaitText(size_t n)
{
    if (!rx.texts.WaitFor(n))
        return "<no text " + std::to_string(n) + ">";
    return rx.texts.Items()[n - 1];
}

vcam::Camera &LibFixture::AddCamera(int row)
{
    vcam::CameraOptions options;
    options.vid = static_cast<std::uint16_t>(cameraIDlist[row][0]);
    options.pid = static_cast<std::uint16_t>(cameraIDlist[row][1]);
    return bed.addCamera(options);
}

::testing::AssertionResult LibFixture::OpenAndStream(int camID, int resNo)
{
    int ret = ZarnCamera_Open(camID);
    if (ret != 0)
        return ::testing::AssertionFailure() << "ZarnCamera_Open(" << camID << ") = " << ret;
    ret = ZarnCamera_SetCurResolutionNo(camID, resNo);
    if (ret != 0)
        return ::testing::AssertionFailure() << "ZarnCamera_SetCurResolutionNo = " << ret;
    ret = ZarnCamera_StartCapture(camID, LibReceiveFrame);
    if (ret != 0)
        return ::testing::AssertionFailure() << "ZarnCamera_StartCapture = " << ret;
    return ::testing::AssertionSuccess();
}
