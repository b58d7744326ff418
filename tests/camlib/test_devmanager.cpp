// Device manager: identifiers, device lists and camera-change texts, both
// driven directly and through real udev events from the monitor thread.
#include "cameradevmanager.h"
#include "cameraidlist.h"
#include "event_log.h"
#include "plug_cycler.h"
#include "udev_testbed.h"

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

unsigned Vid(int row) { return cameraIDlist[row][0]; }
unsigned Pid(int row) { return cameraIDlist[row][1]; }

// The program's side of the camera-change callback: a plain function that
// takes ownership of the text and frees it.
EventLog<std::string> *g_texts = nullptr;
void ReceiveText(char *text)
{
    if (g_texts)
        g_texts->Push(text);
    free(text);
}

tag_dev_online_node Node(int row, const std::string &devName, const std::string &action, const std::string &name)
{
    tag_dev_online_node n;
    n.index = row;
    n.vid = Vid(row);
    n.pid = Pid(row);
    n.devName = devName;
    n.action = action;
    n.name = name;
    return n;
}

std::string ChangeText(int index, unsigned vid, unsigned pid, const std::string &name, const std::string &action)
{
    return "{\n\t\"index\":\t" + std::to_string(index) + ",\n\t\"vid\":\t" + std::to_string(vid) +
           ",\n\t\"pid\":\t" + std::to_string(pid) + ",\n\t\"name\":\t\"" + name + "\",\n\t\"action\":\t\"" + action +
           "\"\n}";
}

std::string Take(char *text)
{
    std::string s = text ? text : "<null>";
    free(text);
    return s;
}

// Identifiers of the online list, in list order.
std::vector<int> OnlineIds(CCameraDevManager &mgr)
{
    std::vector<int> ids;
    char *text = mgr.GetCamOnLineDevList();
    if (!text)
        return ids;
    cJSON *array = cJSON_Parse(text);
    free(text);
    cJSON *item;
    cJSON_ArrayForEach(item, array) ids.push_back(cJSON_GetObjectItem(item, "index")->valueint);
    cJSON_Delete(array);
    return ids;
}

class DevManagerDirect : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_texts = &texts;
        mgr.SetHotPlugCallBackFunc(ReceiveText);
    }
    void TearDown() override { g_texts = nullptr; }

    // Feeds one event the way the monitor thread does.
    void Event(int row, const std::string &dev, const std::string &action, const std::string &name = "Cam")
    {
        CCameraDevManager::HotplugCallBack(&mgr, Node(row, dev, action, name));
    }
    int LastIndex()
    {
        auto items = texts.Items();
        cJSON *obj = cJSON_Parse(items.back().c_str());
        int index = cJSON_GetObjectItem(obj, "index")->valueint;
        cJSON_Delete(obj);
        return index;
    }

    EventLog<std::string> texts;
    CCameraDevManager mgr;
};

TEST_F(DevManagerDirect, IdentifiersFollowTheLastEntryAndRestartWhenEmpty)
{
    Event(0, "/dev/video0", "add");
    Event(1, "/dev/video2", "add");
    Event(2, "/dev/video4", "add");
    EXPECT_EQ(OnlineIds(mgr), (std::vector<int>{0, 1, 2}));

    Event(2, "/dev/video4", "remove");
    EXPECT_EQ(LastIndex(), 2);
    Event(3, "/dev/video6", "add"); // the newest camera's number is given again
    EXPECT_EQ(LastIndex(), 2);

    Event(0, "/dev/video0", "remove");
    EXPECT_EQ(LastIndex(), 0);
    Event(4, "/dev/video8", "add");
    EXPECT_EQ(LastIndex(), 3);
    EXPECT_EQ(OnlineIds(mgr), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(mgr.MaxCameraIDFlag(), 4);

    for (const char *dev : {"/dev/video2", "/dev/video6", "/dev/video8"})
        Event(0, dev, "remove");
    EXPECT_EQ(mgr.GetCameraDevCount(), 0);
    Event(5, "/dev/video0", "add");
    EXPECT_EQ(LastIndex(), 0);
}

TEST_F(DevManagerDirect, UnplugMatchesTheWholeNodeName)
{
    Event(0, "/dev/video1", "add");
    Event(1, "/dev/video10", "add");
    Event(0, "/dev/video1", "remove");
    ASSERT_EQ(texts.Size(), 3u);
    EXPECT_EQ(LastIndex(), 0);
    EXPECT_EQ(OnlineIds(mgr), (std::vector<int>{1}));
    camerainfo info;
    ASSERT_EQ(mgr.GetCameraInfo(1, info), 0);
    EXPECT_STREQ(info.devName, "/dev/video10");
    EXPECT_EQ(mgr.GetCameraInfo(0, info), -16);
}

TEST_F(DevManagerDirect, TextsAreTheFormattedPrinterLayoutByteForByte)
{
    Event(16, "/dev/video2", "add", "Doc Cam 5M");
    Event(16, "/dev/video2", "change", "Doc Cam 5M");
    Event(16, "/dev/video2", "remove", "Doc Cam 5M");
    Event(9, "/dev/video9", "remove", "Ghost"); // matched no entry: the row stays
    auto items = texts.Items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0], ChangeText(0, Vid(16), Pid(16), "Doc Cam 5M", "add"));
    EXPECT_EQ(items[1], ChangeText(16, Vid(16), Pid(16), "Doc Cam 5M", "change"));
    EXPECT_EQ(items[2], ChangeText(0, Vid(16), Pid(16), "Doc Cam 5M", "remove"));
    EXPECT_EQ(items[3], ChangeText(9, Vid(9), Pid(9), "Ghost", "remove"));
    // A vendor number 0x0c45 is written in decimal.
    EXPECT_NE(items[0].find("\"vid\":\t" + std::to_string(Vid(16)) + ","), std::string::npos);
}

TEST_F(DevManagerDirect, DeviceListsAreNullWhenEmptyAndArraysOtherwise)
{
    EXPECT_EQ(mgr.GetCamOnLineDevList(), nullptr);
    EXPECT_EQ(mgr.GetCamWorkDevList(), nullptr);
    Event(20, "/dev/video0", "add", "First");
    Event(40, "/dev/video2", "add", "Second");
    std::string expected = "[{\n\t\t\"index\":\t0,\n\t\t\"vid\":\t" + std::to_string(Vid(20)) + ",\n\t\t\"pid\":\t" +
                           std::to_string(Pid(20)) + ",\n\t\t\"name\":\t\"First\",\n\t\t\"action\":\t\"add\"\n\t}, {\n"
                           "\t\t\"index\":\t1,\n\t\t\"vid\":\t" + std::to_string(Vid(40)) + ",\n\t\t\"pid\":\t" +
                           std::to_string(Pid(40)) + ",\n\t\t\"name\":\t\"Second\",\n\t\t\"action\":\t\"add\"\n\t}]";
    EXPECT_EQ(Take(mgr.GetCamOnLineDevList()), expected);
    // Every call returns a fresh text.
    char *a = mgr.GetCamOnLineDevList();
    char *b = mgr.GetCamOnLineDevList();
    EXPECT_NE(a, b);
    free(a);
    free(b);
    // Nothing is open, so nothing is working.
    EXPECT_EQ(mgr.GetCamWorkDevList(), nullptr);
    EXPECT_EQ(mgr.GetCameraDevCount(), 2);
}

TEST_F(DevManagerDirect, StatusCodesWithoutOpenCameras)
{
    Event(0, "/dev/video0", "add");
    EXPECT_EQ(mgr.StatusOfCamID(0), -32);
    EXPECT_EQ(mgr.StatusOfCamID(1), -16);
    EXPECT_FALSE(mgr.IsOpenCamID(0));
    EXPECT_EQ(mgr.ValidCameraNo(), -32);
    EXPECT_EQ(mgr.OpenCamera(5), -16);
    EXPECT_EQ(mgr.CloseCamera(0), -32);
    EXPECT_EQ(mgr.GetCamResList(0), nullptr);
    EXPECT_EQ(mgr.GetCamCurResNo(0), -32);
    EXPECT_EQ(mgr.SetCamCurResNo(0, 0), -32);
    EXPECT_EQ(mgr.StartCamCapture(0, nullptr), -32);
    EXPECT_EQ(mgr.StopCameraCapture(0), -32);
}

TEST_F(DevManagerDirect, EventsApplyWithoutARegisteredCallback)
{
    mgr.SetHotPlugCallBackFunc(nullptr);
    Event(0, "/dev/video0", "add");
    Event(1, "/dev/video2", "add");
    EXPECT_EQ(texts.Size(), 0u);
    EXPECT_EQ(mgr.GetCameraDevCount(), 2);
}

TEST_F(DevManagerDirect, LongTextsAreCutToTheFieldSize)
{
    std::string longName(80, 'n');
    std::string longDev = "/dev/" + std::string(80, 'd');
    Event(0, longDev, "add", longName);
    camerainfo info;
    ASSERT_EQ(mgr.GetCameraInfo(0, info), 0);
    EXPECT_EQ(std::string(info.name), longName.substr(0, 63));
    EXPECT_EQ(std::string(info.devName), longDev.substr(0, 63));
}

// Through the monitor thread and real udev events.
class DevManagerUdev : public ::testing::Test
{
protected:
    void SetUp() override { g_texts = &texts; }
    void TearDown() override
    {
        mgr.reset();
        g_texts = nullptr;
    }
    void Start()
    {
        mgr = std::make_unique<CCameraDevManager>();
        mgr->SetHotPlugCallBackFunc(ReceiveText);
        ASSERT_EQ(mgr->StartHotPlugThread(), 0);
    }

    UdevTestbed tb;
    EventLog<std::string> texts;
    std::unique_ptr<CCameraDevManager> mgr;
};

TEST_F(DevManagerUdev, StartupWithNoCameraReportsNothingThenFollowsPlugs)
{
    Start();
    EXPECT_EQ(mgr->GetCameraDevCount(), 0);
    EXPECT_EQ(mgr->GetCamOnLineDevList(), nullptr);
    int cam = tb.Plug(Vid(16), Pid(16), "Plugged", 0);
    ASSERT_TRUE(texts.WaitFor(1));
    tb.Unplug(cam);
    ASSERT_TRUE(texts.WaitFor(2));
    auto items = texts.Items();
    EXPECT_EQ(items[0], ChangeText(0, Vid(16), Pid(16), "Plugged", "add"));
    EXPECT_EQ(items[1], ChangeText(0, Vid(16), Pid(16), "Plugged", "remove"));
    EXPECT_EQ(mgr->GetCameraDevCount(), 0);
}

TEST_F(DevManagerUdev, StartupWithOneCamera)
{
    tb.Plug(Vid(2), Pid(2), "One", 0);
    Start();
    ASSERT_TRUE(texts.WaitFor(1));
    EXPECT_EQ(texts.Items()[0], ChangeText(0, Vid(2), Pid(2), "One", "add"));
    EXPECT_EQ(mgr->GetCameraDevCount(), 1);
}

TEST_F(DevManagerUdev, StartupWithTwoCamerasNumbersThemInEnumerationOrder)
{
    tb.Plug(Vid(3), Pid(3), "CamA", 0);
    tb.Plug(Vid(35), Pid(35), "CamB", 2);
    Start();
    ASSERT_TRUE(texts.WaitFor(2));
    auto items = texts.Items();
    std::set<std::string> names;
    for (int i = 0; i < 2; ++i) {
        cJSON *obj = cJSON_Parse(items[static_cast<size_t>(i)].c_str());
        EXPECT_EQ(cJSON_GetObjectItem(obj, "index")->valueint, i);
        EXPECT_STREQ(cJSON_GetObjectItem(obj, "action")->valuestring, "add");
        names.insert(cJSON_GetObjectItem(obj, "name")->valuestring);
        cJSON_Delete(obj);
    }
    EXPECT_EQ(names, (std::set<std::string>{"CamA", "CamB"}));
    EXPECT_EQ(mgr->GetCameraDevCount(), 2);
}

TEST_F(DevManagerUdev, IdentifierSequencesAcrossRealPlugAndUnplug)
{
    Start();
    int c0 = tb.Plug(Vid(0), Pid(0), "C0", 0);
    int c1 = tb.Plug(Vid(1), Pid(1), "C1", 2);
    int c2 = tb.Plug(Vid(2), Pid(2), "C2", 4);
    ASSERT_TRUE(texts.WaitFor(3));
    tb.Unplug(c2);
    int c3 = tb.Plug(Vid(3), Pid(3), "C3", 6);
    ASSERT_TRUE(texts.WaitFor(5));
    tb.Unplug(c0);
    int c4 = tb.Plug(Vid(4), Pid(4), "C4", 8);
    ASSERT_TRUE(texts.WaitFor(7));
    EXPECT_EQ(OnlineIds(*mgr), (std::vector<int>{1, 2, 3}));
    for (int slot : {c1, c3, c4})
        tb.Unplug(slot);
    tb.Plug(Vid(5), Pid(5), "C5", 10);
    ASSERT_TRUE(texts.WaitFor(11));

    std::vector<std::string> expected = {
        ChangeText(0, Vid(0), Pid(0), "C0", "add"),    ChangeText(1, Vid(1), Pid(1), "C1", "add"),
        ChangeText(2, Vid(2), Pid(2), "C2", "add"),    ChangeText(2, Vid(2), Pid(2), "C2", "remove"),
        ChangeText(2, Vid(3), Pid(3), "C3", "add"),    ChangeText(0, Vid(0), Pid(0), "C0", "remove"),
        ChangeText(3, Vid(4), Pid(4), "C4", "add"),    ChangeText(1, Vid(1), Pid(1), "C1", "remove"),
        ChangeText(2, Vid(3), Pid(3), "C3", "remove"), ChangeText(3, Vid(4), Pid(4), "C4", "remove"),
        ChangeText(0, Vid(5), Pid(5), "C5", "add"),
    };
    EXPECT_EQ(texts.Items(), expected);
}

TEST_F(DevManagerUdev, ChangeEventIsReportedAndLeavesTheListAlone)
{
    int cam = tb.Plug(Vid(12), Pid(12), "Changer", 0);
    Start();
    ASSERT_TRUE(texts.WaitFor(1));
    tb.Change(cam);
    ASSERT_TRUE(texts.WaitFor(2));
    EXPECT_EQ(texts.Items()[1], ChangeText(12, Vid(12), Pid(12), "Changer", "change"));
    EXPECT_EQ(OnlineIds(*mgr), (std::vector<int>{0}));
}

TEST_F(DevManagerUdev, OpenFailureOnANonVideoNodeLeavesTheEntryOnlineAndClosed)
{
    tb.Plug(Vid(6), Pid(6), "NotV4L2", 0);
    Start();
    ASSERT_TRUE(texts.WaitFor(1));
    int ret = mgr->OpenCamera(0);
    EXPECT_LT(ret, 0);
    EXPECT_NE(ret, -33);
    EXPECT_FALSE(mgr->IsOpenCamID(0));
    EXPECT_EQ(mgr->StatusOfCamID(0), -32);
    EXPECT_EQ(mgr->CloseCamera(0), -32);
    EXPECT_EQ(mgr->GetCamWorkDevList(), nullptr);
    EXPECT_EQ(mgr->GetCameraDevCount(), 1);
}

TEST_F(DevManagerUdev, DestroyingTheManagerWhileEventsArriveIsClean)
{
    Start();
    PlugCycler plugger(tb, texts, 200);
    ASSERT_TRUE(texts.WaitFor(3));
    mgr.reset(); // stops, wakes and joins the monitor thread first
    plugger.Stop();
    size_t seen = texts.Size();
    tb.Plug(Vid(0), Pid(0), "AfterTeardown", 10);
    EXPECT_FALSE(texts.WaitFor(seen + 1, std::chrono::milliseconds(200)));
}

} // namespace
