// Real-time frame source: ticks every streaming node at its frame rate on a
// thread of its own.  Stops (and joins) in the destructor.
#pragma once

#include "engine.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vcam {

class FrameClock {
public:
    using NodeList = std::function<std::vector<std::shared_ptr<Node>>()>;
    // `onPass` (optional) runs on the clock thread before every pass.
    explicit FrameClock(NodeList nodes, std::function<void()> onPass = nullptr);
    ~FrameClock();
    FrameClock(const FrameClock &) = delete;
    FrameClock &operator=(const FrameClock &) = delete;

private:
    void run();
    NodeList nodes_;
    std::function<void()> onPass_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace vcam
