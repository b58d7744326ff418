// One-byte spin lock for the short critical sections of the device lists:
// acquiring repeats an atomic exchange of true until the old value was
// false, without yielding; releasing stores false.
#pragma once

#include <atomic>

class SpinLockGuard
{
public:
    explicit SpinLockGuard(std::atomic<bool> &flag) : m_flag(flag)
    {
        while (m_flag.exchange(true, std::memory_order_seq_cst)) {
        }
    }
    ~SpinLockGuard() { m_flag.store(false, std::memory_order_seq_cst); }
    SpinLockGuard(const SpinLockGuard &) = delete;
    SpinLockGuard &operator=(const SpinLockGuard &) = delete;

private:
    std::atomic<bool> &m_flag;
};
