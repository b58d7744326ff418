// Plugs and unplugs supported cameras on its own thread until stopped, while
// a test tears the library down.  It never runs more than one event ahead of
// the receiver: umockdev aborts when a monitor's socket buffer overflows,
// which a slow (sanitizer) build would otherwise provoke.
#pragma once

#include "cameraidlist.h"
#include "event_log.h"
#include "udev_testbed.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

class PlugCycler
{
public:
    PlugCycler(UdevTestbed &tb, EventLog<std::string> &texts, int maxCycles)
        : m_tb(tb), m_texts(texts), m_maxCycles(maxCycles), m_thread([this] { Run(); })
    {
    }
    ~PlugCycler() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    // Waits until the receiver got n texts, or the cycler is stopped.
    void Await(size_t n)
    {
        while (!m_stop && !m_texts.WaitFor(n, std::chrono::milliseconds(50))) {
        }
    }
    void Run()
    {
        for (int i = 0; !m_stop && i < m_maxCycles; ++i) {
            size_t before = m_texts.Size();
            int row = i % CAMERA_ID_ROWS;
            int slot = m_tb.Plug(cameraIDlist[row][0], cameraIDlist[row][1], "Busy", 2 * (i % 4));
            Await(before + 1);
            m_tb.Unplug(slot);
            Await(before + 2);
        }
    }

    UdevTestbed &m_tb;
    EventLog<std::string> &m_texts;
    const int m_maxCycles;
    std::atomic<bool> m_stop{false};
    std::thread m_thread; // last: starts once the fields above are set
};
