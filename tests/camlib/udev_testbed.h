// In-process udev testbed for the camera library's tests: each camera is a
// USB parent with two video4linux nodes, the capture node (persistent link
// "...-video-index0") and a second node ("...-video-index1"), carrying the
// udev properties the library reads.  Plug and unplug send real uevents to
// real libudev monitors.  Needs libumockdev-preload in the process.
#pragma once

#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

struct TestCamera {
    unsigned vid = 0, pid = 0;
    std::string model;
    int firstNode = 0; // /dev/video<firstNode> is the capture node
    std::string usbPath, node0Path, node1Path;
    bool plugged = false;
};

class UdevTestbed
{
public:
    UdevTestbed();
    ~UdevTestbed();
    UdevTestbed(const UdevTestbed &) = delete;
    UdevTestbed &operator=(const UdevTestbed &) = delete;

    // Adds a camera whose nodes are /dev/video<firstNode> and the next one;
    // each node's "add" uevent is sent.  Returns its slot.
    int Plug(unsigned vid, unsigned pid, const std::string &model, int firstNode);
    // Sends "remove" for both nodes, then drops the devices.
    void Unplug(int slot);
    // Sends a "change" uevent for the capture node.
    void Change(int slot);
    // Adds one capture node with only the given properties (name, value,
    // ...), for devices that lack something.
    std::string AddBareNode(int node, const std::vector<std::string> &props);

    const TestCamera &Camera(int slot) const { return m_cameras.at(static_cast<size_t>(slot)); }
    UMockdevTestbed *Raw() const { return m_tb; }

private:
    std::string AddNode(const TestCamera &cam, int node, int linkIndex);

    UMockdevTestbed *m_tb;
    std::vector<TestCamera> m_cameras;
    int m_usbCount = 0;
};

// Hexadecimal text of a USB number as udev writes it: 4 lowercase digits.
std::string Hex4(unsigned value);
