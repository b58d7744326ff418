#include "clock.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <map>

namespace vcam {

FrameClock::FrameClock(NodeList nodes, std::function<void()> onPass)
    : nodes_(std::move(nodes)), onPass_(std::move(onPass)) {
    thread_ = std::thread([this] {
        // Named, so whoever measures the program can tell the camera's share.
        pthread_setname_np(pthread_self(), "vcam-frames");
        run();
    });
}

FrameClock::~FrameClock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void FrameClock::run() {
    using Clock = std::chrono::steady_clock;
    // Streams that start are noticed within this period.
    const auto idle = std::chrono::milliseconds(20);
    std::map<Node *, Clock::time_point> due;
    Engine &engine = Engine::instance();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        if (onPass_)
            onPass_();
        const auto now = Clock::now();
        auto wake = now + idle;
        std::map<Node *, Clock::time_point> still;
        for (const auto &node : nodes_()) {
            const std::uint32_t fps = engine.streamingFps(node);
            if (!fps)
                continue;
            const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / fps;
            auto it = due.find(node.get());
            Clock::time_point next = it == due.end() ? now + period : it->second;
            if (now >= next) {
                engine.tick(node);
                next += period;
                if (next < now) // fell behind (machine busy): do not burst
                    next = now + period;
            }
            still[node.get()] = next;
            wake = std::min(wake, next);
        }
        due.swap(still);
        lock.lock();
        cv_.wait_until(lock, wake, [this] { return stop_; });
    }
}

} // namespace vcam
