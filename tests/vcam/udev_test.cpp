// The udev side: real libudev over the umockdev testbed sees the virtual
// cameras with the properties discovery code reads, and a udev monitor gets
// "add"/"remove" on plug and unplug.  Runs with libumockdev-preload.
#include "vcam/vcam.h"

#include <gtest/gtest.h>
#include <libudev.h>
#include <linux/videodev2.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Vendor number of the default profile, as udev writes it.
std::string defaultVid() {
    char buf[8];
    snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(vcam::defaultProfile().vid));
    return buf;
}

struct Found {
    std::string devname, devlinks, vid, pid, model;
};

std::vector<Found> enumerate(udev *u, const char *vendor) {
    udev_enumerate *e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "video4linux");
    udev_enumerate_add_match_property(e, "ID_VENDOR_ID", vendor);
    udev_enumerate_scan_devices(e);
    std::vector<Found> out;
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        udev_device *d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        auto prop = [d](const char *k) {
            const char *v = udev_device_get_property_value(d, k);
            return std::string(v ? v : "");
        };
        out.push_back({prop("DEVNAME"), prop("DEVLINKS"), prop("ID_VENDOR_ID"), prop("ID_MODEL_ID"), prop("ID_MODEL")});
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    return out;
}

// Next event of the monitor as "action devname", or "" after the timeout.
std::string nextEvent(udev_monitor *m, int timeoutMs = 5000) {
    pollfd p{udev_monitor_get_fd(m), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return "";
    udev_device *d = udev_monitor_receive_device(m);
    if (!d)
        return "";
    const char *links = udev_device_get_property_value(d, "DEVLINKS");
    std::string s = std::string(udev_device_get_action(d)) + " " + udev_device_get_devnode(d) +
                    (links && std::string(links).find("video-index0") != std::string::npos ? " index0" : "");
    udev_device_unref(d);
    return s;
}

TEST(VcamUdev, EnumerationShowsBothNodesWithDiscoveryProperties) {
    ASSERT_TRUE(vcam::umockdevPreloaded());
    vcam::Testbed bed;
    vcam::CameraOptions opt;
    opt.vid = 0x1a2b;
    opt.pid = 0x0042;
    bed.addCamera(opt);
    bed.addCamera(); // the profile's numbers: another vendor

    udev *u = udev_new();
    auto found = enumerate(u, "1a2b");
    ASSERT_EQ(found.size(), 2u);
    std::map<std::string, Found> byNode;
    for (auto &f : found)
        byNode[f.devname] = f;
    ASSERT_TRUE(byNode.count("/dev/video0"));
    ASSERT_TRUE(byNode.count("/dev/video1"));
    EXPECT_EQ(byNode["/dev/video0"].pid, "0042");
    EXPECT_EQ(byNode["/dev/video0"].model, "DocCam_5MP");
    const std::string link0 = byNode["/dev/video0"].devlinks, link1 = byNode["/dev/video1"].devlinks;
    EXPECT_NE(link0.find("video-index0"), std::string::npos) << link0;
    EXPECT_EQ(link0.find("video-index1"), std::string::npos) << link0;
    EXPECT_NE(link1.find("video-index1"), std::string::npos) << link1;
    EXPECT_EQ(enumerate(u, defaultVid().c_str()).size(), 2u);
    udev_unref(u);

    // The node the enumeration names opens as a V4L2 device.
    const int fd = open("/dev/video2", O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_capability cap{};
    EXPECT_EQ(ioctl(fd, VIDIOC_QUERYCAP, &cap), 0);
    close(fd);
}

TEST(VcamUdev, PlugAndUnplugReachAMonitor) {
    vcam::Testbed bed;
    udev *u = udev_new();
    udev_monitor *m = udev_monitor_new_from_netlink(u, "udev");
    ASSERT_NE(m, nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(m, "video4linux", nullptr);
    ASSERT_EQ(udev_monitor_enable_receiving(m), 0);

    vcam::Camera &cam = bed.addCamera();
    EXPECT_EQ(nextEvent(m), "add /dev/video0 index0");
    EXPECT_EQ(nextEvent(m), "add /dev/video1");

    bed.unplug(cam);
    std::vector<std::string> removed = {nextEvent(m), nextEvent(m)};
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{"remove /dev/video0 index0", "remove /dev/video1"}));
    EXPECT_TRUE(enumerate(u, defaultVid().c_str()).empty());
    EXPECT_NE(access("/dev/video0", F_OK), 0);

    bed.plug(cam);
    EXPECT_EQ(nextEvent(m), "add /dev/video0 index0");
    EXPECT_EQ(enumerate(u, defaultVid().c_str()).size(), 2u);
    udev_monitor_unref(m);
    udev_unref(u);
}

} // namespace
