#include "marks.h"

#include <atomic>

namespace vcam {
namespace marks {
namespace {

constexpr int kBits = 64;
// Zero-initialised static storage: usable before any constructor ran.
std::atomic<std::uint64_t> g_fdBits[kMaxFd / kBits];
std::atomic<std::uintptr_t> g_mappings[kMaxMappings];
std::atomic<unsigned> g_mappingCount{0};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "fd marks must not lock");
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free, "mapping marks must not lock");

std::uint64_t bit(int fd) { return std::uint64_t(1) << (fd % kBits); }

} // namespace

bool fdMarked(int fd) {
    if (fd < 0 || fd >= kMaxFd)
        return false;
    return (g_fdBits[fd / kBits].load(std::memory_order_acquire) & bit(fd)) != 0;
}

bool markFd(int fd) {
    if (fd < 0 || fd >= kMaxFd)
        return false;
    g_fdBits[fd / kBits].fetch_or(bit(fd), std::memory_order_acq_rel);
    return true;
}

void unmarkFd(int fd) {
    if (fd >= 0 && fd < kMaxFd)
        g_fdBits[fd / kBits].fetch_and(~bit(fd), std::memory_order_acq_rel);
}

bool mappingMarked(const void *addr) {
    const auto a = reinterpret_cast<std::uintptr_t>(addr);
    if (a == 0 || g_mappingCount.load(std::memory_order_acquire) == 0)
        return false;
    for (const auto &slot : g_mappings)
        if (slot.load(std::memory_order_acquire) == a)
            return true;
    return false;
}

bool markMapping(const void *addr) {
    const auto a = reinterpret_cast<std::uintptr_t>(addr);
    g_mappingCount.fetch_add(1, std::memory_order_acq_rel); // before the slot shows
    for (auto &slot : g_mappings) {
        std::uintptr_t empty = 0;
        if (slot.compare_exchange_strong(empty, a, std::memory_order_acq_rel))
            return true;
    }
    g_mappingCount.fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

void unmarkMapping(const void *addr) {
    const auto a = reinterpret_cast<std::uintptr_t>(addr);
    for (auto &slot : g_mappings) {
        std::uintptr_t expected = a;
        if (slot.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
            g_mappingCount.fetch_sub(1, std::memory_order_acq_rel);
            return;
        }
    }
}

} // namespace marks
} // namespace vcam
