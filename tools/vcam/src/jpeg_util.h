// Scene and JPEG helpers shared inside the virtual camera.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vcam/scene.h"

namespace vcam {

// Copy of a JPEG without its DHT segments, as UVC cameras send MJPG.
std::vector<std::uint8_t> stripHuffmanTables(const std::uint8_t *jpeg, std::size_t size);

// The page corners renderScene() would return, without drawing.
void sceneCorners(const SceneParams &params, Point out[4]);

} // namespace vcam
