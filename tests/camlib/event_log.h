// Thread-safe record of reports arriving on the library's hot-plug thread,
// with bounded waits for the test thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

template <typename T> class EventLog
{
public:
    void Push(T item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(std::move(item));
        m_cond.notify_all();
    }

    // Waits until at least n items arrived (10 s at most); true on success.
    bool WaitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, [&] { return m_items.size() >= n; });
    }

    std::vector<T> Items()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }

    size_t Size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<T> m_items;
};
