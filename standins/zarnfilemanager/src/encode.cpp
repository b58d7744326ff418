// Writing pixels as JPEG, PNG, BMP, TIFF and PDF.
#include "codecs.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <csetjmp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zarnfile {

namespace {

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void jpegFail(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegError *>(cinfo->err)->jump, 1);
}

void jpegQuiet(j_common_ptr, int) {}

long pixelsPerMetre(int dpi)
{
    return std::lround(dpi / 0.0254);
}

bool writeAll(FILE *f, const void *data, std::size_t size)
{
    return std::fwrite(data, 1, size, f) == size;
}

} // namespace

bool encodeJpeg(const PixelView &px, const Settings &s, std::vector<std::uint8_t> &out)
{
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegFail;
    err.mgr.emit_message = jpegQuiet;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(px.width);
    cinfo.image_height = static_cast<JDIMENSION>(px.height);
    cinfo.input_components = px.channels;
    cinfo.in_color_space = px.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, s.quality, TRUE);
    cinfo.write_JFIF_header = TRUE;
    cinfo.density_unit = 1; // dots per inch
    cinfo.X_density = static_cast<UINT16>(s.dpiX);
    cinfo.Y_density = static_cast<UINT16>(s.dpiY);
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t stride = static_cast<std::size_t>(px.width) * px.channels;
    while (cinfo.next_scanline < cinfo.image_height) {
        auto *row = const_cast<JSAMPROW>(px.data + stride * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    out.assign(buffer, buffer + size);
    std::free(buffer);
    return true;
}

bool writeJpeg(FILE *f, const PixelView &px, const Settings &s)
{
    std::vector<std::uint8_t> bytes;
    return encodeJpeg(px, s, bytes) && writeAll(f, bytes.data(), bytes.size());
}

bool writePng(FILE *f, const PixelView &px, const Settings &s)
{
    // Errors come back through the result, not as messages on stderr.
    png_structp png = png_create_write_struct(
        PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
        [](png_structp, png_const_charp) {});
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    // Photographs of paper gain little from the slow levels.
    png_set_compression_level(png, 3);
    png_set_IHDR(png, info, static_cast<png_uint_32>(px.width), static_cast<png_uint_32>(px.height), 8,
                 px.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(png, info, static_cast<png_uint_32>(pixelsPerMetre(s.dpiX)),
                 static_cast<png_uint_32>(pixelsPerMetre(s.dpiY)), PNG_RESOLUTION_METER);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(px.width) * px.channels;
    for (int y = 0; y < px.height; ++y)
        png_write_row(png, px.data + stride * y);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return !std::ferror(f);
}

bool writeBmp(FILE *f, const PixelView &px, const Settings &s)
{
    // 24-bit colour, or 8-bit with a grey palette.
    const int bpp = px.channels == 1 ? 8 : 24;
    const std::size_t rowBytes = ((static_cast<std::size_t>(px.width) * bpp + 31) / 32) * 4;
    const std::uint32_t paletteBytes = bpp == 8 ? 256 * 4 : 0;
    const std::uint32_t offset = 14 + 40 + paletteBytes;
    const unsigned long long fileSize = offset + static_cast<unsigned long long>(rowBytes) * px.height;
    if (fileSize > 0xFFFFFFFFull)
        return false;
    std::uint8_t header[54] = {'B', 'M'};
    auto put32 = [&](int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put32(2, static_cast<std::uint32_t>(fileSize));
    put32(10, offset);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(px.width));
    put32(22, static_cast<std::uint32_t>(px.height)); // bottom-up rows
    header[26] = 1;                                   // planes
    header[28] = static_cast<std::uint8_t>(bpp);
    put32(34, static_cast<std::uint32_t>(rowBytes * px.height));
    put32(38, static_cast<std::uint32_t>(pixelsPerMetre(s.dpiX)));
    put32(42, static_cast<std::uint32_t>(pixelsPerMetre(s.dpiY)));
    put32(46, bpp == 8 ? 256 : 0);
    if (!writeAll(f, header, sizeof header))
        return false;
    if (bpp == 8) {
        std::uint8_t palette[256 * 4];
        for (int i = 0; i < 256; ++i) {
            palette[i * 4] = palette[i * 4 + 1] = palette[i * 4 + 2] = static_cast<std::uint8_t>(i);
            palette[i * 4 + 3] = 0;
        }
        if (!writeAll(f, palette, sizeof palette))
            return false;
    }
    std::vector<std::uint8_t> row(rowBytes, 0);
    const std::size_t stride = static_cast<std::size_t>(px.width) * px.channels;
    for (int y = px.height - 1; y >= 0; --y) {
        const std::uint8_t *src = px.data + stride * y;
        if (bpp == 8) {
            std::memcpy(row.data(), src, stride);
        } else {
            for (int x = 0; x < px.width; ++x) {
                row[x * 3] = src[x * 3 + 2];
                row[x * 3 + 1] = src[x * 3 + 1];
                row[x * 3 + 2] = src[x * 3];
            }
        }
        if (!writeAll(f, row.data(), row.size()))
            return false;
    }
    return true;
}

bool writeTiff(const std::string &path, const std::vector<PixelView> &pages, const Settings &s)
{
    std::unique_ptr<TIFF, void (*)(TIFF *)> tif(openTiff(path, "w"), TIFFClose);
    if (!tif)
        return false;
    const auto total = static_cast<std::uint16_t>(pages.size());
    for (std::uint16_t page = 0; page < total; ++page) {
        const PixelView &px = pages[page];
        TIFF *t = tif.get();
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(px.width));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(px.height));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, px.channels);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, px.channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(s.dpiX));
        TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(s.dpiY));
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        if (total > 1) {
            TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(t, TIFFTAG_PAGENUMBER, page, total);
        }
        const std::size_t stride = static_cast<std::size_t>(px.width) * px.channels;
        for (int y = 0; y < px.height; ++y)
            if (TIFFWriteScanline(t, const_cast<std::uint8_t *>(px.data + stride * y), static_cast<std::uint32_t>(y), 0) < 0)
                return false;
        if (!TIFFWriteDirectory(t))
            return false;
    }
    // TIFFClose writes what is still buffered; a failing flush is a failure.
    if (!TIFFFlush(tif.get()))
        return false;
    return true;
}

namespace {

cairo_status_t writeToFile(void *closure, const unsigned char *data, unsigned int length)
{
    return writeAll(static_cast<FILE *>(closure), data, length) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

// A picture as a cairo image surface (cairo keeps 32 bits per pixel).
cairo_surface_t *surfaceOf(const PixelView &px)
{
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, px.width, px.height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS)
        return surface;
    cairo_surface_flush(surface);
    unsigned char *base = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < px.height; ++y) {
        auto *dst = reinterpret_cast<std::uint32_t *>(base + static_cast<std::size_t>(stride) * y);
        const std::uint8_t *src = px.data + static_cast<std::size_t>(px.width) * px.channels * y;
        for (int x = 0; x < px.width; ++x) {
            std::uint32_t r, g, b;
            if (px.channels == 1)
                r = g = b = src[x];
            else
                r = src[x * 3], g = src[x * 3 + 1], b = src[x * 3 + 2];
            dst[x] = (r << 16) | (g << 8) | b;
        }
    }
    cairo_surface_mark_dirty(surface);
    return surface;
}

bool bilevel(const PixelView &px)
{
    if (px.channels != 1)
        return false;
    const std::size_t n = static_cast<std::size_t>(px.width) * px.height;
    for (std::size_t i = 0; i < n; ++i)
        if (px.data[i] != 0 && px.data[i] != 255)
            return false;
    return true;
}

} // namespace

bool writePdf(FILE *f, const std::vector<PdfPage> &pages, const Settings &s)
{
    if (pages.empty())
        return false;
    auto pageWidth = [&](const PdfPage &p) { return p.px.width * 72.0 / s.dpiX; };
    auto pageHeight = [&](const PdfPage &p) { return p.px.height * 72.0 / s.dpiY; };
    std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t *)> pdf(
        cairo_pdf_surface_create_for_stream(writeToFile, f, pageWidth(pages[0]), pageHeight(pages[0])),
        cairo_surface_destroy);
    if (cairo_surface_status(pdf.get()) != CAIRO_STATUS_SUCCESS)
        return false;
    cairo_pdf_surface_set_metadata(pdf.get(), CAIRO_PDF_METADATA_CREATOR, "ZarnFileManager");
    for (const PdfPage &page : pages) {
        cairo_pdf_surface_set_size(pdf.get(), pageWidth(page), pageHeight(page));
        std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t *)> image(surfaceOf(page.px),
                                                                            cairo_surface_destroy);
        if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS)
            return false;
        // Photographs go in as JPEG (the file's own bytes when it was one);
        // two-level pictures stay lossless.
        std::vector<std::uint8_t> *encoded = nullptr;
        if (page.jpeg && !page.jpeg->empty()) {
            encoded = new std::vector<std::uint8_t>(*page.jpeg);
        } else if (!bilevel(page.px)) {
            encoded = new std::vector<std::uint8_t>();
            if (!encodeJpeg(page.px, s, *encoded)) {
                delete encoded;
                return false;
            }
        }
        if (encoded &&
            cairo_surface_set_mime_data(image.get(), CAIRO_MIME_TYPE_JPEG, encoded->data(), encoded->size(),
                                        [](void *p) { delete static_cast<std::vector<std::uint8_t> *>(p); },
                                        encoded) != CAIRO_STATUS_SUCCESS) {
            delete encoded;
            return false;
        }
        cairo_t *cr = cairo_create(pdf.get());
        cairo_scale(cr, 72.0 / s.dpiX, 72.0 / s.dpiY);
        cairo_set_source_surface(cr, image.get(), 0, 0);
        cairo_paint(cr);
        cairo_show_page(cr);
        cairo_status_t status = cairo_status(cr);
        cairo_destroy(cr);
        if (status != CAIRO_STATUS_SUCCESS)
            return false;
    }
    cairo_surface_finish(pdf.get());
    return cairo_surface_status(pdf.get()) == CAIRO_STATUS_SUCCESS;
}

} // namespace zarnfile
