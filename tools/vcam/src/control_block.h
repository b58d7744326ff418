// Per-camera switches shared by whoever drives the camera (a test in the same
// process, or the harness in another process through a mapped file) and the
// engine that serves the V4L2 calls.  Plain 32-bit atomics in a fixed layout,
// so the same struct works on the heap and in a MAP_SHARED file.
#pragma once

#include <atomic>
#include <cstdint>

namespace vcam {

constexpr std::uint32_t kControlMagic = 0x4d414356; // "VCAM"
constexpr std::uint32_t kForever = 0xffffffffu;

struct ControlBlock {
    std::atomic<std::uint32_t> magic{kControlMagic};
    std::atomic<std::uint32_t> present{1};      // 0: unplugged
    std::atomic<std::uint32_t> stall{0};        // 1: no frames
    std::atomic<std::uint32_t> corrupt{0};      // frames left to corrupt (kForever: all)
    std::atomic<std::uint32_t> shortCount{0};   // frames left to cut short
    std::atomic<std::uint32_t> shortBytes{0};   // bytesused of a short frame
    std::atomic<std::uint32_t> errorCount{0};   // frames left to flag V4L2_BUF_FLAG_ERROR
    std::atomic<std::uint32_t> failCount{0};    // ioctls left to fail with failErrno
    std::atomic<std::uint32_t> failErrno{0};
    std::atomic<std::uint32_t> sfmtErrno{0};    // S_FMT fails with this errno when not 0
    std::atomic<std::uint32_t> generation{0};   // bumped by every change from outside
    // Scene: milli-degrees and millionths, so the block stays integer-only.
    std::atomic<std::int32_t> angleMilliDeg{3000};
    std::atomic<std::int32_t> centerXMicro{500000};
    std::atomic<std::int32_t> centerYMicro{500000};
    std::atomic<std::int32_t> scaleMicro{750000};
    std::atomic<std::uint32_t> frames{0};       // frames delivered (any node of the camera)
    std::atomic<std::uint32_t> missed{0};       // frames due while the program had no buffer queued

    // When the latest frames were delivered and taken, for whoever measures
    // what a program does with them (CLOCK_MONOTONIC nanoseconds).  Frame n
    // (the value of `frames` before it was counted) lives in entry
    // n % kStampRing while that entry's `frame` reads n + 1; 0 while it is
    // rewritten.  Appended after the switches: older fields keep their place.
    struct FrameStamp {
        std::atomic<std::uint32_t> frame{0};
        std::atomic<std::uint64_t> deliveredNs{0}; // buffer finished (its V4L2 timestamp)
        std::atomic<std::uint64_t> dequeuedNs{0};  // the program took it (DQBUF); 0 until then
    };
    static constexpr std::uint32_t kStampRing = 64;
    FrameStamp stamps[kStampRing];

    // Frames left to report with more bytes used than their buffer holds,
    // as a broken driver might (after the stamps: older fields keep their place).
    std::atomic<std::uint32_t> overlongCount{0};

    void stampDelivered(std::uint32_t n, std::uint64_t ns) {
        FrameStamp &s = stamps[n % kStampRing];
        s.frame.store(0);
        s.deliveredNs.store(ns);
        s.dequeuedNs.store(0);
        s.frame.store(n + 1);
    }
    void stampDequeued(std::uint32_t n, std::uint64_t ns) {
        FrameStamp &s = stamps[n % kStampRing];
        if (s.frame.load() == n + 1)
            s.dequeuedNs.store(ns);
    }
    // Times of frame n; false once its entry was reused (or while rewritten).
    bool stamp(std::uint32_t n, std::uint64_t &deliveredNs, std::uint64_t &dequeuedNs) const {
        const FrameStamp &s = stamps[n % kStampRing];
        if (s.frame.load() != n + 1)
            return false;
        deliveredNs = s.deliveredNs.load();
        dequeuedNs = s.dequeuedNs.load();
        return s.frame.load() == n + 1;
    }

    // Takes one unit of a countdown; true when the fault applies to this frame.
    static bool take(std::atomic<std::uint32_t> &counter) {
        std::uint32_t v = counter.load();
        while (v != 0) {
            if (v == kForever)
                return true;
            if (counter.compare_exchange_weak(v, v - 1))
                return true;
        }
        return false;
    }
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "shared control needs lock-free atomics");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "shared control needs lock-free atomics");

} // namespace vcam
