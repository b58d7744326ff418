// Lock-free marks of what the engine owns: virtual descriptors by number and
// the start addresses of buffer mappings.
//
// The libc wrappers ask these before anything else, from any thread and at
// any time: a sanitizer runtime maps, opens and closes files through them
// while it prints a report, possibly while another thread holds the engine
// mutex or is stopped inside instrumented code.  So the questions take no
// lock, allocate nothing and run no instrumented code (marks.cpp is built
// without sanitizers, like interpose.cpp).
//
// The engine sets a mark before it hands the descriptor or mapping to the
// program and clears it before the real close()/munmap(), so a number or an
// address the kernel hands out again is never taken for the engine's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vcam {
namespace marks {

// Descriptors at or above this number cannot be virtual (open() refuses
// to hand one out with EMFILE).
constexpr int kMaxFd = 1 << 20;
// Buffer mappings the process may hold at once.
constexpr std::size_t kMaxMappings = 1024;

bool fdMarked(int fd);
// False when fd is out of the table's range.
bool markFd(int fd);
void unmarkFd(int fd);

bool mappingMarked(const void *addr);
// False when the table is full.
bool markMapping(const void *addr);
void unmarkMapping(const void *addr);

} // namespace marks
} // namespace vcam
