#include "ZarnFileManager.h"

#include "atomicfile.h"
#include "codecs.h"

#include <new>

using namespace zarnfile;

namespace {

// Writes the pages to `path` in the format of its extension, through a
// temporary file renamed into place.  Single-page formats take one page.
int writePages(const std::string &path, const std::vector<const Picture *> &pages, const Settings &s)
{
    FileType type = fileTypeOf(path);
    if (type == FileType::Unknown)
        return ZARNFILE_ERR_FORMAT;
    if (pages.empty())
        return ZARNFILE_ERR_EMPTY;
    if (pages.size() > 1 && type != FileType::Pdf && type != FileType::Tiff)
        return ZARNFILE_ERR_FORMAT;
    AtomicFile out(path);
    if (!out.open())
        return ZARNFILE_ERR_WRITE;
    bool ok = false;
    switch (type) {
    case FileType::Jpeg: ok = writeJpeg(out.file(), view(*pages[0]), s); break;
    case FileType::Png: ok = writePng(out.file(), view(*pages[0]), s); break;
    case FileType::Bmp: ok = writeBmp(out.file(), view(*pages[0]), s); break;
    case FileType::Tiff: {
        std::vector<PixelView> views;
        for (const Picture *p : pages)
            views.push_back(view(*p));
        ok = writeTiff(out.temporaryPath(), views, s);
        break;
    }
    case FileType::Pdf: {
        std::vector<PdfPage> pdfPages;
        for (const Picture *p : pages)
            pdfPages.push_back({view(*p), &p->jpeg});
        ok = writePdf(out.file(), pdfPages, s);
        break;
    }
    case FileType::Unknown: break;
    }
    if (!ok)
        return ZARNFILE_ERR_ENCODE;
    return out.commit() ? ZARNFILE_OK : ZARNFILE_ERR_WRITE;
}

// Library errors must not escape through the C++ interface as exceptions.
template <typename F>
int guarded(F &&f) noexcept
{
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return ZARNFILE_ERR_ENCODE;
    } catch (...) {
        return ZARNFILE_ERR_WRITE;
    }
}

} // namespace

ZarnFileManager::ZarnFileManager() = default;
ZarnFileManager::~ZarnFileManager() = default;

int ZarnFileManager::ZarnFile_SetResolution(int dpiX, int dpiY)
{
    if (dpiX < 1 || dpiX > 10000 || dpiY < 1 || dpiY > 10000)
        return ZARNFILE_ERR_ARGUMENT;
    m_dpiX = dpiX;
    m_dpiY = dpiY;
    return ZARNFILE_OK;
}

int ZarnFileManager::ZarnFile_SetCompression(int quality)
{
    if (quality < 1 || quality > 100)
        return ZARNFILE_ERR_ARGUMENT;
    m_quality = quality;
    return ZARNFILE_OK;
}

int ZarnFileManager::SaveRGB888Image(const void *data, int width, int height, int format, const char *path)
{
    if (!data || !path || width <= 0 || height <= 0 || static_cast<long long>(width) * height > kMaxPixels)
        return ZARNFILE_ERR_ARGUMENT;
    int channels = format == 0 ? 3 : format >> 4;
    if ((format != 0 && (format & 0xF) != 1) || (channels != 1 && channels != 3))
        return ZARNFILE_ERR_ARGUMENT;
    return guarded([&] {
        Picture picture;
        picture.width = width;
        picture.height = height;
        picture.channels = channels;
        const auto *bytes = static_cast<const std::uint8_t *>(data);
        picture.pixels.assign(bytes, bytes + static_cast<std::size_t>(width) * height * channels);
        return writePages(path, {&picture}, Settings{m_dpiX, m_dpiY, m_quality});
    });
}

int ZarnFileManager::ConvertImagetoImage(const char *srcPath, const char *dstPath)
{
    if (!srcPath || !dstPath)
        return ZARNFILE_ERR_ARGUMENT;
    return guarded([&] {
        if (fileTypeOf(dstPath) == FileType::Unknown)
            return static_cast<int>(ZARNFILE_ERR_FORMAT);
        Picture picture;
        if (!readPicture(srcPath, picture, m_dpiX, m_dpiY))
            return static_cast<int>(ZARNFILE_ERR_READ);
        // Only a PDF can take the JPEG bytes as they are; other targets
        // are re-encoded with this manager's settings.
        if (fileTypeOf(dstPath) != FileType::Pdf)
            picture.jpeg.clear();
        return writePages(dstPath, {&picture}, Settings{m_dpiX, m_dpiY, m_quality});
    });
}

int ZarnFileManager::AddImageFiletoMultiFile(const char *path)
{
    if (!path)
        return ZARNFILE_ERR_ARGUMENT;
    m_queue.emplace_back(path);
    return ZARNFILE_OK;
}

int ZarnFileManager::CombineMultiFile(const char *path)
{
    std::vector<std::string> queue;
    queue.swap(m_queue);
    if (!path)
        return ZARNFILE_ERR_ARGUMENT;
    if (queue.empty())
        return ZARNFILE_ERR_EMPTY;
    return guarded([&] {
        FileType type = fileTypeOf(path);
        if (type != FileType::Pdf && type != FileType::Tiff)
            return static_cast<int>(ZARNFILE_ERR_FORMAT);
        std::vector<Picture> pictures(queue.size());
        std::vector<const Picture *> pages;
        for (std::size_t i = 0; i < queue.size(); ++i) {
            if (!readPicture(queue[i], pictures[i], m_dpiX, m_dpiY))
                return static_cast<int>(ZARNFILE_ERR_READ);
            if (type != FileType::Pdf)
                pictures[i].jpeg.clear();
            pages.push_back(&pictures[i]);
        }
        return writePages(path, pages, Settings{m_dpiX, m_dpiY, m_quality});
    });
}
