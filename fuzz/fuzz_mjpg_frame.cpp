// One MJPG frame from a camera into mcvLoadFromVideoData, the way the
// camera library hands it over: the bytes the driver filled in, inside a
// buffer the size the negotiated format allows.
//
// Input: one flags byte, then the frame bytes.
//   bit 0  the negotiated size is the frame's own (as read from its
//          header), else 32x24 (a frame of another size is refused);
//   bit 1  the byte count is passed, else 0 (the frame's end is searched
//          within the whole buffer);
//   bit 2  the buffer is only as large as the frame (a frame cut short
//          by the driver), else width x height x 3 with the frame at its
//          start and zeros after it.
#include "ZarnImage.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

// Sizes are kept small so that the fuzzer's time goes into the markers and
// the entropy data rather than into drawing large pictures: frames larger
// than this are taken at the default size (and refused for not having it).
constexpr long long kMaxPixels = 256LL * 256;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mcvInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    const std::uint8_t *frame = data + 1;
    const std::size_t frameSize = size - 1;

    int width = 32, height = 24;
    if (flags & 1) {
        std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
        int w = 0, h = 0, subsamp = 0, colorspace = 0;
        if (tj && tjDecompressHeader3(tj.get(), frame, frameSize, &w, &h, &subsamp, &colorspace) == 0 && w > 0 &&
            h > 0 && static_cast<long long>(w) * h <= kMaxPixels) {
            width = w;
            height = h;
        }
    }
    const std::size_t bufferSize = static_cast<std::size_t>(width) * height * 3;
    std::vector<std::uint8_t> buffer;
    if (flags & 4)
        buffer.assign(frame, frame + std::min(frameSize, bufferSize));
    else {
        buffer.assign(bufferSize, 0);
        std::copy(frame, frame + std::min(frameSize, bufferSize), buffer.begin());
    }
    if (buffer.empty())
        return 0;
    // Without bit 1 and with a short buffer, the count given is the buffer's
    // (a caller never passes 0 for a buffer smaller than the format's).
    int length = 0;
    if ((flags & 2) || buffer.size() < bufferSize)
        length = static_cast<int>(buffer.size());

    HMCVIMAGE image = mcvLoadFromVideoData(buffer.data(), width, height, length, 200, 200);
    if (image) {
        // A decoded frame has the negotiated size and its pixels are there.
        if (image->width != width || image->height != height || image->channels != 3 || !mcvGetImageData(image))
            __builtin_trap();
        mcvReleaseImage(&image);
    }
    return 0;
}
