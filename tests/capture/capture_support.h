// Helpers of the capture tests: a frame receiver the plain-function frame
// callback can reach, and a redirect of standard output into a file so the
// printed lines of the capture code can be read back while it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

namespace capture_test {

struct Frame {
    const void *data = nullptr;
    int size = 0, width = 0, height = 0;
    pthread_t thread{};
    long tid = 0; // kernel thread id (never reused while a test runs)
    bool isJpeg = false; // starts with SOI and ends with EOI
};

// Receives frames through FrameSink::callback.  One sink is installed at a
// time; `onFrame` runs inside the callback (after the frame is recorded)
// and may stop, close or destroy the camera.
class FrameSink {
public:
    FrameSink();
    ~FrameSink();

    static int callback(void *data, int size, int width, int height);

    // Waits until at least n callbacks have returned; false on timeout.
    bool waitFrames(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until at least n callbacks have begun (the last may still run).
    bool waitEntered(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::size_t count();
    std::vector<Frame> frames();

    std::function<void(const Frame &)> onFrame;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Frame> m_frames;
    std::size_t m_returned = 0;
};

// Redirects file descriptor 1 into a temporary file for its lifetime, then
// passes what was captured on to the real output.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();
    std::size_t count(const std::string &needle);
    // Waits until `needle` was printed at least n times; false on timeout.
    bool waitFor(const std::string &needle, std::size_t n = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    int m_saved = -1;
    int m_file = -1;
};

// CPU time a thread has used so far, in milliseconds.
double threadCpuMs(pthread_t thread);

} // namespace capture_test
