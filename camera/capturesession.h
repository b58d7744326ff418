// One streaming run of a CameraCapture: its mapped buffers, its frame
// callback, the values the capture thread reads, and the capture thread's
// loop itself.
//
// Ownership: shared (std::shared_ptr) between the CameraCapture that started
// the run and its capture thread.  Normally the CameraCapture stops, joins
// and drops it.  When a stop cannot wait for the thread (it is called from
// inside the frame callback, or a callback does not return in time) the
// CameraCapture lets go of the run and the thread's own exit path releases
// what is left: it switches the stream off, unmaps the buffers and, when the
// device was closed meanwhile, closes the descriptor.  Nothing the thread
// touches is ever freed under it, and the thread never touches the
// CameraCapture object.
//
// Threads: set-up (constructor to startThread) runs on the caller's thread
// before the capture thread exists; afterwards the two sides meet only
// through the atomic state, the wake-up and exit descriptors and the
// shared_ptr's reference count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "ZarnKobixManager.h"

// One mapped driver buffer.  `start` is null while the buffer is not mapped.
struct CaptureBuffer {
    void *start;
    std::uint64_t length;
};

class CaptureSession {
public:
    enum State : int {
        Streaming = 0,     // capturing; a start may not request buffers again
        StopRequested = 1, // a stop is pending; a start may still cancel it
        Exiting = 2,       // the thread has taken the stop and is leaving
    };

    // fd is borrowed from the CameraCapture; width, height and fps are the
    // values the frames are reported with and paced by.
    CaptureSession(int fd, std::uint32_t width, std::int32_t height, int fps, ZarnCameraFrameCallback callback);
    ~CaptureSession();
    CaptureSession(const CaptureSession &) = delete;
    CaptureSession &operator=(const CaptureSession &) = delete;

    // False when the wake-up or exit descriptor could not be created.
    bool valid() const { return m_wakeFd >= 0 && m_exitFd >= 0; }

    // ---- set-up, caller's thread, before startThread ----
    // Buffer table of `count` zeroed entries; false when allocation fails.
    bool allocateBuffers(std::size_t count);
    std::size_t bufferCount() const { return m_bufferCount; }
    // Query buffer i and map it.  Prints the failing step and returns false.
    bool mapBuffer(std::uint32_t index);
    // Unmap every mapped buffer, free the table and hand the driver's
    // buffers back (idempotent).
    void releaseBuffers();

    // Starts the capture thread ("kobix-capture", joinable) on this run;
    // false when no thread could be started.
    static bool startThread(const std::shared_ptr<CaptureSession> &session, std::thread &thread);

    // ---- stop handshake, any thread ----
    State state() const { return static_cast<State>(m_state.load()); }
    bool running() const { return m_running.load(); }
    // Streaming -> StopRequested, then wakes the thread out of any wait.
    void requestStop();
    // StopRequested -> Streaming; false when the thread already took the stop.
    bool cancelStop();
    // Waits up to timeoutMs (-1: no bound) for the thread to finish its
    // exit path; true once it has (it touches nothing of the run after).
    bool waitExit(int timeoutMs) const;
    // The CameraCapture closed the device while the thread still runs: the
    // run closes the descriptor when the last owner lets go of it.
    void adoptDescriptor() { m_ownsFd = true; }
    void setFps(int fps) { m_fps.store(fps); }

private:
    static void doing_Capture(std::shared_ptr<CaptureSession> self);
    void captureLoop();
    bool takeStop();
    bool waitWake(int timeoutMs);
    void drainWake();
    int CamCapture_Frame();
    int CamCapture_CallBack();
    void deliver(const struct v4l2_buffer &buf);

    const int m_fd;
    const std::uint32_t m_width;
    const std::int32_t m_height;
    std::atomic<int> m_fps;
    const ZarnCameraFrameCallback m_frameCallback;

    CaptureBuffer *m_buffers = nullptr;
    std::size_t m_bufferCount = 0;

    std::atomic<int> m_state{Streaming};
    std::atomic<bool> m_running{false};
    bool m_deviceLost = false; // capture thread only
    bool m_ownsFd = false;     // read only by the destructor
    int m_wakeFd = -1;         // written by stop, drained by the thread
    int m_exitFd = -1;         // written once by the thread on its way out
};
