// Shared set-up of the fuzz targets.
//
// Threads: everything here runs on the fuzzer's one thread (the main
// thread), in LLVMFuzzerInitialize and then once per input.
#ifndef KOBIX_FUZZ_HARNESS_H
#define KOBIX_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// A fresh private directory for the files a target writes (on /dev/shm
// when there is one), removed with its contents when the process exits.
const std::string &scratchDir();

// Writes the bytes to `path` (created or truncated); aborts on failure, as
// an input that never reached the reader would prove nothing.
void writeFile(const std::string &path, const std::uint8_t *data, std::size_t size);

// The bytes as a zero-terminated text ending at the first zero byte, the
// way the service receives every text it parses.
std::string text(const std::uint8_t *data, std::size_t size);

}  // namespace fuzz

#endif
