#include "udev_testbed.h"

#include <umockdev.h>

#include <cstdio>
#include <stdexcept>

std::string Hex4(unsigned value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%04x", value);
    return buf;
}

UdevTestbed::UdevTestbed() : m_tb(umockdev_testbed_new())
{
    if (!umockdev_in_mock_environment())
        throw std::runtime_error("run under libumockdev-preload (LD_PRELOAD)");
}

UdevTestbed::~UdevTestbed()
{
    g_object_unref(m_tb);
}

std::string UdevTestbed::AddNode(const TestCamera &cam, int node, int linkIndex)
{
    std::string name = "video" + std::to_string(node);
    std::string devName = "/dev/" + name;
    std::string usbId = "usb-Vendor_" + cam.model + "_" + std::to_string(m_usbCount);
    std::string links = "/dev/v4l/by-id/" + usbId + "-video-index" + std::to_string(linkIndex) +
                        " /dev/v4l/by-path/pci-0000:00:14.0-usb-0:" + std::to_string(m_usbCount) +
                        ":1.0-video-index" + std::to_string(linkIndex);
    std::string vid = Hex4(cam.vid), pid = Hex4(cam.pid);
    std::string dev = "81:" + std::to_string(node);
    gchar *path = umockdev_testbed_add_device(m_tb, "video4linux", name.c_str(), cam.usbPath.c_str(),
                                              "name", cam.model.c_str(), "dev", dev.c_str(), nullptr,
                                              "DEVNAME", devName.c_str(), "ID_VENDOR_ID", vid.c_str(),
                                              "ID_MODEL_ID", pid.c_str(), "ID_MODEL", cam.model.c_str(),
                                              "DEVLINKS", links.c_str(), "SUBSYSTEM", "video4linux", nullptr);
    if (!path)
        throw std::runtime_error("umockdev_testbed_add_device failed for " + name);
    std::string result = path;
    g_free(path);
    return result;
}

int UdevTestbed::Plug(unsigned vid, unsigned pid, const std::string &model, int firstNode)
{
    TestCamera cam;
    cam.vid = vid;
    cam.pid = pid;
    cam.model = model;
    cam.firstNode = firstNode;
    ++m_usbCount;
    std::string usbName = "usb" + std::to_string(m_usbCount);
    std::string vidText = Hex4(vid), pidText = Hex4(pid);
    gchar *usb = umockdev_testbed_add_device(m_tb, "usb", usbName.c_str(), nullptr, "idVendor", vidText.c_str(),
                                             "idProduct", pidText.c_str(), nullptr, "ID_VENDOR_ID", vidText.c_str(),
                                             "ID_MODEL_ID", pidText.c_str(), nullptr);
    if (!usb)
        throw std::runtime_error("umockdev_testbed_add_device failed for " + usbName);
    cam.usbPath = usb;
    g_free(usb);
    cam.node0Path = AddNode(cam, firstNode, 0);
    cam.node1Path = AddNode(cam, firstNode + 1, 1);
    cam.plugged = true;
    m_cameras.push_back(cam);
    return static_cast<int>(m_cameras.size()) - 1;
}

void UdevTestbed::Unplug(int slot)
{
    TestCamera &cam = m_cameras.at(static_cast<size_t>(slot));
    if (!cam.plugged)
        return;
    for (const std::string *path : {&cam.node0Path, &cam.node1Path}) {
        umockdev_testbed_uevent(m_tb, path->c_str(), "remove");
        umockdev_testbed_remove_device(m_tb, path->c_str());
    }
    umockdev_testbed_remove_device(m_tb, cam.usbPath.c_str());
    cam.plugged = false;
}

void UdevTestbed::Change(int slot)
{
    umockdev_testbed_uevent(m_tb, Camera(slot).node0Path.c_str(), "change");
}

std::string UdevTestbed::AddBareNode(int node, const std::vector<std::string> &props)
{
    std::string name = "video" + std::to_string(node);
    gchar *path = umockdev_testbed_add_device(m_tb, "video4linux", name.c_str(), nullptr, nullptr, nullptr);
    if (!path)
        throw std::runtime_error("umockdev_testbed_add_device failed for " + name);
    std::string result = path;
    g_free(path);
    for (size_t i = 0; i + 1 < props.size(); i += 2)
        umockdev_testbed_set_property(m_tb, result.c_str(), props[i].c_str(), props[i + 1].c_str());
    umockdev_testbed_uevent(m_tb, result.c_str(), "add");
    return result;
}
