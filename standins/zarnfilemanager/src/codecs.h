// Readers and writers of the file formats, on libjpeg-turbo, libpng,
// libtiff and cairo's PDF surface.  BMP, a plain uncompressed layout that
// none of those libraries covers, is read and written here directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct tiff; // libtiff's TIFF

namespace zarnfile {

enum class FileType { Unknown, Jpeg, Png, Bmp, Tiff, Pdf };

// A libtiff handle whose errors and warnings are kept quiet: this library
// reports through its results and must not write to the host's stderr.
::tiff *openTiff(const std::string &path, const char *mode);

// By the path's extension, any case.
FileType fileTypeOf(const std::string &path);

// Largest picture accepted, in pixels (keeps every size computation small).
// The fuzz build sets a smaller one, so that a few bytes claiming a huge
// picture cost the fuzzer milliseconds, not seconds.
#ifndef ZARNFILE_MAX_PIXELS
#define ZARNFILE_MAX_PIXELS (1LL << 28)
#endif
constexpr long long kMaxPixels = ZARNFILE_MAX_PIXELS;

// Highest PDF object number read: a document of pictures has a few objects
// a page, so a million is some hundred thousand pages.
constexpr long long kMaxPdfObjects = 1000000;

struct Picture {
    int width = 0;
    int height = 0;
    int channels = 0;                 // 1 grey, 3 RGB
    std::vector<std::uint8_t> pixels; // rows of width * channels bytes
    std::vector<std::uint8_t> jpeg;   // the file's bytes when it was a JPEG
};

// A view of pixels held elsewhere.
struct PixelView {
    const std::uint8_t *data;
    int width, height, channels;
};

inline PixelView view(const Picture &p)
{
    return {p.pixels.data(), p.width, p.height, p.channels};
}

// Reads a JPEG, PNG, BMP, TIFF (first page) or PDF (first page, rendered
// at dpiX x dpiY) file, recognised by its content.
bool readPicture(const std::string &path, Picture &out, int dpiX, int dpiY);

struct Settings {
    int dpiX, dpiY, quality;
};

bool encodeJpeg(const PixelView &px, const Settings &s, std::vector<std::uint8_t> &out);
bool writeJpeg(FILE *f, const PixelView &px, const Settings &s);
bool writePng(FILE *f, const PixelView &px, const Settings &s);
bool writeBmp(FILE *f, const PixelView &px, const Settings &s);
// TIFF (one page per picture) at `path`, an already created file.
bool writeTiff(const std::string &path, const std::vector<PixelView> &pages, const Settings &s);

// One PDF page per picture, sized from its pixels and the resolution.
// `jpeg` may hold a picture's JPEG bytes to embed as they are.
struct PdfPage {
    PixelView px;
    const std::vector<std::uint8_t> *jpeg;
};
bool writePdf(FILE *f, const std::vector<PdfPage> &pages, const Settings &s);

} // namespace zarnfile
