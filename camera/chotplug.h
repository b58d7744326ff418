// Discovery of supported cameras through libudev: the enumeration of cameras
// already attached and the hot-plug monitor loop that reports plug and
// unplug events of the "video4linux" subsystem.
//
// Thread context: EnumOnLineDevFromUdev and StartHotplugMonitor run on the
// hot-plug thread; RequestStop may be called from any thread.  The callback
// is set once before the thread starts.
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <vector>

struct udev_device;

// One video node of a supported camera as udev describes it.
struct tag_dev_online_node {
    int index = -1;       // row of cameraIDlist; later the camera identifier
    unsigned int vid = 0; // "ID_VENDOR_ID", hexadecimal
    unsigned int pid = 0; // "ID_MODEL_ID", hexadecimal
    std::string devName;  // "DEVNAME"
    std::string name;     // "ID_MODEL"
    std::string action;   // "add" from enumeration, else udev's action text
};

class CHotPlug
{
public:
    using CallBack = void (*)(void *userData, tag_dev_online_node node);

    CHotPlug();
    ~CHotPlug();
    CHotPlug(const CHotPlug &) = delete;
    CHotPlug &operator=(const CHotPlug &) = delete;

    void SetCallBackfunc(void *userData, CallBack fn);

    // Comma-terminated list of the table's vendors, 4 lowercase hex digits
    // each, in order of first appearance.  Always 0.
    int GetVendoridList(std::string &out);

    // Row of cameraIDlist for (vid, pid), or kNoRow; model takes no part.
    int IsExist(unsigned int vid, unsigned int pid, const char *model);
    int IsContain(tag_dev_online_node &node);

    // Lookup; on a match writes the row into node.index, hands a copy to the
    // callback and returns the row.  kNoRow when unsupported.
    int CheckZarnDevice(tag_dev_online_node &node);

    // What the enumeration returns, and m_status holds, when no udev
    // context or monitor can be set up.
    static constexpr int kNoUdev = -1;

    // Appends one record per attached supported camera (first video node
    // only).  Returns out.size(), or kNoUdev without a udev context.
    int EnumOnLineDevFromUdev(std::vector<tag_dev_online_node> &out);

    // Body of the hot-plug thread: first reports the attached cameras, then
    // every event until RequestStop.  Returns null.
    void *StartHotplugMonitor(void *);

    // Asks the monitor loop to end and wakes its wait.  Safe before, during
    // and after the loop; the caller joins the thread afterwards.
    void RequestStop();

    int Status() const { return m_status.load(); }
    bool IsRunning() const { return m_running.load(); }

    // Reads the five properties the library relies on.  False when the
    // device lacks one of them (such a device counts as unsupported).
    static bool ReadDeviceNode(udev_device *dev, tag_dev_online_node &node);

private:
    // False for an event that repeats what was already reported: an "add"
    // of a node reported present, a "remove" of a node never reported.
    bool AcceptEvent(const tag_dev_online_node &node);

    std::atomic<int> m_status;
    std::atomic<bool> m_stopRequest;
    std::atomic<bool> m_firstScan;
    std::atomic<bool> m_running;
    CallBack m_callBack;
    void *m_userData;

    int m_wakeFd;                     // eventfd written by RequestStop
    std::set<std::string> m_reported; // nodes reported present (monitor thread only)
};
