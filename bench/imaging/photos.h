// The real photographs of pages on desks with their corner labels
// (a folder holding JPEG files and labels-*.csv: file, then the corners
// top-left, top-right, bottom-right, bottom-left as x,y pixel pairs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LabelledPhoto {
    std::string file; // name in the folder
    double corner[4][2];
};

// Every labelled photo of the folder, sorted by name; empty when the
// folder or its labels are missing.
std::vector<LabelledPhoto> readLabels(const std::string &folder);

// Decoded RGB pixels (empty on failure).
std::vector<std::uint8_t> decodePhoto(const std::string &path, int &width, int &height);
