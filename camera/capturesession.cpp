#include "capturesession.h"
#include "resultcodes.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include "v4l2ioctl.h"
#include "zarnimagelibrary.h"

namespace {

constexpr int kFrameWaitMs = 1000;

void signalFd(int fd)
{
    const std::uint64_t one = 1;
    // An eventfd write of 1 only fails when the counter would overflow,
    // which a handful of stop requests cannot reach.
    ssize_t n = write(fd, &one, sizeof one);
    (void)n;
}

} // namespace

CaptureSession::CaptureSession(int fd, std::uint32_t width, std::int32_t height, int fps,
                               ZarnCameraFrameCallback callback)
    : m_fd(fd), m_width(width), m_height(height), m_fps(fps), m_frameCallback(callback)
{
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_exitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CaptureSession::~CaptureSession()
{
    releaseBuffers();
    if (m_ownsFd && m_fd >= 0)
        close(m_fd);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
    if (m_exitFd >= 0)
        close(m_exitFd);
}

bool CaptureSession::allocateBuffers(std::size_t count)
{
    releaseBuffers();
    m_buffers = static_cast<CaptureBuffer *>(calloc(count, sizeof(CaptureBuffer)));
    if (!m_buffers)
        return false;
    m_bufferCount = count;
    return true;
}

bool CaptureSession::mapBuffer(std::uint32_t index)
{
    v4l2_buffer buf{};
    buf.index = index;
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (zarn::xioctl(m_fd, VIDIOC_QUERYBUF, &buf) < 0) {
        printf("Error::%s ::VIDIOC_QUERYBUF Error\n", "StartCameraCapture");
        return false;
    }
    m_buffers[index].length = buf.length;
    void *start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buf.m.offset);
    if (start == MAP_FAILED) {
        printf("Error::%s ::mmap Error\n", "StartCameraCapture");
        return false;
    }
    m_buffers[index].start = start;
    return true;
}

void CaptureSession::releaseBuffers()
{
    if (!m_buffers)
        return;
    for (std::size_t i = 0; i < m_bufferCount; ++i) {
        if (m_buffers[i].start)
            munmap(m_buffers[i].start, m_buffers[i].length);
    }
    free(m_buffers);
    m_buffers = nullptr;
    m_bufferCount = 0;
    // Give the driver's buffers back too: while they exist the driver
    // refuses a new format, so a stopped camera could not change its
    // resolution before being closed.
    v4l2_requestbuffers none{};
    none.count = 0;
    none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    none.memory = V4L2_MEMORY_MMAP;
    zarn::xioctl(m_fd, VIDIOC_REQBUFS, &none);
}

bool CaptureSession::startThread(const std::shared_ptr<CaptureSession> &session, std::thread &thread)
{
    // The thread gets its own reference, so the run outlives a CameraCapture
    // that lets go of it (or is destroyed) while the thread still runs.
    try {
        thread = std::thread(&CaptureSession::doing_Capture, session);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void CaptureSession::requestStop()
{
    int expected = Streaming;
    m_state.compare_exchange_strong(expected, StopRequested);
    // The state is stored before the wake-up is written: a thread that
    // drains the wake-up always finds the request afterwards.
    signalFd(m_wakeFd);
}

bool CaptureSession::cancelStop()
{
    int expected = StopRequested;
    return m_state.compare_exchange_strong(expected, Streaming);
}

bool CaptureSession::waitExit(int timeoutMs) const
{
    pollfd p{m_exitFd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs);
        if (r > 0)
            return true;
        if (r == 0 || errno != EINTR)
            return false;
    }
}

void CaptureSession::doing_Capture(std::shared_ptr<CaptureSession> self)
{
    pthread_setname_np(pthread_self(), "kobix-capture");
    self->captureLoop();
}

bool CaptureSession::takeStop()
{
    int expected = StopRequested;
    return m_state.compare_exchange_strong(expected, Exiting);
}

void CaptureSession::drainWake()
{
    std::uint64_t value;
    ssize_t n = read(m_wakeFd, &value, sizeof value);
    (void)n;
}

bool CaptureSession::waitWake(int timeoutMs)
{
    pollfd p{m_wakeFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0) {
        drainWake();
        return true;
    }
    return false;
}

void CaptureSession::captureLoop()
{
    m_running = true;
    // Pacing: at most about m_fps passes a second while the driver keeps
    // filling the other buffers.  The pause counts from the start of the
    // previous pass, so the time spent handling a frame is part of it:
    // with a fixed pause on top of the handling the thread would fall
    // behind the camera, the queue would stay full and every frame would
    // reach the receiver several frame periods old.  A stop cuts the
    // pause short.
    using Clock = std::chrono::steady_clock;
    Clock::time_point passStart = Clock::now() - std::chrono::hours(1);
    while (!takeStop()) {
        const int fps = m_fps.load();
        const int period = fps > 0 ? 1000 / fps : 0;
        if (period > 0) {
            const auto due = passStart + std::chrono::milliseconds(period);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
            if (left > 0)
                waitWake(static_cast<int>(left));
        }
        passStart = Clock::now();
        if (takeStop())
            break;
        if (m_deviceLost) {
            // The device is gone: its descriptor would report an error at
            // once on every wait, so sit on the wake-up alone until the
            // owner stops or closes.
            waitWake(-1);
            continue;
        }
        CamCapture_Frame();
    }

    // Exit path: whoever asked for the stop may no longer be waiting (it
    // called from inside the callback or gave up after its bound), so the
    // thread switches the stream off and unmaps the buffers itself.
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    zarn::xioctl(m_fd, VIDIOC_STREAMOFF, &type);
    releaseBuffers();
    m_running = false;
    puts("CameraCapture::doing_Capture exit ");
    signalFd(m_exitFd);
}

int CaptureSession::CamCapture_Frame()
{
    pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    const int r = poll(p, 2, kFrameWaitMs);
    if (r < 0) {
        printf("info::%s ::Select Error\n", "CamCapture_Frame");
        return zarn::kWaitFailed;
    }
    if (r == 0) {
        printf("info::%s ::Select Timeout\n", "CamCapture_Frame");
        return zarn::kWaitFailed;
    }
    if (p[1].revents) {
        // Woken by a stop (or a cancelled one): the loop decides.
        drainWake();
        return 0;
    }
    const bool hangup = (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    const int result = CamCapture_CallBack();
    if (result < 0 && hangup)
        m_deviceLost = true;
    return result;
}

int CaptureSession::CamCapture_CallBack()
{
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (zarn::xioctl(m_fd, VIDIOC_DQBUF, &buf) < 0) {
        m_deviceLost = errno == ENODEV;
        printf("Error::%s ::VIDIOC_DQBUF\n", "CamCapture_CallBack");
        return zarn::kSetFailed;
    }
    deliver(buf);
    if (zarn::xioctl(m_fd, VIDIOC_QBUF, &buf) < 0) {
        m_deviceLost = errno == ENODEV;
        printf("Error::%s ::VIDIOC_QBUF\n", "CamCapture_CallBack");
        return zarn::kSetFailed;
    }
    return 0;
}

void CaptureSession::deliver(const v4l2_buffer &buf)
{
    if (!m_frameCallback)
        return;
    // A buffer the driver flagged as damaged, one it reports beyond the
    // table or its mapping, never reaches the receiver.
    if (buf.flags & V4L2_BUF_FLAG_ERROR)
        return;
    if (buf.index >= m_bufferCount || !m_buffers[buf.index].start)
        return;
    const CaptureBuffer &mapped = m_buffers[buf.index];
    if (buf.bytesused > mapped.length)
        return;

    CZarnImageLibrary image;
    // Frames this small are broken transfers, not pictures.
    const std::uint32_t minimum = (m_height <= 50 ? 1u : 20u) * m_width;
    if (buf.bytesused >= minimum)
        m_frameCallback(mapped.start, static_cast<int>(buf.bytesused), static_cast<int>(m_width), m_height);
}
