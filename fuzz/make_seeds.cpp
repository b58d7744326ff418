// Writes the picture seeds of the file reader and MJPG frame targets with
// the file library's own writers: small pictures in every format it reads,
// and MJPG frames with and without Huffman tables, cut short and followed
// by other bytes.
// Usage: fuzz_make_seeds <corpus directory>   (fuzz/corpus)
#include "ZarnFileManager.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> picture(int width, int height, int channels)
{
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                px[(static_cast<std::size_t>(y) * width + x) * channels + c] =
                    static_cast<std::uint8_t>((x * 16 + y * 8 + c * 80) ^ ((x / 4 + y / 4) % 2 ? 0xFF : 0));
    return px;
}

std::vector<std::uint8_t> readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeAll(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The JPEG without its DHT segments, as USB video cameras send MJPG.
std::vector<std::uint8_t> withoutHuffmanTables(const std::vector<std::uint8_t> &jpeg)
{
    std::vector<std::uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    std::size_t i = 2;
    while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF) {
        const std::uint8_t marker = jpeg[i + 1];
        const std::size_t len = (static_cast<std::size_t>(jpeg[i + 2]) << 8) | jpeg[i + 3];
        if (marker == 0xDA)
            break;
        if (marker != 0xC4)
            out.insert(out.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + len);
        i += 2 + len;
    }
    out.insert(out.end(), jpeg.begin() + i, jpeg.end());
    return out;
}

std::vector<std::uint8_t> flagged(std::uint8_t flags, const std::vector<std::uint8_t> &frame)
{
    std::vector<std::uint8_t> out{flags};
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string files = std::string(argv[1]) + "/fuzz_file_readers/";
    const std::string pdfs = std::string(argv[1]) + "/fuzz_pdf_reader/";
    const std::string frames = std::string(argv[1]) + "/fuzz_mjpg_frame/";
    const std::vector<std::uint8_t> rgb = picture(24, 16, 3);
    const std::vector<std::uint8_t> grey = picture(24, 16, 1);
    int failures = 0;

    ZarnFileManager fm;
    fm.ZarnFile_SetResolution(72, 72);  // PDF pages come back at 24x16
    fm.ZarnFile_SetCompression(50);
    for (const char *ext : {"jpg", "png", "bmp", "tif", "pdf"}) {
        const std::string &dir = std::strcmp(ext, "pdf") == 0 ? pdfs : files;
        failures += fm.SaveRGB888Image(rgb.data(), 24, 16, 0x31, (dir + "rgb." + ext).c_str()) != 0;
        failures += fm.SaveRGB888Image(grey.data(), 24, 16, 0x11, (dir + "grey." + ext).c_str()) != 0;
    }
    // Two pages: the reader takes the first.
    for (const char *ext : {"tif", "pdf"}) {
        const std::string &dir = std::strcmp(ext, "pdf") == 0 ? pdfs : files;
        failures += fm.AddImageFiletoMultiFile((files + "rgb.png").c_str()) != 0;
        failures += fm.AddImageFiletoMultiFile((files + "grey.png").c_str()) != 0;
        failures += fm.CombineMultiFile((dir + "two-pages." + ext).c_str()) != 0;
    }

    const std::vector<std::uint8_t> jpeg = readAll(files + "rgb.jpg");
    const std::vector<std::uint8_t> bare = withoutHuffmanTables(jpeg);
    std::vector<std::uint8_t> trailing = bare;
    trailing.insert(trailing.end(), 64, 0xA5);
    const std::vector<std::uint8_t> cut(bare.begin(), bare.begin() + bare.size() * 2 / 3);
    failures += jpeg.empty() || bare.size() >= jpeg.size();
    failures += !writeAll(frames + "tables-own-size", flagged(1, jpeg));
    failures += !writeAll(frames + "no-tables-own-size", flagged(1, bare));
    failures += !writeAll(frames + "no-tables-counted", flagged(3, bare));
    failures += !writeAll(frames + "no-tables-short-buffer", flagged(5, bare));
    failures += !writeAll(frames + "no-tables-trailing-bytes", flagged(1, trailing));
    failures += !writeAll(frames + "no-tables-cut-short", flagged(7, cut));
    failures += !writeAll(frames + "other-size", flagged(0, bare));
    if (failures)
        fprintf(stderr, "%d seeds were not written\n", failures);
    return failures ? 1 : 0;
}
