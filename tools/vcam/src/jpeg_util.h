// JPEG helpers shared by the scene encoder and the frame cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam {

// Copy of a JPEG without its DHT segments, as UVC cameras send MJPG.
std::vector<std::uint8_t> stripHuffmanTables(const std::uint8_t *jpeg, std::size_t size);

} // namespace vcam
