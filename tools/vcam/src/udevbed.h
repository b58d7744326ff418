// The udev side of the virtual cameras: a umockdev testbed with, per camera,
// a USB device, its video interface and two video4linux nodes carrying the
// properties real udev rules give a UVC camera.
//
// Thread context: one thread at a time (the owner's); umockdev is not
// thread-safe.
#pragma once

#include "vcam/profile.h"

#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vcam {

struct UdevCamera {
    int index = 0;
    std::string captureNode, metaNode;   // /dev/videoN paths
    std::uint16_t vid = 0, pid = 0;
    std::string model, vendor, serial;
    std::vector<std::string> syspaths;   // usb device, interface, video nodes (add order)
    bool plugged = false;
};

class UdevBed {
public:
    UdevBed();  // creates the testbed; sets UMOCKDEV_DIR in this process
    ~UdevBed(); // removes the testbed folder
    UdevBed(const UdevBed &) = delete;
    UdevBed &operator=(const UdevBed &) = delete;

    std::string rootDir() const;
    // Adds the devices (umockdev sends their "add" events).  The node paths must be
    // /dev/video<minor>.
    void plug(UdevCamera &cam);
    // "remove" events, then the devices and their /dev files go.
    void unplug(UdevCamera &cam);

private:
    UMockdevTestbed *tb_ = nullptr;
    std::string root_;
};

// Minor number of a /dev/video<N> path, -1 for other paths.
int videoMinor(const std::string &path);

} // namespace vcam
