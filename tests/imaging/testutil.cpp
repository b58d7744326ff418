#include "testutil.h"

#include "vcam/scene.h"

#include <dirent.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace imagingtest {

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/zarn-imaging-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    m_path = name;
}

ScratchDir::~ScratchDir()
{
    for (const std::string &e : entries())
        unlink(file(e).c_str());
    rmdir(m_path.c_str());
}

std::vector<std::string> ScratchDir::entries() const
{
    std::vector<std::string> names;
    if (DIR *d = opendir(m_path.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

std::vector<std::uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

namespace {

struct JpegErr {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

} // namespace

FileInfo jpegInfo(const std::string &path)
{
    FileInfo info;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return info;
    jpeg_decompress_struct cinfo;
    JpegErr err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegErr *>(c->err)->jump, 1); };
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        std::fclose(f);
        return FileInfo{};
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    info.ok = true;
    info.width = static_cast<int>(cinfo.image_width);
    info.height = static_cast<int>(cinfo.image_height);
    info.channels = cinfo.num_components;
    if (cinfo.saw_JFIF_marker && cinfo.density_unit == 1) {
        info.dpiX = cinfo.X_density;
        info.dpiY = cinfo.Y_density;
    }
    info.pages = 1;
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return info;
}

std::vector<std::uint8_t> jpegPixels(const std::string &path, int &width, int &height)
{
    std::vector<std::uint8_t> bytes = readFile(path);
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
    int subsamp = 0, colorspace = 0;
    if (bytes.empty() ||
        tjDecompressHeader3(tj.get(), bytes.data(), bytes.size(), &width, &height, &subsamp, &colorspace) != 0)
        return {};
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    if (tjDecompress2(tj.get(), bytes.data(), bytes.size(), rgb.data(), width, 0, height, TJPF_RGB, 0) != 0)
        return {};
    return rgb;
}

FileInfo pngInfo(const std::string &path)
{
    FileInfo info;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return info;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop pi = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &pi, nullptr);
        std::fclose(f);
        return FileInfo{};
    }
    png_init_io(png, f);
    png_read_info(png, pi);
    info.width = static_cast<int>(png_get_image_width(png, pi));
    info.height = static_cast<int>(png_get_image_height(png, pi));
    info.channels = png_get_channels(png, pi);
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, pi, &x, &y, &unit) && unit == PNG_RESOLUTION_METER) {
        info.dpiX = x * 0.0254;
        info.dpiY = y * 0.0254;
    }
    // Decode every row so a damaged stream is noticed.
    std::vector<png_byte> row(png_get_rowbytes(png, pi));
    for (int r = 0; r < info.height; ++r)
        png_read_row(png, row.data(), nullptr);
    png_read_end(png, nullptr);
    info.ok = true;
    info.pages = 1;
    png_destroy_read_struct(&png, &pi, nullptr);
    std::fclose(f);
    return info;
}

std::vector<FileInfo> tiffPages(const std::string &path)
{
    std::vector<FileInfo> pages;
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return pages;
    do {
        FileInfo info;
        std::uint32_t w = 0, h = 0;
        std::uint16_t spp = 0, unit = 0;
        float x = 0, y = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) &&
            unit == RESUNIT_INCH) {
            info.dpiX = x;
            info.dpiY = y;
        }
        info.width = static_cast<int>(w);
        info.height = static_cast<int>(h);
        info.channels = spp;
        // Decoding the page proves its data is intact.
        std::vector<std::uint32_t> raster(static_cast<std::size_t>(w) * h);
        info.ok = TIFFReadRGBAImage(tif, w, h, raster.data(), 0) == 1;
        pages.push_back(info);
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

std::string runCommand(const std::string &command, int *status)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    if (status)
        *status = rc;
    return out;
}

bool haveProgram(const std::string &name)
{
    int status = 0;
    runCommand("command -v " + name + " >/dev/null 2>&1", &status);
    return status == 0;
}

Frame sceneFrame(int width, int height, double angleDeg, int desk, std::uint32_t seed)
{
    vcam::SceneParams p;
    p.width = width;
    p.height = height;
    p.angleDeg = angleDeg;
    p.deskTexture = desk;
    p.seed = seed;
    vcam::Scene scene = vcam::renderScene(p);
    Frame f;
    f.width = width;
    f.height = height;
    f.bytes = vcam::encodeMjpeg(scene.rgb.data(), width, height);
    f.jpegSize = f.bytes.size();
    f.bytes.resize(std::max(f.bytes.size(), static_cast<std::size_t>(width) * height * 3), 0);
    f.rgb = std::move(scene.rgb);
    f.pageHeight = std::hypot(scene.corners[3].x - scene.corners[0].x, scene.corners[3].y - scene.corners[0].y);
    f.pageWidth = std::hypot(scene.corners[1].x - scene.corners[0].x, scene.corners[1].y - scene.corners[0].y);
    return f;
}

} // namespace imagingtest
