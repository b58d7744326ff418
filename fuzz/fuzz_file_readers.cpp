// The picture files the file library reads when it converts a file or
// combines files into one: JPEG, PNG, BMP, TIFF and PDF, recognised by
// their content whatever the file is called.  The reader is compiled into
// this target from the library's sources (it is not exported).
#include "codecs.h"
#include "harness.h"

#include <cstdlib>

namespace {
std::string path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    path = fuzz::scratchDir() + "/picture";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::writeFile(path, data, size);
    zarnfile::Picture picture;
    if (zarnfile::readPicture(path, picture, 200, 200)) {
        // What a reader gives is a whole picture of the size it says.
        const std::size_t expected =
            static_cast<std::size_t>(picture.width) * picture.height * static_cast<std::size_t>(picture.channels);
        if (picture.width <= 0 || picture.height <= 0 || (picture.channels != 1 && picture.channels != 3) ||
            picture.pixels.size() != expected)
            abort();
    }
    return 0;
}
