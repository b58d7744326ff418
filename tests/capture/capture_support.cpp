#include "capture_support.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace capture_test {

namespace {
FrameSink *g_sink = nullptr;
}

FrameSink::FrameSink() { g_sink = this; }

FrameSink::~FrameSink() { g_sink = nullptr; }

int FrameSink::callback(void *data, int size, int width, int height)
{
    FrameSink *sink = g_sink;
    if (!sink)
        return 0;
    Frame f;
    f.data = data;
    f.size = size;
    f.width = width;
    f.height = height;
    f.thread = pthread_self();
    f.tid = syscall(SYS_gettid);
    // Reading the first and last bytes also lets the sanitizers see any use
    // of a buffer that is no longer mapped.
    const auto *bytes = static_cast<const unsigned char *>(data);
    f.isJpeg = size >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[size - 2] == 0xFF && bytes[size - 1] == 0xD9;
    {
        std::lock_guard<std::mutex> lock(sink->m_mutex);
        sink->m_frames.push_back(f);
    }
    sink->m_cv.notify_all();
    if (sink->onFrame)
        sink->onFrame(f);
    {
        std::lock_guard<std::mutex> lock(sink->m_mutex);
        ++sink->m_returned;
    }
    sink->m_cv.notify_all();
    return 0;
}

bool FrameSink::waitFrames(std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_returned >= n; });
}

bool FrameSink::waitEntered(std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_frames.size() >= n; });
}

std::size_t FrameSink::count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames.size();
}

std::vector<Frame> FrameSink::frames()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    m_file = memfd_create("capture-stdout", MFD_CLOEXEC);
    m_saved = dup(1);
    if (m_file < 0 || m_saved < 0)
        throw std::runtime_error("cannot redirect standard output");
    dup2(m_file, 1);
}

StdoutCapture::~StdoutCapture()
{
    // Hand what was captured on to the real output, test failures included.
    const std::string captured = text();
    dup2(m_saved, 1);
    if (!captured.empty()) {
        ssize_t n = write(1, captured.data(), captured.size());
        (void)n;
    }
    close(m_saved);
    close(m_file);
}

std::string StdoutCapture::text()
{
    fflush(stdout);
    std::string out;
    char chunk[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t n = pread(m_file, chunk, sizeof chunk, offset);
        if (n <= 0)
            break;
        out.append(chunk, static_cast<std::size_t>(n));
        offset += n;
    }
    return out;
}

std::size_t StdoutCapture::count(const std::string &needle)
{
    const std::string all = text();
    std::size_t n = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + needle.size()))
        ++n;
    return n;
}

bool StdoutCapture::waitFor(const std::string &needle, std::size_t n, std::chrono::milliseconds timeout)
{
    // The printed lines carry no event to wait on; look again every few
    // milliseconds until the deadline.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count(needle) < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

double threadCpuMs(pthread_t thread)
{
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return -1;
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

} // namespace capture_test
