// Reading picture files into 8-bit grey or RGB pixels.
#include "codecs.h"

#include <cairo.h>
#include <png.h>
#include <poppler.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace zarnfile {

namespace {

bool sizeOk(long long width, long long height)
{
    // Divided, not multiplied: a page size read from a file can be anything.
    return width > 0 && height > 0 && width <= kMaxPixels / height;
}

bool readAll(const std::string &path, std::vector<std::uint8_t> &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool readJpeg(std::vector<std::uint8_t> bytes, Picture &out)
{
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    if (!tj)
        return false;
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), bytes.data(), bytes.size(), &width, &height, &subsamp, &colorspace) != 0)
        return false;
    if (!sizeOk(width, height) || colorspace == TJCS_CMYK || colorspace == TJCS_YCCK)
        return false;
    int channels = colorspace == TJCS_GRAY ? 1 : 3;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * channels);
    if (tjDecompress2(tj.get(), bytes.data(), bytes.size(), pixels.data(), width, 0, height,
                      channels == 1 ? TJPF_GRAY : TJPF_RGB, 0) != 0 &&
        tjGetErrorCode(tj.get()) == TJERR_FATAL)
        return false;
    out.width = width;
    out.height = height;
    out.channels = channels;
    out.pixels = std::move(pixels);
    out.jpeg = std::move(bytes);
    return true;
}

bool readPng(const std::vector<std::uint8_t> &bytes, Picture &out)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return false;
    if (!sizeOk(image.width, image.height)) {
        png_image_free(&image);
        return false;
    }
    int channels = (image.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    image.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    // Transparent areas are composited onto the buffer's contents: white.
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image), 0xFF);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.channels = channels;
    out.pixels = std::move(pixels);
    return true;
}

std::uint32_t le32(const std::uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t le16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Uncompressed BMP with 8 (palette), 24 or 32 bits per pixel.
bool readBmp(const std::vector<std::uint8_t> &b, Picture &out)
{
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M')
        return false;
    std::uint32_t dataOffset = le32(&b[10]);
    std::uint32_t headerSize = le32(&b[14]);
    if (headerSize < 40 || 14ull + headerSize > b.size())
        return false;
    auto width = static_cast<std::int32_t>(le32(&b[18]));
    auto rawHeight = static_cast<std::int32_t>(le32(&b[22]));
    int bpp = le16(&b[28]);
    std::uint32_t compression = le32(&b[30]);
    std::uint32_t colours = le32(&b[46]);
    bool topDown = rawHeight < 0;
    long long height = topDown ? -static_cast<long long>(rawHeight) : rawHeight;
    if (!sizeOk(width, height) || le16(&b[26]) != 1)
        return false;
    if (!(compression == 0 || (compression == 3 && bpp == 32)) || (bpp != 8 && bpp != 24 && bpp != 32))
        return false;
    std::size_t rowBytes = ((static_cast<std::size_t>(width) * bpp + 31) / 32) * 4;
    if (dataOffset > b.size() || rowBytes * height > b.size() - dataOffset)
        return false;
    std::vector<std::uint8_t> palette; // B, G, R, reserved per entry
    if (bpp == 8) {
        if (colours == 0 || colours > 256)
            colours = 256;
        std::size_t at = 14 + headerSize;
        if (at + colours * 4ull > dataOffset)
            return false;
        palette.assign(b.begin() + at, b.begin() + at + colours * 4);
        palette.resize(256 * 4, 0);
    }
    bool grey = bpp == 8;
    for (std::size_t i = 0; grey && i < palette.size() / 4; ++i)
        grey = palette[i * 4] == palette[i * 4 + 1] && palette[i * 4] == palette[i * 4 + 2];
    int channels = grey ? 1 : 3;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * channels);
    for (long long y = 0; y < height; ++y) {
        const std::uint8_t *row = &b[dataOffset + rowBytes * (topDown ? y : height - 1 - y)];
        std::uint8_t *dst = &pixels[static_cast<std::size_t>(y) * width * channels];
        for (int x = 0; x < width; ++x) {
            if (bpp == 8) {
                const std::uint8_t *entry = &palette[row[x] * 4];
                if (grey) {
                    dst[x] = entry[0];
                } else {
                    dst[x * 3] = entry[2];
                    dst[x * 3 + 1] = entry[1];
                    dst[x * 3 + 2] = entry[0];
                }
            } else {
                const std::uint8_t *px = row + x * (bpp / 8);
                dst[x * 3] = px[2];
                dst[x * 3 + 1] = px[1];
                dst[x * 3 + 2] = px[0];
            }
        }
    }
    out.width = width;
    out.height = static_cast<int>(height);
    out.channels = channels;
    out.pixels = std::move(pixels);
    return true;
}

bool readTiff(const std::string &path, Picture &out)
{
    std::unique_ptr<TIFF, void (*)(TIFF *)> tif(openTiff(path, "r"), TIFFClose);
    if (!tif)
        return false;
    std::uint32_t width = 0, height = 0;
    std::uint16_t photometric = PHOTOMETRIC_RGB;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    if (!sizeOk(width, height))
        return false;
    // libtiff sizes its row buffers by the samples per pixel the file
    // claims: a few hundred bytes claiming thousands of samples would take
    // gigabytes.  Pictures have at most CMYK and one extra sample, of at
    // most 16 bits each.
    std::uint16_t samples = 1, bits = 1;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    if (samples < 1 || samples > 5 || bits < 1 || bits > 16)
        return false;
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(width) * height);
    if (!TIFFReadRGBAImageOriented(tif.get(), width, height, raster.data(), ORIENTATION_TOPLEFT, 0))
        return false;
    int channels = (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) ? 1 : 3;
    std::vector<std::uint8_t> pixels(raster.size() * channels);
    for (std::size_t i = 0; i < raster.size(); ++i) {
        std::uint32_t abgr = raster[i];
        if (channels == 1) {
            pixels[i] = static_cast<std::uint8_t>(TIFFGetR(abgr));
        } else {
            pixels[i * 3] = static_cast<std::uint8_t>(TIFFGetR(abgr));
            pixels[i * 3 + 1] = static_cast<std::uint8_t>(TIFFGetG(abgr));
            pixels[i * 3 + 2] = static_cast<std::uint8_t>(TIFFGetB(abgr));
        }
    }
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.channels = channels;
    out.pixels = std::move(pixels);
    return true;
}

// The highest object number written as "<number> <generation> obj" in the
// file's text (0 when there is none).
long long highestObjectNumber(const std::vector<std::uint8_t> &bytes)
{
    auto digit = [](std::uint8_t c) { return c >= '0' && c <= '9'; };
    auto space = [](std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0; };
    long long highest = 0;
    const std::size_t n = bytes.size();
    for (std::size_t at = 0; at + 3 <= n; ++at) {
        if (bytes[at] != 'o' || bytes[at + 1] != 'b' || bytes[at + 2] != 'j')
            continue;
        std::size_t i = at;
        auto skip = [&](auto pred) {
            std::size_t count = 0;
            while (i > 0 && pred(bytes[i - 1]))
                --i, ++count;
            return count;
        };
        if (!skip(space) || !skip(digit) || !skip(space))
            continue;
        const std::size_t end = i;
        const std::size_t digits = skip(digit);
        if (!digits)
            continue;
        if (digits > 12)
            return kMaxPdfObjects + 1;
        long long number = 0;
        for (std::size_t k = i; k < end; ++k)
            number = number * 10 + (bytes[k] - '0');
        highest = std::max(highest, number);
    }
    return highest;
}

// First page of a PDF drawn by poppler onto a white page at the given
// resolution (a page written by this library comes back at its own size).
bool readPdf(const std::vector<std::uint8_t> &bytes, Picture &out, int dpiX, int dpiY)
{
    // When a file's cross-reference table is damaged, poppler rebuilds it
    // with a row for every number up to the highest object number it finds:
    // a 60-byte file naming object 26666666 costs 12 s and 1 GB.  Numbers
    // beyond what any picture document uses are refused before poppler.
    if (highestObjectNumber(bytes) > kMaxPdfObjects)
        return false;
    GBytes *data = g_bytes_new(bytes.data(), bytes.size());
    GError *error = nullptr;
    PopplerDocument *doc = poppler_document_new_from_bytes(data, nullptr, &error);
    g_bytes_unref(data);
    if (!doc) {
        g_clear_error(&error);
        return false;
    }
    std::unique_ptr<PopplerDocument, void (*)(gpointer)> docOwner(doc, g_object_unref);
    if (poppler_document_get_n_pages(doc) < 1)
        return false;
    std::unique_ptr<PopplerPage, void (*)(gpointer)> page(poppler_document_get_page(doc, 0), g_object_unref);
    if (!page)
        return false;
    double pw = 0, ph = 0;
    poppler_page_get_size(page.get(), &pw, &ph);
    const double sx = dpiX / 72.0, sy = dpiY / 72.0;
    // A media box may say 5e18 points, or nothing that is a number: only
    // sizes cairo can draw are rounded.
    const double w = pw * sx, h = ph * sy;
    if (!(w >= 0.5 && w < 32767.5 && h >= 0.5 && h < 32767.5))
        return false;
    const long long width = std::llround(w), height = std::llround(h);
    if (!sizeOk(width, height))
        return false;
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t *)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height)),
        cairo_surface_destroy);
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return false;
    cairo_t *cr = cairo_create(surface.get());
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_scale(cr, sx, sy);
    poppler_page_render_for_printing(page.get(), cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status != CAIRO_STATUS_SUCCESS)
        return false;
    cairo_surface_flush(surface.get());
    const unsigned char *base = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3);
    for (long long y = 0; y < height; ++y) {
        const auto *row = reinterpret_cast<const std::uint32_t *>(base + stride * y);
        for (long long x = 0; x < width; ++x) {
            std::uint8_t *p = &pixels[(y * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(row[x] >> 16);
            p[1] = static_cast<std::uint8_t>(row[x] >> 8);
            p[2] = static_cast<std::uint8_t>(row[x]);
        }
    }
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.channels = 3;
    out.pixels = std::move(pixels);
    return true;
}

} // namespace

::tiff *openTiff(const std::string &path, const char *mode)
{
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (!options)
        return nullptr;
    auto quiet = [](TIFF *, void *, const char *, const char *, va_list) { return 1; };
    TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
    TIFF *tif = TIFFOpenExt(path.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

FileType fileTypeOf(const std::string &path)
{
    std::string::size_type dot = path.rfind('.');
    std::string::size_type slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return FileType::Unknown;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == "jpg" || ext == "jpeg")
        return FileType::Jpeg;
    if (ext == "png")
        return FileType::Png;
    if (ext == "bmp")
        return FileType::Bmp;
    if (ext == "tif" || ext == "tiff")
        return FileType::Tiff;
    if (ext == "pdf")
        return FileType::Pdf;
    return FileType::Unknown;
}

bool readPicture(const std::string &path, Picture &out, int dpiX, int dpiY)
{
    std::vector<std::uint8_t> bytes;
    if (!readAll(path, bytes) || bytes.size() < 8)
        return false;
    const std::uint8_t *m = bytes.data();
    if (m[0] == 0xFF && m[1] == 0xD8)
        return readJpeg(std::move(bytes), out);
    if (png_sig_cmp(m, 0, 8) == 0)
        return readPng(bytes, out);
    if (m[0] == 'B' && m[1] == 'M')
        return readBmp(bytes, out);
    if ((m[0] == 'I' && m[1] == 'I' && (m[2] == 42 || m[2] == 43)) ||
        (m[0] == 'M' && m[1] == 'M' && (m[3] == 42 || m[3] == 43)))
        return readTiff(path, out);
    if (std::memcmp(m, "%PDF-", 5) == 0)
        return readPdf(bytes, out, dpiX, dpiY);
    return false;
}

} // namespace zarnfile
