// umockdev testbed population for the virtual cameras.
#include "udevbed.h"

#include <umockdev.h>

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace vcam {
namespace {

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xffff);
    return buf;
}

std::string sanitize(const std::string &s) {
    std::string out;
    for (char c : s)
        out += (c == ' ' || c == '/') ? '_' : c;
    return out;
}

std::string takeString(gchar *s) {
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

} // namespace

int videoMinor(const std::string &path) {
    const std::string prefix = "/dev/video";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size())
        return -1;
    int n = 0;
    for (std::size_t i = prefix.size(); i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9')
            return -1;
        n = n * 10 + (path[i] - '0');
    }
    return n;
}

UdevBed::UdevBed() {
    tb_ = umockdev_testbed_new();
    if (!tb_)
        throw std::runtime_error("cannot create a umockdev testbed");
    root_ = takeString(umockdev_testbed_get_root_dir(tb_));
}

UdevBed::~UdevBed() {
    if (tb_)
        g_object_unref(tb_); // also deletes the testbed folder
}

std::string UdevBed::rootDir() const { return root_; }

void UdevBed::plug(UdevCamera &cam) {
    if (cam.plugged)
        return;
    const int capMinor = videoMinor(cam.captureNode), metaMinor = videoMinor(cam.metaNode);
    if (capMinor < 0 || metaMinor < 0)
        throw std::invalid_argument("udev nodes must be /dev/video<N>: " + cam.captureNode);
    const std::string vid = hex4(cam.vid), pid = hex4(cam.pid);
    const std::string port = "1-" + std::to_string(cam.index + 1);
    const std::string busnum = "1", devnum = std::to_string(cam.index + 2);
    const std::string idPath = "pci-0000:00:14.0-usb-0:" + std::to_string(cam.index + 1) + ":1.0";
    const std::string byId = "/dev/v4l/by-id/usb-" + sanitize(cam.vendor) + "_" + sanitize(cam.model) + "_" +
                             sanitize(cam.serial) + "-video-index";
    const std::string byPath = "/dev/v4l/by-path/" + idPath + "-video-index";
    const std::string idSerial = sanitize(cam.vendor) + "_" + sanitize(cam.model) + "_" + sanitize(cam.serial);

    cam.syspaths.clear();
    const std::string usb = takeString(umockdev_testbed_add_device(
        tb_, "usb", port.c_str(), nullptr,
        // attributes
        "idVendor", vid.c_str(), "idProduct", pid.c_str(), "manufacturer", cam.vendor.c_str(), "product",
        cam.model.c_str(), "serial", cam.serial.c_str(), "busnum", busnum.c_str(), "devnum", devnum.c_str(),
        "speed", "480", nullptr,
        // properties
        "DEVTYPE", "usb_device", "ID_VENDOR_ID", vid.c_str(), "ID_MODEL_ID", pid.c_str(), "ID_VENDOR",
        sanitize(cam.vendor).c_str(), "ID_MODEL", sanitize(cam.model).c_str(), "ID_SERIAL", idSerial.c_str(),
        "BUSNUM", "001", "PRODUCT", (vid + "/" + pid + "/100").c_str(), nullptr));
    const std::string intf = takeString(umockdev_testbed_add_device(
        tb_, "usb", (port + ":1.0").c_str(), usb.c_str(), "bInterfaceClass", "0e", "bInterfaceSubClass", "01",
        "bInterfaceNumber", "00", nullptr, "DEVTYPE", "usb_interface", "INTERFACE", "14/1/0", "DRIVER", "uvcvideo",
        nullptr));
    cam.syspaths.push_back(usb);
    cam.syspaths.push_back(intf);

    auto addNode = [&](const std::string &node, int minor, int index) {
        const std::string name = "video" + std::to_string(minor);
        const std::string dev = "81:" + std::to_string(minor);
        const std::string links = byId + std::to_string(index) + " " + byPath + std::to_string(index);
        const std::string caps = index == 0 ? ":capture:" : ":";
        const std::string path = takeString(umockdev_testbed_add_device(
            tb_, "video4linux", name.c_str(), intf.c_str(), "name", cam.model.c_str(), "index",
            std::to_string(index).c_str(), "dev", dev.c_str(), nullptr, "DEVNAME", node.c_str(), "DEVLINKS",
            links.c_str(), "MAJOR", "81", "MINOR", std::to_string(minor).c_str(), "ID_VENDOR_ID", vid.c_str(),
            "ID_MODEL_ID", pid.c_str(), "ID_VENDOR", sanitize(cam.vendor).c_str(), "ID_MODEL",
            sanitize(cam.model).c_str(), "ID_SERIAL", idSerial.c_str(), "ID_SERIAL_SHORT", cam.serial.c_str(),
            "ID_BUS", "usb", "ID_USB_DRIVER", "uvcvideo", "ID_PATH", idPath.c_str(), "ID_V4L_VERSION", "2",
            "ID_V4L_CAPABILITIES", caps.c_str(), "ID_V4L_PRODUCT", cam.model.c_str(), "TAGS", ":uaccess:seat:",
            nullptr));
        cam.syspaths.push_back(path); // umockdev sends the "add" event itself
        // umockdev records the node's numbers in dev/.node but leaves the
        // file itself to us; its preload then stats it as a char device.
        const std::string file = root_ + node;
        if (access(file.c_str(), F_OK) != 0)
            if (FILE *f = std::fopen(file.c_str(), "w"))
                std::fclose(f);
    };
    addNode(cam.captureNode, capMinor, 0);
    addNode(cam.metaNode, metaMinor, 1);
    cam.plugged = true;
}

void UdevBed::unplug(UdevCamera &cam) {
    if (!cam.plugged)
        return;
    // "remove" for the video nodes while they still exist (the event
    // carries their properties), then the devices go.
    for (std::size_t i = cam.syspaths.size(); i-- > 2;)
        umockdev_testbed_uevent(tb_, cam.syspaths[i].c_str(), "remove");
    for (std::size_t i = cam.syspaths.size(); i-- > 0;)
        umockdev_testbed_remove_device(tb_, cam.syspaths[i].c_str());
    for (const std::string &node : {cam.captureNode, cam.metaNode})
        unlink((root_ + node).c_str()); // in case the /dev file outlived its device
    cam.syspaths.clear();
    cam.plugged = false;
}

} // namespace vcam
