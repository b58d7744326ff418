// Scene and JPEG helpers shared inside the virtual camera.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vcam/scene.h"

namespace vcam {

// Copy of a JPEG without its DHT segments, as UVC cameras send MJPG.
std::vector<std::uint8_t> stripHuffmanTables(const std::uint8_t *jpeg, std::size_t size);

// Adds Gaussian sensor noise (deviation in 8-bit levels) to packed RGB in
// place; the same seed gives the same noise.
void addSensorNoise(std::uint8_t *rgb, int width, int height, double sigma, std::uint32_t seed);

// The page corners renderScene() would return, without drawing.
void sceneCorners(const SceneParams &params, Point out[4]);

} // namespace vcam
