// Discovery over real libudev: enumeration, vendor filter and the monitor
// thread, against an in-process umockdev testbed.
#include "cameraidlist.h"
#include "chotplug.h"
#include "event_log.h"
#include "udev_testbed.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

namespace {

unsigned Vid(int row) { return cameraIDlist[row][0]; }
unsigned Pid(int row) { return cameraIDlist[row][1]; }

TEST(CamlibCameraIDList, HasSixVendorsOneWithTwentySevenRowsAndNoDuplicatePair)
{
    std::map<unsigned, int> perVendor;
    std::set<std::pair<unsigned, unsigned>> pairs;
    for (int row = 0; row < CAMERA_ID_ROWS; ++row) {
        ++perVendor[Vid(row)];
        pairs.insert({Vid(row), Pid(row)});
        EXPECT_EQ(CameraIDRow(Vid(row), Pid(row)), row);
    }
    EXPECT_EQ(pairs.size(), 43u);
    ASSERT_EQ(perVendor.size(), 6u);
    int largest = 0;
    for (const auto &v : perVendor)
        largest = std::max(largest, v.second);
    EXPECT_EQ(largest, 27);
    EXPECT_EQ(CameraIDRow(Vid(0), 0xffff), -1);
}

TEST(CamlibHotPlug, VendorListIsFirstAppearanceOrderWithTrailingCommas)
{
    CHotPlug hp;
    std::string out = "stale";
    EXPECT_EQ(hp.GetVendoridList(out), 0);
    std::string expected;
    for (int row = 0; row < CAMERA_ID_ROWS; ++row) {
        std::string vid = Hex4(Vid(row));
        if (expected.find(vid) == std::string::npos)
            expected += vid + ",";
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.size(), 30u); // six vendors, four digits and a comma each
    EXPECT_EQ(hp.IsExist(Vid(16), Pid(16), "ignored"), 16);
}

TEST(CamlibHotPlug, CheckZarnDeviceHandsSupportedNodesToTheReceiver)
{
    CHotPlug hp;
    std::vector<tag_dev_online_node> got;
    hp.SetCallBackfunc(&got, [](void *user, tag_dev_online_node node) {
        static_cast<std::vector<tag_dev_online_node> *>(user)->push_back(node);
    });
    tag_dev_online_node node;
    node.vid = Vid(5);
    node.pid = Pid(5);
    node.devName = "/dev/video4";
    EXPECT_EQ(hp.CheckZarnDevice(node), 5);
    EXPECT_EQ(node.index, 5);
    node.pid = 0xdead;
    node.index = -7;
    EXPECT_EQ(hp.CheckZarnDevice(node), -1);
    EXPECT_EQ(node.index, -7);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].index, 5);
    EXPECT_EQ(got[0].devName, "/dev/video4");
}

TEST(CamlibHotPlug, EnumerationKeepsOnlyTheFirstNodeOfSupportedCameras)
{
    UdevTestbed tb;
    tb.Plug(Vid(16), Pid(16), "DocCam_A", 2);     // kept: /dev/video2 only
    tb.Plug(Vid(16), 0xbeef, "SameVendorOther", 6); // listed vendor, unknown pair
    tb.Plug(0x1234, 0x5678, "Foreign", 8);         // vendor outside the filter
    tb.AddBareNode(20, {"ID_VENDOR_ID", Hex4(Vid(1)), "ID_MODEL_ID", Hex4(Pid(1)), "ID_MODEL", "NoLinks",
                        "DEVNAME", "/dev/video20"}); // lacks DEVLINKS

    CHotPlug hp;
    std::vector<tag_dev_online_node> out(1); // records are appended
    ASSERT_EQ(hp.EnumOnLineDevFromUdev(out), 2);
    const tag_dev_online_node &n = out[1];
    EXPECT_EQ(n.index, 16);
    EXPECT_EQ(n.vid, Vid(16));
    EXPECT_EQ(n.pid, Pid(16));
    EXPECT_EQ(n.devName, "/dev/video2");
    EXPECT_EQ(n.name, "DocCam_A");
    EXPECT_EQ(n.action, "add");
}

TEST(CamlibHotPlug, EnumerationMatchesNumbersNotTextForTheProduct)
{
    UdevTestbed tb;
    // A product number written with upper-case digits still matches the row:
    // only the vendor text goes to udev's property match.
    std::string pidUpper = Hex4(Pid(3));
    for (auto &c : pidUpper)
        c = static_cast<char>(toupper(c));
    tb.AddBareNode(4, {"ID_VENDOR_ID", Hex4(Vid(3)), "ID_MODEL_ID", pidUpper, "ID_MODEL", "Upper", "DEVNAME",
                       "/dev/video4", "DEVLINKS", "/dev/v4l/by-id/usb-x-video-index0"});
    CHotPlug hp;
    std::vector<tag_dev_online_node> out;
    ASSERT_EQ(hp.EnumOnLineDevFromUdev(out), 1);
    EXPECT_EQ(out[0].index, 3);
}

TEST(CamlibHotPlug, LongModelNamesAreCutToSixtyThreeBytesOnACharacterBoundary)
{
    UdevTestbed tb;
    std::string model(62, 'M');
    model += "\xc3\xa9tail"; // 2-byte character straddles the limit
    tb.AddBareNode(0, {"ID_VENDOR_ID", Hex4(Vid(0)), "ID_MODEL_ID", Hex4(Pid(0)), "ID_MODEL", model, "DEVNAME",
                       "/dev/video0", "DEVLINKS", "/dev/v4l/by-id/usb-x-video-index0"});
    CHotPlug hp;
    std::vector<tag_dev_online_node> out;
    ASSERT_EQ(hp.EnumOnLineDevFromUdev(out), 1);
    EXPECT_EQ(out[0].name, std::string(62, 'M'));
}

// Runs the monitor loop of a CHotPlug on its own thread, recording reports.
class MonitorRun
{
public:
    MonitorRun()
    {
        m_hp.SetCallBackfunc(&m_log, [](void *user, tag_dev_online_node node) {
            static_cast<EventLog<tag_dev_online_node> *>(user)->Push(node);
        });
        m_thread = std::thread([this] { m_hp.StartHotplugMonitor(nullptr); });
    }
    ~MonitorRun() { Stop(); }
    void Stop()
    {
        m_hp.RequestStop();
        if (m_thread.joinable())
            m_thread.join();
    }
    EventLog<tag_dev_online_node> &Log() { return m_log; }
    CHotPlug &HotPlug() { return m_hp; }

private:
    EventLog<tag_dev_online_node> m_log;
    CHotPlug m_hp;
    std::thread m_thread;
};

TEST(CamlibHotPlugMonitor, ReportsAttachedCameraThenPlugUnplugAndChange)
{
    UdevTestbed tb;
    tb.Plug(Vid(0), Pid(0), "Attached", 0);
    MonitorRun run;
    ASSERT_TRUE(run.Log().WaitFor(1));

    int cam = tb.Plug(Vid(30), Pid(30), "Plugged", 2);
    ASSERT_TRUE(run.Log().WaitFor(2));
    tb.Change(cam);
    ASSERT_TRUE(run.Log().WaitFor(3));
    tb.Unplug(cam);
    ASSERT_TRUE(run.Log().WaitFor(4));
    tb.Plug(0x1234, 0x0001, "Unsupported", 4);
    tb.Plug(Vid(42), Pid(42), "Sentinel", 6); // reports arrive in order
    ASSERT_TRUE(run.Log().WaitFor(5));
    run.Stop();

    auto items = run.Log().Items();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].action, "add");
    EXPECT_EQ(items[0].devName, "/dev/video0");
    EXPECT_EQ(items[0].index, 0);
    EXPECT_EQ(items[1].action, "add");
    EXPECT_EQ(items[1].devName, "/dev/video2");
    EXPECT_EQ(items[1].index, 30);
    EXPECT_EQ(items[1].name, "Plugged");
    EXPECT_EQ(items[2].action, "change");
    EXPECT_EQ(items[3].action, "remove");
    EXPECT_EQ(items[3].devName, "/dev/video2");
    EXPECT_EQ(items[4].name, "Sentinel");
    EXPECT_FALSE(run.HotPlug().IsRunning());
}

TEST(CamlibHotPlugMonitor, StartsWithoutCamerasAndStopsWhileWaiting)
{
    UdevTestbed tb;
    MonitorRun run;
    tb.Plug(Vid(1), Pid(1), "Late", 0);
    ASSERT_TRUE(run.Log().WaitFor(1));
    EXPECT_TRUE(run.HotPlug().IsRunning());
    run.Stop(); // the loop sits in its wait: only the wake-up ends it
    EXPECT_FALSE(run.HotPlug().IsRunning());
    EXPECT_EQ(run.HotPlug().Status(), 0);
    EXPECT_EQ(run.Log().Size(), 1u);
}

TEST(CamlibHotPlugMonitor, CameraPluggedDuringStartupIsReportedOnce)
{
    UdevTestbed tb;
    // Plug while the monitor sets up and enumerates; whichever of the two
    // sees the camera first, it is reported exactly once.
    std::thread plugger([&] { tb.Plug(Vid(7), Pid(7), "Racing", 0); });
    MonitorRun run;
    plugger.join();
    // The sentinel only once the monitor is done with the racing camera:
    // umockdev's preload resolves descriptors to paths in static buffers
    // without a lock, so the testbed looking up the new device while the
    // monitor thread reads another one can lose the sentinel's uevent.
    ASSERT_TRUE(run.Log().WaitFor(1));
    tb.Plug(Vid(8), Pid(8), "Sentinel", 2);
    ASSERT_TRUE(run.Log().WaitFor(2));
    // The sentinel was plugged after the racing camera, so once it is in, any
    // repeat of the racing camera would be in as well.
    run.Stop();
    auto items = run.Log().Items();
    int racing = 0;
    for (const auto &n : items)
        racing += n.name == "Racing";
    EXPECT_EQ(racing, 1);
    EXPECT_EQ(items.back().name, "Sentinel");
}

TEST(CamlibHotPlugMonitor, StopBeforeTheLoopRunsEndsItAtOnce)
{
    UdevTestbed tb;
    tb.Plug(Vid(0), Pid(0), "NeverReported", 0);
    CHotPlug hp;
    int reports = 0;
    hp.SetCallBackfunc(&reports, [](void *user, tag_dev_online_node) { ++*static_cast<int *>(user); });
    hp.RequestStop();
    std::thread t([&] { hp.StartHotplugMonitor(nullptr); });
    t.join();
    EXPECT_FALSE(hp.IsRunning());
    EXPECT_EQ(reports, 0);
}

} // namespace
