// CImageProcessServer: the image settings of the camera library (colour
// style, JPEG quality, automatic crop, rotation) and the operations that
// apply them when a frame or RGB buffer is saved as an image file, plus file
// conversion and the multi-page file list.
//
// One instance (the library's `imageServer`), called from the caller's
// thread only; no lock.  Each operation uses its own CZarnImageLibrary and
// ZarnFileManager.
#pragma once

#include <string>
#include <vector>

class ZarnFileManager;

class CImageProcessServer {
public:
    CImageProcessServer() = default;

    // Setters validate and store; the values apply to later saves.
    int SetImageColorStyle(int style);   // 0..2, else -1
    int SetImageJPGQuality(int quality); // 1..100, else -1
    int SetAutoCrop(int crop);           // -1 (leave alone), 0, 1, else -1
    int SetImageRotateMode(int mode);    // 0..3, else -1

    int YUYV422ToRGB888(unsigned char *src, unsigned char *dst, unsigned int dstLength, unsigned int width,
                        unsigned int height);

    // Saves one MJPG frame (width a, height b, byte count c or 0) with the
    // current settings; the format follows the path's extension.  -1 for a
    // null path, -75 when the frame does not decode (nothing is written),
    // otherwise the file library's result (0 on success).
    int SaveVideoData(void *data, int a, int b, int c, const char *path);
    // The same for an RGB888 buffer (width a, height b, row stride c or 0).
    int SaveRGB888Image(char *data, int a, int b, int c, const char *path);
    // -1 for null paths or an unreadable source, else the file library's result.
    int ConvertImagetoImage(const char *src, const char *dst);
    // Queues a readable file for CombineMultiFile: 0, or -1.
    int AddImageFiletoMultiFile(const char *path);
    // Writes the queued files as one multi-page .pdf or .tif and empties the
    // queue: 0, or -1 for a null path or an empty queue.
    int CombineMultiFile(const char *path);

    // Decodes the frame (width a, height b, byte count c or 0), deskews it
    // and, with mode 1, draws the detected page outline.  On return *data
    // is a malloc'ed copy of the resulting RGB888 pixels (a x b x 3 bytes;
    // the deskewed picture keeps the frame's size) that the caller releases
    // with free(); *data is set to null when the frame did not decode.
    // Always returns 0.
    int SetContours(void **data, int a, int b, int c, int mode);
    // Kept for callers of the older interface: does nothing, returns 0.
    int DrawLine(char *, int &, int &, int &, int);

    int autoCrop() const { return m_autoCrop; }
    int imageColorStyle() const { return m_imageColorStyle; }
    int imageJpgQuality() const { return m_imageJpgQuality; }
    int imageRotateMode() const { return m_imageRotateMode; }
    const std::vector<std::string> &multiFiles() const { return m_multiFiles; }

private:
    // Resolution and compression of a fresh file manager, with trace lines
    // naming `operation`.
    void setUpFileManager(ZarnFileManager &manager, const char *operation) const;

    int m_autoCrop = -1;
    int m_imageColorStyle = 0;
    int m_imageJpgQuality = 95;
    int m_imageRotateMode = 0;
    std::vector<std::string> m_multiFiles;
};
