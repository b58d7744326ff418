#include "cameracapture.h"
#include "resultcodes.h"

#include <algorithm>
#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capturesession.h"
#include "printline.h"
#include "v4l2ioctl.h"

// Written by every start; nothing in the library reads it back (each
// CameraCapture keeps its own callback).  Weak, so that the unit holding the
// exported interface may carry the definition as well.
extern "C" {
__attribute__((visibility("default"), weak)) ZarnCameraFrameCallback gCameraRecvFun = nullptr;
}

namespace {

constexpr std::uint32_t kRequestedBuffers = 4;
// Longest a stop waits for a frame callback that does not return.
constexpr int kStopWaitMs = 22 * 100;
// A driver that never ends an enumeration must not hang the caller.
constexpr std::uint32_t kEnumLimit = 1024;

// Frame sizes document cameras usually offer; a stepwise range lists those
// it can produce.  The minimum and maximum of a range are not sizes.
constexpr tag_CameraWidthAndHeight kUsualSizes[] = {
    {3264, 2448}, {2592, 1944}, {2048, 1536}, {1920, 1080}, {1600, 1200}, {1280, 960},
    {1280, 720},  {1024, 768},  {800, 600},   {640, 480},   {320, 240},
};

// The one line a user sees when a camera node is not theirs to open: which
// node, and which group gives access to it.
void PrintNoPermission(const char *path)
{
    char group[64];
    snprintf(group, sizeof group, "video");
    struct stat st {};
    if (stat(path, &st) == 0) {
        struct group gr {};
        struct group *found = nullptr;
        char buf[1024];
        if (getgrgid_r(st.st_gid, &gr, buf, sizeof buf, &found) == 0 && found)
            snprintf(group, sizeof group, "%s", found->gr_name);
        else
            snprintf(group, sizeof group, "%u", static_cast<unsigned>(st.st_gid));
    }
    zarn::printLine(zarn::Level::Error, "capture",
                    "OpenCameraCapture: permission denied on %s: the user needs read and write access "
                    "(membership of group \"%s\")",
                    path, group);
}

bool fitsStepwise(const v4l2_frmsize_stepwise &s, const tag_CameraWidthAndHeight &size)
{
    auto fits = [](std::uint32_t v, std::uint32_t lo, std::uint32_t hi, std::uint32_t step) {
        if (v < lo || v > hi)
            return false;
        return step == 0 || (v - lo) % step == 0;
    };
    return fits(size.width, s.min_width, s.max_width, s.step_width) &&
           fits(size.height, s.min_height, s.max_height, s.step_height);
}

void appendFrameSizes(int fd, std::uint32_t pixelFormat, std::vector<tag_CameraWidthAndHeight> &list)
{
    for (std::uint32_t index = 0; index < kEnumLimit; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (zarn::xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0)
            return;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            const auto w = static_cast<std::int32_t>(size.discrete.width);
            const auto h = static_cast<std::int32_t>(size.discrete.height);
            if (w > 0 && h > 0)
                list.push_back({w, h});
        } else if (size.type == V4L2_FRMSIZE_TYPE_STEPWISE) {
            for (const auto &usual : kUsualSizes) {
                if (fitsStepwise(size.stepwise, usual))
                    list.push_back(usual);
            }
        }
        // Continuous ranges list nothing.
    }
}

void fourccText(std::uint32_t code, char out[5])
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    out[4] = '\0';
}

bool enumFormat(int fd, std::uint32_t index, v4l2_fmtdesc &desc)
{
    desc = v4l2_fmtdesc{};
    desc.index = index;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return zarn::xioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0;
}

// A reading request on a zeroed structure of the capture buffer type.
template <typename T>
bool readCapture(int fd, unsigned long request, T &out)
{
    out = T{};
    out.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return zarn::xioctl(fd, request, &out) == 0;
}

int readControl(int fd, std::uint32_t id, std::int32_t &value)
{
    v4l2_control ctrl{};
    ctrl.id = id;
    const int r = zarn::xioctl(fd, VIDIOC_G_CTRL, &ctrl);
    value = ctrl.value;
    return r;
}

// Reads an exposure value; a failure is printed with the ioctl result.
int readExposureValue(int fd, std::uint32_t id, std::int32_t &value)
{
    const int r = readControl(fd, id, value);
    if (r != 0)
        printf("Get exposure LEVEL failed (%d)\n", r);
    return r;
}

// A JSON array with one object per entry, filled by `fill`, printed with
// cJSON's formatted printer; null for an empty list.
template <typename T, typename Fill>
char *printJsonList(const std::vector<T> &list, Fill fill)
{
    if (list.empty())
        return nullptr;
    cJSON *array = cJSON_CreateArray();
    if (!array)
        return nullptr;
    for (std::size_t i = 0; i < list.size(); ++i) {
        cJSON *item = cJSON_CreateObject();
        fill(item, i, list[i]);
        cJSON_AddItemToArray(array, item);
    }
    char *text = cJSON_Print(array);
    cJSON_Delete(array);
    return text;
}

} // namespace

bool GreaterSort(tag_CameraWidthAndHeight a, tag_CameraWidthAndHeight b)
{
    return a.width > b.width;
}

bool LessSort(tag_CameraWidthAndHeight a, tag_CameraWidthAndHeight b)
{
    return a.width < b.width;
}

CameraCapture::CameraCapture() : m_open(false)
{
    InitCamCapArgc();
}

CameraCapture::~CameraCapture()
{
    if (m_open)
        CloseCameraCapture();
}

void CameraCapture::InitCamCapArgc()
{
    m_fd = -1;
    m_width = 640;
    m_height = 480;
    m_fps = 15;
    m_frameCallback = nullptr;
    m_session.reset();
    m_resList.clear();
}

int CameraCapture::failed(const char *operation, const char *call, int code) const
{
    const int err = errno;
    zarn::printLine(zarn::Level::Error, "capture", "%s: %s on %s: %s", operation, call, m_path.c_str(),
                    zarn::errorText(err).c_str());
    return code;
}

int CameraCapture::xioctl(int fd, unsigned long request, void *arg)
{
    return zarn::xioctl(fd, request, arg);
}

// ---------------------------------------------------------------- set-up

int CameraCapture::OpenCameraCapture(const char *path)
{
    if (m_open)
        return 0;
    if (!path)
        return zarn::kBadArgument;
    m_path = path;
    if (access(path, F_OK) != 0)
        return failed("OpenCameraCapture", "access", zarn::kNoSuchCamera);
    if (access(path, R_OK | W_OK) != 0) {
        if (errno != EACCES)
            return failed("OpenCameraCapture", "access", zarn::kNoAccess);
        PrintNoPermission(path);
        return zarn::kNoAccess;
    }

    // Close-on-exec: helpers started with system() must not keep the
    // camera busy.
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES)
            PrintNoPermission(path);
        else
            printf("Error::%s::Open %s filed\n", "OpenCameraCapture", path);
        return zarn::kOpenFailed;
    }

    v4l2_capability cap{};
    if (zarn::xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) {
        printf("Error:: %s ::VIDIOC_QUERYCAP Error\n", "OpenCameraCapture");
        close(fd);
        return zarn::kCannotCapture;
    }
    // `capabilities` describes the whole device; a camera's second node
    // (metadata) shares it but cannot capture, which only the node's own
    // capabilities tell.
    const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE)) {
        printf("Error:: %s ::not Is a video capture device\n ", "OpenCameraCapture");
        close(fd);
        return zarn::kCannotCapture;
    }
    if (!(caps & V4L2_CAP_STREAMING)) {
        printf(" Error:: %s ::streaming I/O ioctls Error\n", "OpenCameraCapture");
        close(fd);
        return zarn::kCannotCapture;
    }

    v4l2_cropcap cropcap{};
    cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (zarn::xioctl(fd, VIDIOC_CROPCAP, &cropcap) == 0) {
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cropcap.defrect;
        if (zarn::xioctl(fd, VIDIOC_S_CROP, &crop) != 0) {
            if (errno == EINVAL)
                puts("not support crop");
            puts("can't set VIDIOC_S_CROP");
        }
    }

    m_open = true;
    m_fd = fd;
    puts("success");

    printf("get camera FPS value:%d\n", GetCameraFPS());
    printf("set camera FPS value:%d\n", SetCameraFPS(m_fps));
    char format[128] = {};
    printf("get camera video format ret:%d\n", GetCameraVideoFormat(format, sizeof format));
    printf("get camera video format:%s\n", format);
    return 0;
}

char *CameraCapture::GetCameraResList()
{
    if (!m_open)
        return nullptr;

    std::vector<tag_CameraWidthAndHeight> list;
    v4l2_fmtdesc desc;
    // Every third format only: the list has always been built this way and
    // the resolution numbers the program keeps depend on it.
    for (std::uint32_t index = 0; index < kEnumLimit && enumFormat(m_fd, index, desc); index += 3)
        appendFrameSizes(m_fd, desc.pixelformat, list);

    if (list.size() >= 2) {
        // Largest width first; equal widths by larger height first, so
        // that equal sizes from different formats always end up adjacent
        // and the text is the same on every run.
        std::sort(list.begin(), list.end(), [](tag_CameraWidthAndHeight a, tag_CameraWidthAndHeight b) {
            if (GreaterSort(a, b) || GreaterSort(b, a))
                return GreaterSort(a, b);
            return a.height > b.height;
        });
        auto same = [](const tag_CameraWidthAndHeight &a, const tag_CameraWidthAndHeight &b) {
            return a.width == b.width && a.height == b.height;
        };
        list.erase(std::unique(list.begin(), list.end(), same), list.end());
    }

    m_resList = list;
    return OrganizeResSizeJSONStr(list);
}

int CameraCapture::SetCameraResolution(int n)
{
    if (!m_open)
        return zarn::kNotOpen;
    if (m_resList.empty())
        free(GetCameraResList());
    if (n < 0 || static_cast<std::size_t>(n) >= m_resList.size())
        return zarn::kNotFound;

    const tag_CameraWidthAndHeight &size = m_resList[n];
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(size.width);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(size.height);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(m_fd, VIDIOC_S_FMT, &fmt) < 0) {
        printf("Error:: %s ::VIDIOC_S_FMT Error\n", "SetCameraResolution");
        return zarn::kSetFailed;
    }
    m_width = static_cast<std::uint32_t>(size.width);
    m_height = size.height;
    return 0;
}

int CameraCapture::GetCameraResolution()
{
    if (!m_open)
        return zarn::kNotOpen;
    v4l2_format fmt;
    if (!readCapture(m_fd, VIDIOC_G_FMT, fmt))
        return failed("GetCameraResolution", "VIDIOC_G_FMT", zarn::kReadFailed);
    const auto w = static_cast<std::int32_t>(fmt.fmt.pix.width);
    const auto h = static_cast<std::int32_t>(fmt.fmt.pix.height);
    printf("w::%d,h::%d\n", w, h);
    for (std::size_t i = 0; i < m_resList.size(); ++i) {
        if (m_resList[i].width == w && m_resList[i].height == h)
            return static_cast<int>(i);
    }
    return zarn::kNotFound;
}

int CameraCapture::GetCameraVideoFormat(char *buf, int size)
{
    if (!buf || size <= 0)
        return zarn::kBadArgument;
    if (!m_open)
        return zarn::kNotOpen;
    v4l2_format fmt;
    if (!readCapture(m_fd, VIDIOC_G_FMT, fmt))
        return failed("GetCameraVideoFormat", "VIDIOC_G_FMT", zarn::kReadFailed);

    v4l2_fmtdesc desc;
    for (std::uint32_t index = 0; index < kEnumLimit && enumFormat(m_fd, index, desc); ++index) {
        if (desc.pixelformat != fmt.fmt.pix.pixelformat)
            continue;
        char code[5];
        fourccText(desc.pixelformat, code);
        // Always terminated, so a short buffer gets a cut code, never an
        // unterminated one.
        const int n = std::min(4, size - 1);
        memcpy(buf, code, n);
        buf[n] = '\0';
        printf("video pix format:%s\n", buf);
        return 0;
    }
    return zarn::kNotFound;
}

char *CameraCapture::EnumCameraVideoFormat()
{
    if (!m_open)
        return nullptr;
    std::vector<tag_CameraVideoFmt> list;
    v4l2_fmtdesc desc;
    for (std::uint32_t index = 0; index < kEnumLimit && enumFormat(m_fd, index, desc); ++index) {
        tag_CameraVideoFmt entry{};
        fourccText(desc.pixelformat, entry.fmtName);
        snprintf(entry.fmtTip, sizeof entry.fmtTip, "%.47s", reinterpret_cast<const char *>(desc.description));
        printf("video pix format :%c%c%c%c descript:%s\n", entry.fmtName[0], entry.fmtName[1], entry.fmtName[2],
               entry.fmtName[3], entry.fmtTip);
        list.push_back(entry);
    }
    return OrganizeVideoFmtJSONStr(list);
}

int CameraCapture::GetCameraFPS()
{
    if (!m_open)
        return zarn::kNotOpen;
    v4l2_streamparm parm;
    if (!readCapture(m_fd, VIDIOC_G_PARM, parm))
        return failed("GetCameraFPS", "VIDIOC_G_PARM", zarn::kCannotCapture);
    return static_cast<int>(parm.parm.capture.timeperframe.denominator);
}

int CameraCapture::SetCameraFPS(int fps)
{
    // The capture thread paces itself by 1000 / fps.
    if (fps <= 0)
        return zarn::kBadArgument;
    if (!m_open)
        return zarn::kNotOpen;
    v4l2_streamparm parm;
    if (!readCapture(m_fd, VIDIOC_G_PARM, parm))
        return failed("SetCameraFPS", "VIDIOC_G_PARM", zarn::kSetFailed);
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(fps);
    if (zarn::xioctl(m_fd, VIDIOC_S_PARM, &parm) != 0)
        return failed("SetCameraFPS", "VIDIOC_S_PARM", zarn::kSetFailed);
    m_fps = fps;
    if (m_session)
        m_session->setFps(fps);
    return 0;
}

int CameraCapture::GetCameraExposureMold()
{
    if (!m_open)
        return zarn::kNotOpen;
    std::int32_t value = 0;
    if (readControl(m_fd, V4L2_CID_EXPOSURE_AUTO, value) != 0) {
        printf("Get exposure auto Type failed");
        return zarn::kReadFailed;
    }
    printf("Get Exposure Auto Type:[%d]", value);
    return value;
}

int CameraCapture::GetCameraExposureLevel()
{
    if (!m_open)
        return zarn::kNotOpen;
    std::int32_t value = 0;
    if (readExposureValue(m_fd, V4L2_CID_EXPOSURE_ABSOLUTE, value) != 0)
        return zarn::kReadFailed;
    printf("Get Exposure Level :[%d]\n", value);
    return value;
}

int CameraCapture::GetCameraExposureGear()
{
    if (!m_open)
        return zarn::kNotOpen;
    std::int32_t value = 0;
    return readExposureValue(m_fd, V4L2_CID_EXPOSURE, value) != 0 ? zarn::kReadFailed : value;
}

int CameraCapture::SetCameraExposureLevel(int level)
{
    if (level < 0)
        return zarn::kBadArgument;
    if (!m_open)
        return zarn::kNotOpen;
    // The absolute value only takes effect in the camera's manual mode (3).
    if (GetCameraExposureMold() != 3)
        return zarn::kBadArgument;
    v4l2_control ctrl{};
    ctrl.id = V4L2_CID_EXPOSURE_ABSOLUTE;
    ctrl.value = level;
    const int r = zarn::xioctl(m_fd, VIDIOC_S_CTRL, &ctrl);
    if (r != 0) {
        printf("Set exposure LEVEL failed (%d)\n", r);
        return zarn::kSetFailed;
    }
    printf("Set Exposure Level :[%d] OK\n", level);
    return 0;
}

int CameraCapture::SetCameraExposureManual()
{
    if (!m_open)
        return zarn::kNotOpen;
    v4l2_control ctrl{};
    ctrl.id = V4L2_CID_EXPOSURE_AUTO;
    ctrl.value = 3;
    if (zarn::xioctl(m_fd, VIDIOC_S_CTRL, &ctrl) != 0)
        return failed("SetCameraExposureManual", "VIDIOC_S_CTRL", zarn::kSetFailed);
    return 0;
}

char *CameraCapture::OrganizeResSizeJSONStr(const std::vector<tag_CameraWidthAndHeight> &list)
{
    return printJsonList(list, [](cJSON *item, std::size_t i, const tag_CameraWidthAndHeight &size) {
        cJSON_AddNumberToObject(item, "res-no", static_cast<double>(i));
        cJSON_AddNumberToObject(item, "res-w", size.width);
        cJSON_AddNumberToObject(item, "res-h", size.height);
    });
}

char *CameraCapture::OrganizeVideoFmtJSONStr(const std::vector<tag_CameraVideoFmt> &list)
{
    return printJsonList(list, [](cJSON *item, std::size_t i, const tag_CameraVideoFmt &fmt) {
        cJSON_AddNumberToObject(item, "fmt-no", static_cast<double>(i));
        cJSON_AddStringToObject(item, "fmt-name", fmt.fmtName);
        cJSON_AddStringToObject(item, "fmt-tip", fmt.fmtTip);
    });
}

// ------------------------------------------------------------- streaming

int CameraCapture::StartCameraCapture(ZarnCameraFrameCallback callback)
{
    if (!m_open)
        return zarn::kNotOpen;

    if (m_session) {
        // A stop the capture thread has not taken yet is simply withdrawn:
        // the thread goes on with its buffers.
        if (m_thread.joinable() && m_session->cancelStop()) {
            if (CamCapture_Start() < 0) {
                printf("Error::%s ::VIDIOC_STREAMON Error\n", "StartCameraCapture");
                return zarn::kSetFailed;
            }
            return 0;
        }
        if (!m_thread.joinable() || m_session->state() == CaptureSession::Exiting) {
            // Leftovers of an earlier run (a start whose stream never came
            // on, or a thread on its way out): finish them, or the driver
            // refuses new buffers while the old ones are mapped.
            if (!endCaptureThread())
                return zarn::kSetFailed;
            CamCapture_Stop();
            CamCapture_Release();
        }
    }

    gCameraRecvFun = callback;
    auto session = std::make_shared<CaptureSession>(m_fd, m_width, m_height, m_fps, callback);
    if (!session->valid()) {
        printf("Error:: %s ::calloc camera buffers Error\n", "StartCameraCapture");
        return zarn::kReadFailed;
    }

    v4l2_requestbuffers req{};
    req.count = kRequestedBuffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    // While a run streams the driver refuses new buffers; a driver that
    // granted them anyway must still not disturb the running thread.
    if (xioctl(m_fd, VIDIOC_REQBUFS, &req) < 0 || req.count == 0 || m_session) {
        printf("Error:: %s ::VIDIOC_REQBUFS Error\n", "StartCameraCapture");
        return zarn::kSetFailed;
    }

    if (!session->allocateBuffers(req.count)) {
        printf("Error:: %s ::calloc camera buffers Error\n", "StartCameraCapture");
        return zarn::kReadFailed;
    }
    // A buffer that cannot be queried or mapped would leave the driver
    // filling memory nobody can read: give up the start instead.
    for (std::uint32_t i = 0; i < req.count; ++i) {
        if (!session->mapBuffer(i)) {
            session->releaseBuffers();
            return zarn::kSetFailed;
        }
    }
    for (std::uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.index = i;
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(m_fd, VIDIOC_QBUF, &buf) < 0) {
            session->releaseBuffers();
            printf("Error::%s ::VIDIOC_QBUF Error\n", "StartCameraCapture");
            return zarn::kSetFailed;
        }
    }

    // From here on the run is this object's: a failed stream-on leaves the
    // buffers mapped until the next stop, start or close.
    m_session = session;
    if (CamCapture_Start() < 0) {
        printf("Error::%s ::VIDIOC_STREAMON Error\n", "StartCameraCapture");
        return zarn::kSetFailed;
    }

    m_frameCallback = callback;
    if (!CaptureSession::startThread(session, m_thread)) {
        CamCapture_Stop();
        CamCapture_Release();
        return zarn::kSetFailed;
    }
    return 0;
}

bool CameraCapture::endCaptureThread()
{
    if (!m_session || !m_thread.joinable())
        return true;
    m_session->requestStop();
    // On the capture thread itself (a stop from inside the frame callback)
    // there is nothing to wait for: the thread takes the stop as soon as
    // the callback returns.
    if (m_thread.get_id() == std::this_thread::get_id())
        return false;
    if (!m_session->waitExit(kStopWaitMs))
        return false;
    m_thread.join();
    return true;
}

void CameraCapture::handOverRun()
{
    m_session->adoptDescriptor();
    m_thread.detach();
    m_session.reset();
    m_fd = -1;
}

int CameraCapture::StopCameraCapture()
{
    if (!m_open)
        return zarn::kNotOpen;
    const bool ended = endCaptureThread();
    puts("CameraCapture::StopCameraCapture() stop");
    if (ended) {
        CamCapture_Stop();
        CamCapture_Release();
    }
    puts("CameraCapture::StopCameraCapture() release");
    return 0;
}

int CameraCapture::CloseCameraCapture()
{
    if (!m_open)
        return zarn::kNotOpen;
    const bool ended = endCaptureThread();
    puts("CameraCapture::StopCameraCapture() stop");
    if (ended) {
        CamCapture_Stop();
        CamCapture_Release();
    } else {
        handOverRun();
    }
    CamCapture_Close();
    return 0;
}

int CameraCapture::CamCapture_Start()
{
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(m_fd, VIDIOC_STREAMON, &type) < 0) {
        printf("Error::%s ::VIDIOC_STREAMON Error\n", "CamCapture_Start");
        return zarn::kSetFailed;
    }
    return 0;
}

void CameraCapture::CamCapture_Stop()
{
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(m_fd, VIDIOC_STREAMOFF, &type) < 0)
        printf("Error::%s ::VIDIOC_STREAMOFF\n", "CamCapture_Stop");
}

void CameraCapture::CamCapture_Release()
{
    // Only called once no capture thread uses the run any more.
    if (m_session)
        m_session->releaseBuffers();
    m_session.reset();
    // Reached only once the thread was joined or never started; a thread
    // still running would own the run through its own reference.
    if (m_thread.joinable())
        m_thread.detach();
}

int CameraCapture::CamCapture_Close()
{
    int result = 0;
    if (m_fd >= 0)
        result = close(m_fd);
    m_fd = -1;
    m_open = false;
    puts("CameraCapture::CamCapture_Close() stop");
    return result;
}
