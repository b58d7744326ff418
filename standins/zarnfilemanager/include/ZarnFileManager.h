// libZarnFileManager: writes pictures as image files (JPEG, PNG, BMP, TIFF,
// PDF), converts files between those formats and combines several files
// into one multi-page PDF or TIFF.
//
// A manager is a short-lived value object: create it, set the resolution
// and compression, run one operation, destroy it.  Not for use by two
// threads at once; separate managers are independent.
//
// Every file is written beside its destination and renamed into place once
// complete, so a failed save never leaves a partial file and a file already
// at the destination survives the failure.
#ifndef ZARN_FILE_MANAGER_H
#define ZARN_FILE_MANAGER_H

#include <string>
#include <vector>

#if defined(__GNUC__)
#define ZARNFILE_API __attribute__((visibility("default")))
#else
#define ZARNFILE_API
#endif

// Result codes: 0 success, otherwise one of these.
enum ZarnFileResult {
    ZARNFILE_OK = 0,
    ZARNFILE_ERR_ARGUMENT = -1,    // null or out-of-range argument
    ZARNFILE_ERR_FORMAT = -2,      // file name extension not supported
    ZARNFILE_ERR_READ = -3,        // source missing, unreadable or not a picture
    ZARNFILE_ERR_ENCODE = -4,      // the picture could not be encoded
    ZARNFILE_ERR_WRITE = -5,       // the destination could not be written
    ZARNFILE_ERR_EMPTY = -6,       // nothing queued to combine
};

class ZARNFILE_API ZarnFileManager {
public:
    ZarnFileManager();
    ~ZarnFileManager();
    ZarnFileManager(const ZarnFileManager &) = delete;
    ZarnFileManager &operator=(const ZarnFileManager &) = delete;

    // Resolution written into the files, dots per inch, 1..10000 each
    // (default 200 x 200).  PDF pages are sized from pixels and resolution.
    int ZarnFile_SetResolution(int dpiX, int dpiY);
    // JPEG quality 1..100 (default 95), also used for pictures embedded in
    // PDF pages.
    int ZarnFile_SetCompression(int quality);

    // Writes width x height pixels to `path`, the format chosen by the
    // extension (.jpg/.jpeg, .png, .bmp, .tif/.tiff, .pdf; any case).
    // `format` describes the pixels: (channels << 4) | 1 with 1 channel
    // (grey) or 3 channels (R, G, B bytes), rows tightly packed; 0 is taken
    // as RGB.
    int SaveRGB888Image(const void *data, int width, int height, int format, const char *path);

    // Reads a JPEG, PNG, BMP, TIFF (first page) or PDF (first page, drawn
    // at the set resolution) file and writes it to `dstPath` in the format
    // of that name's extension.  A JPEG written to a PDF is embedded as it
    // is, without decoding.
    int ConvertImagetoImage(const char *srcPath, const char *dstPath);

    // Queues a picture file (any format ConvertImagetoImage reads) for
    // CombineMultiFile; it is read when combining.
    int AddImageFiletoMultiFile(const char *path);
    // Writes the queued files as the pages of one .pdf or .tif/.tiff file,
    // in the order queued, then empties the queue (also on failure).
    int CombineMultiFile(const char *path);

private:
    int m_dpiX = 200;
    int m_dpiY = 200;
    int m_quality = 95;
    std::vector<std::string> m_queue;
};

#endif // ZARN_FILE_MANAGER_H
