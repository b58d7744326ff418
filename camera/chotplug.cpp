#include "chotplug.h"

#include "cameraidlist.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Record texts live in 64-byte fields downstream; cut longer values here so
// every text the library hands out agrees.  The cut never splits a UTF-8
// sequence, so the JSON texts stay valid.
constexpr size_t kMaxText = 63;

std::string CutText(const char *value)
{
    size_t len = std::strlen(value);
    if (len <= kMaxText)
        return std::string(value, len);
    len = kMaxText;
    while (len > 0 && (static_cast<unsigned char>(value[len]) & 0xC0) == 0x80)
        --len; // value[len] continues a sequence: drop the whole sequence
    return std::string(value, len);
}

const char *OrNull(const char *s) { return s ? s : "(null)"; }

bool IsFirstVideoNode(const char *devlinks) { return std::strstr(devlinks, "video-index0") != nullptr; }

const char kPowerOnLine[] = "+++++++++++++++++++++++++++++++=poweron+++++++++++++++++++++++++++=";
const char kFindDeviceLine[] = "+++++++++++++++++++++++++++++++find device+++++++++++++++++++++++++++=";

} // namespace

CHotPlug::CHotPlug()
    : m_status(0), m_stopRequest(false), m_firstScan(true), m_running(false), m_callBack(nullptr),
      m_userData(nullptr), m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

CHotPlug::~CHotPlug()
{
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void CHotPlug::SetCallBackfunc(void *userData, CallBack fn)
{
    m_callBack = fn;
    m_userData = userData;
}

int CHotPlug::GetVendoridList(std::string &out)
{
    out.clear();
    for (const auto &row : cameraIDlist) {
        char vid[16];
        std::snprintf(vid, sizeof vid, "%04x", row[0]);
        if (out.find(vid) == std::string::npos) {
            out += vid;
            out += ',';
        }
    }
    return 0;
}

int CHotPlug::IsExist(unsigned int vid, unsigned int pid, const char *)
{
    return CameraIDRow(vid, pid);
}

int CHotPlug::IsContain(tag_dev_online_node &node)
{
    return CameraIDRow(node.vid, node.pid);
}

int CHotPlug::CheckZarnDevice(tag_dev_online_node &node)
{
    int row = CameraIDRow(node.vid, node.pid);
    if (row < 0)
        return kNoRow;
    node.index = row;
    if (m_callBack)
        m_callBack(m_userData, node);
    return row;
}

bool CHotPlug::ReadDeviceNode(udev_device *dev, tag_dev_online_node &node)
{
    const char *vid = udev_device_get_property_value(dev, "ID_VENDOR_ID");
    const char *pid = udev_device_get_property_value(dev, "ID_MODEL_ID");
    const char *model = udev_device_get_property_value(dev, "ID_MODEL");
    const char *links = udev_device_get_property_value(dev, "DEVLINKS");
    const char *devName = udev_device_get_property_value(dev, "DEVNAME");
    if (!vid || !pid || !model || !links || !devName)
        return false;
    node.vid = static_cast<unsigned int>(std::strtoul(vid, nullptr, 16));
    node.pid = static_cast<unsigned int>(std::strtoul(pid, nullptr, 16));
    node.name = CutText(model);
    node.devName = CutText(devName);
    return true;
}

int CHotPlug::EnumOnLineDevFromUdev(std::vector<tag_dev_online_node> &out)
{
    udev *u = udev_new();
    if (!u) {
        puts("Can't create udev");
        return kNoUdev;
    }
    udev_enumerate *en = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(en, "video4linux");

    // One property match per vendor, plus the empty piece after the last
    // comma; udev lists a device when any of them matches.
    std::string vendors;
    GetVendoridList(vendors);
    size_t start = 0;
    for (;;) {
        size_t comma = vendors.find(',', start);
        std::string piece = vendors.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        udev_enumerate_add_match_property(en, "ID_VENDOR_ID", piece.c_str());
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }

    udev_enumerate_scan_devices(en);
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en))
    {
        udev_device *dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        if (!dev)
            continue;
        printf("Device Node Path /dev: %s\n", OrNull(udev_device_get_devnode(dev)));
        printf("Device devpath /dev: %s\n", OrNull(udev_device_get_devpath(dev)));
        printf("Device subsystem /dev: %s\n", OrNull(udev_device_get_subsystem(dev)));
        printf("Device devtype /dev: %s\n", OrNull(udev_device_get_devtype(dev)));
        printf("Device syspath /dev: %s\n", OrNull(udev_device_get_syspath(dev)));
        printf("Device sysname /dev: %s\n", OrNull(udev_device_get_sysname(dev)));
        printf("Device get_sysnum /dev: %s\n", OrNull(udev_device_get_sysnum(dev)));

        tag_dev_online_node node;
        if (ReadDeviceNode(dev, node)) {
            printf("find device:%x-%x\n", node.vid, node.pid);
            int row = IsExist(node.vid, node.pid, node.name.c_str());
            if (row >= 0 && IsFirstVideoNode(udev_device_get_property_value(dev, "DEVLINKS"))) {
                node.index = row;
                node.action = "add";
                printf("DEVNAME(/dev):%s\n", node.devName.c_str());
                out.push_back(std::move(node));
            }
        }
        udev_device_unref(dev);
    }
    udev_enumerate_unref(en);
    udev_unref(u);
    return static_cast<int>(out.size());
}

bool CHotPlug::AcceptEvent(const tag_dev_online_node &node)
{
    if (node.action.find("add") != std::string::npos)
        return m_reported.insert(node.devName).second;
    if (node.action.find("remove") != std::string::npos)
        return m_reported.erase(node.devName) > 0;
    return true;
}

void CHotPlug::RequestStop()
{
    m_stopRequest = true;
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(m_wakeFd, &one, sizeof one);
        (void)n; // a full counter already wakes the loop
    }
}

void *CHotPlug::StartHotplugMonitor(void *)
{
    udev *u = udev_new();
    if (!u) {
        puts("create udev failure");
        m_status = kNoUdev;
        return nullptr;
    }
    udev_monitor *mon = udev_monitor_new_from_netlink(u, "udev");
    if (!mon) {
        puts("create udev_monitor failure");
        udev_unref(u);
        m_status = kNoUdev;
        return nullptr;
    }
    // Receiving is enabled before the first enumeration, so a camera plugged
    // during start-up is seen by one or both; AcceptEvent drops the repeat.
    if (udev_monitor_filter_add_match_subsystem_devtype(mon, "video4linux", nullptr) < 0 ||
        udev_monitor_enable_receiving(mon) < 0) {
        puts("enable monitor failure");
        udev_monitor_unref(mon);
        udev_unref(u);
        m_status = kNoUdev;
        return nullptr;
    }
    m_running = true;

    const int monFd = udev_monitor_get_fd(mon);
    for (;;) {
        if (m_status < 0 || m_stopRequest) {
            udev_monitor_unref(mon);
            udev_unref(u);
            m_stopRequest = false;
            m_running = false;
            return nullptr;
        }

        std::vector<tag_dev_online_node> found;
        bool readable = false;
        if (m_firstScan) {
            puts(kPowerOnLine);
        } else {
            // Without a wake-up descriptor fall back to a short timeout so a
            // stop request still takes effect promptly.
            pollfd fds[2] = {{monFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            int ret = poll(fds, m_wakeFd >= 0 ? 2 : 1, m_wakeFd >= 0 ? -1 : 50);
            if (ret < 0) {
                puts("monitor time out");
                continue;
            }
            if (ret == 0)
                continue;
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                ssize_t n = read(m_wakeFd, &count, sizeof count);
                (void)n;
                continue; // the stop flag is tested at the top of the turn
            }
            // Also on an error condition: receiving clears it (or finds nothing).
            readable = fds[0].revents != 0;
        }

        if (m_firstScan) {
            m_firstScan = false;
            if (EnumOnLineDevFromUdev(found) <= 0)
                continue;
        } else if (readable) {
            udev_device *dev = udev_monitor_receive_device(mon);
            if (!dev)
                continue;
            tag_dev_online_node node;
            const char *action = udev_device_get_action(dev);
            if (action && ReadDeviceNode(dev, node)) {
                int row = IsExist(node.vid, node.pid, node.name.c_str());
                if (row >= 0 && IsFirstVideoNode(udev_device_get_property_value(dev, "DEVLINKS"))) {
                    node.index = row;
                    node.action = action;
                    printf("find  actions:%s\n", action);
                    found.push_back(std::move(node));
                }
            }
            udev_device_unref(dev);
        } else {
            continue; // error or hang-up without data: nothing to receive
        }

        puts(kFindDeviceLine);
        for (auto &node : found) {
            if (m_stopRequest)
                break; // the receiver may be gone once a stop was requested
            if (AcceptEvent(node))
                CheckZarnDevice(node);
        }
    }
}
