// Helpers of the imaging tests: a scratch directory, and readers that look
// at written files through independent decoders (libjpeg, libpng, libtiff,
// poppler's command-line tools) rather than the project's own code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imagingtest {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }
    std::vector<std::string> entries() const; // names, "." and ".." left out

private:
    std::string m_path;
};

std::vector<std::uint8_t> readFile(const std::string &path);
void writeFile(const std::string &path, const std::vector<std::uint8_t> &bytes);

struct FileInfo {
    bool ok = false;
    int width = 0, height = 0, channels = 0;
    double dpiX = 0, dpiY = 0;
    int pages = 0;
};

FileInfo jpegInfo(const std::string &path); // libjpeg: size, components, JFIF density
FileInfo pngInfo(const std::string &path);  // libpng: size, channels, pHYs
std::vector<FileInfo> tiffPages(const std::string &path); // libtiff: every directory
// Decoded JPEG pixels (libjpeg-turbo), RGB.
std::vector<std::uint8_t> jpegPixels(const std::string &path, int &width, int &height);

// Output of a command line (stdout), and its exit status.
std::string runCommand(const std::string &command, int *status = nullptr);
bool haveProgram(const std::string &name);

// A test picture: a light page on a darker desk with text-like lines, the
// page turned by angleDeg (clockwise), as an MJPG frame in a buffer of
// width * height * 3 bytes (how the service holds frames).
struct Frame {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bytes; // padded buffer
    std::size_t jpegSize = 0;        // bytes of the frame itself
    std::vector<std::uint8_t> rgb;   // the picture before encoding
    double pageWidth = 0, pageHeight = 0;
};
Frame sceneFrame(int width, int height, double angleDeg, int desk = 0, std::uint32_t seed = 7);

} // namespace imagingtest
