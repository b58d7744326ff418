#include "cimageprocessserver.h"
#include "resultcodes.h"

#include "zarnimagelibrary.h"

#include "ZarnFileManager.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The file library always writes 200 dpi, whatever the picture carries.
constexpr int kFileDpi = 200;

bool readable(const char *path)
{
    return access(path, F_OK) == 0 && access(path, R_OK) == 0;
}

} // namespace

int CImageProcessServer::SetImageColorStyle(int style)
{
    if (static_cast<unsigned>(style) > 2)
        return zarn::kBadArgument;
    m_imageColorStyle = style;
    return 0;
}

int CImageProcessServer::SetImageJPGQuality(int quality)
{
    if (quality < 1 || quality > 100)
        return zarn::kBadArgument;
    m_imageJpgQuality = quality;
    return 0;
}

int CImageProcessServer::SetAutoCrop(int crop)
{
    if (crop < -1 || crop > 1)
        return zarn::kBadArgument;
    m_autoCrop = crop;
    return 0;
}

int CImageProcessServer::SetImageRotateMode(int mode)
{
    if (static_cast<unsigned>(mode) > 3)
        return zarn::kBadArgument;
    m_imageRotateMode = mode;
    return 0;
}

int CImageProcessServer::YUYV422ToRGB888(unsigned char *src, unsigned char *dst, unsigned int dstLength,
                                         unsigned int width, unsigned int height)
{
    CZarnImageLibrary image;
    return image.YUYV422ToRGB888(src, dst, dstLength, width, height);
}

int CImageProcessServer::SaveVideoData(void *data, int a, int b, int c, const char *path)
{
    if (!path)
        return zarn::kBadArgument;
    CZarnImageLibrary image;
    int loadRet = image.LoadVideoData(data, a, b, c);
    int cropRet = loadRet;
    if (m_autoCrop != -1)
        cropRet = image.SetAutoCrop(m_autoCrop);
    printf("[%s][%d]SetAutoCrop ret:%d\n", __func__, __LINE__, cropRet);
    int rotateRet = image.SetImageRotateMode(m_imageRotateMode);
    int colorRet = image.SetImageColorStyle(m_imageColorStyle);
    printf("[%s][%d]SetImageColorStyle ret:%d\n", __func__, __LINE__, colorRet);
    printf("[%s][%d]SetImageRotateMode ret:%d\n", __func__, __LINE__, rotateRet);
    void *pixels = data;
    int width = a, height = b, format = c;
    int infoRet = image.GetImageInfo(&pixels, &width, &height, &format);
    printf("[%s][%d]GetImageInfo ret:%d\n", __func__, __LINE__, infoRet);
    // Without a decoded picture the pointer still addresses the compressed
    // frame: handing it to the file library as pixels would write garbage.
    if (infoRet != 0)
        return loadRet != 0 ? loadRet : infoRet;
    ZarnFileManager manager;
    setUpFileManager(manager, __func__);
    int saveRet = manager.SaveRGB888Image(pixels, width, height, format, path);
    printf("[%s][%d]ZarnFileManager::SaveRGB888Image ret:%d\n", __func__, __LINE__, saveRet);
    return saveRet;
}

int CImageProcessServer::SaveRGB888Image(char *data, int a, int b, int c, const char *path)
{
    if (!path)
        return zarn::kBadArgument;
    CZarnImageLibrary image;
    int loadRet = image.LoadRGB888Image(data, a, b, c);
    image.SetAutoCrop(m_autoCrop);
    image.SetImageColorStyle(m_imageColorStyle);
    image.SetImageRotateMode(m_imageRotateMode);
    void *pixels = data;
    int width = a, height = b, format = c;
    if (image.GetImageInfo(&pixels, &width, &height, &format) != 0)
        return loadRet != 0 ? loadRet : zarn::kBadArgument;
    ZarnFileManager manager;
    setUpFileManager(manager, __func__);
    return manager.SaveRGB888Image(pixels, width, height, format, path);
}

int CImageProcessServer::ConvertImagetoImage(const char *src, const char *dst)
{
    if (!src || !dst || !readable(src))
        return zarn::kBadArgument;
    ZarnFileManager manager;
    setUpFileManager(manager, __func__);
    int ret = manager.ConvertImagetoImage(src, dst);
    printf("[%s][%d]zarnFileLib::ConvertImagetoImage src:%s\n", __func__, __LINE__, src);
    return ret;
}

int CImageProcessServer::AddImageFiletoMultiFile(const char *path)
{
    if (!path || !readable(path))
        return zarn::kBadArgument;
    m_multiFiles.emplace_back(path);
    return 0;
}

int CImageProcessServer::CombineMultiFile(const char *path)
{
    if (!path || m_multiFiles.empty())
        return zarn::kBadArgument;
    ZarnFileManager manager;
    for (const std::string &file : m_multiFiles)
        manager.AddImageFiletoMultiFile(file.c_str());
    setUpFileManager(manager, __func__);
    int ret = manager.CombineMultiFile(path);
    m_multiFiles.clear();
    // A combine that wrote nothing is reported, not passed off as success.
    return ret == 0 ? zarn::kOk : zarn::kBadArgument;
}

int CImageProcessServer::SetContours(void **data, int a, int b, int c, int mode)
{
    if (!data)
        return 0;
    CZarnImageLibrary image;
    image.LoadVideoData(*data, a, b, c);
    image.DrawContours(mode);
    void *pixels = nullptr;
    int width = 0, height = 0, format = 0;
    // The drawn picture dies with `image`: hand the caller its own copy.
    void *copy = nullptr;
    if (image.GetImageInfo(&pixels, &width, &height, &format) == 0 && pixels) {
        size_t bytes = static_cast<size_t>(width) * height * (format >> 4);
        copy = malloc(bytes);
        if (copy)
            memcpy(copy, pixels, bytes);
    }
    *data = copy;
    return 0;
}

void CImageProcessServer::setUpFileManager(ZarnFileManager &manager, const char *operation) const
{
    int ret = manager.ZarnFile_SetResolution(kFileDpi, kFileDpi);
    printf("[%s][%d]ZarnFileManager::ZarnFile_SetResolution ret:%d\n", operation, __LINE__, ret);
    ret = manager.ZarnFile_SetCompression(m_imageJpgQuality);
    printf("[%s][%d]zarnFileLib::ZarnFile_SetCompression ret:%d\n", operation, __LINE__, ret);
}

int CImageProcessServer::DrawLine(char *, int &, int &, int &, int)
{
    return 0;
}
