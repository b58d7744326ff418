// Camera models of the virtual camera, described as data.
//
// A profile is one small JSON file per camera model (tools/vcam/profiles/):
// USB numbers and names that the udev side shows, the formats, frame sizes
// and frame rates that the V4L2 side enumerates, the buffer count REQBUFS
// grants and how CROPCAP/S_CROP answer.  See docs/virtual-camera.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

struct FrameSize {
    std::uint32_t width = 0, height = 0;
};

// A stepwise range instead of a discrete list (test profiles only).
struct StepwiseRange {
    std::uint32_t minWidth = 0, maxWidth = 0, stepWidth = 1;
    std::uint32_t minHeight = 0, maxHeight = 0, stepHeight = 1;
};

struct PixelFormat {
    std::uint32_t fourcc = 0;      // V4L2 pixel format, e.g. V4L2_PIX_FMT_MJPEG
    std::string description;       // ENUM_FMT description
    std::vector<FrameSize> sizes;  // discrete sizes, in enumeration order
    bool stepwise = false;         // when true `range` is used instead of `sizes`
    StepwiseRange range;
};

// How VIDIOC_CROPCAP / VIDIOC_S_CROP answer.
enum class CropMode {
    Accept, // both succeed (rectangle stored, G_CROP/G_SELECTION report it)
    Einval, // CROPCAP succeeds, S_CROP fails with EINVAL
    Enotty  // neither exists: both fail with ENOTTY
};

struct Profile {
    std::string model = "Virtual Document Camera"; // udev ID_MODEL and QUERYCAP card
    std::string vendor = "Velmora";                 // udev ID_VENDOR
    std::uint16_t vid = 0x0abc, pid = 0x0120;       // ID_VENDOR_ID / ID_MODEL_ID
    std::string serial = "VC0001";
    std::vector<PixelFormat> formats;
    std::vector<std::uint32_t> fps = {15};           // frame rates offered, first is the default
    FrameSize defaultSize = {640, 480};               // format after open (first format)
    unsigned buffers = 4;                             // count granted by every REQBUFS
    CropMode crop = CropMode::Accept;
    // Controls: exposure-auto menu value, absolute exposure, plain exposure.
    int exposureAuto = 3, exposureAbsolute = 156, exposure = 128;
    int exposureAbsoluteMin = 1, exposureAbsoluteMax = 5000;
};

// Parses a profile from its JSON text.  Returns false and sets `error` on
// malformed input; fields the text leaves out keep the defaults above.
bool parseProfile(const std::string &json, Profile &out, std::string *error = nullptr);

// Loads a profile file.  `nameOrPath` is a path, or a bare model name looked
// up as <profile dir>/<name>.json, where the profile dir is $VCAM_PROFILE_DIR
// or the folder of profiles in the source tree.
bool loadProfile(const std::string &nameOrPath, Profile &out, std::string *error = nullptr);

// The default document-camera profile ("docam-5mp").  Throws
// std::runtime_error when the data file cannot be read.
Profile defaultProfile();

// Folder the bare profile names are looked up in.
std::string profileDir();

// "MJPG" -> fourcc and back.
std::uint32_t fourccFromString(const std::string &s);
std::string fourccToString(std::uint32_t fourcc);

} // namespace vcam
