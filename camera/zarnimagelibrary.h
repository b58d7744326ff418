// CZarnImageLibrary: one image of libZarnImage and the processing steps the
// camera library applies to it (colour style, deskew and crop, rotation,
// outline drawing), plus the YUYV to RGB conversion.
//
// Objects are short-lived and local to one operation on one thread: the
// image service makes one per save, the capture thread one per delivered
// frame.  Not copyable.
#pragma once

#include "ZarnImage.h"

// Result codes of the image classes.
enum {
    ZARNIMG_OK = 0,
    ZARNIMG_ERR_ARGUMENT = -1,  // argument out of range
    ZARNIMG_ERR_NO_IMAGE = -75, // no image held, or loading produced none
    ZARNIMG_ERR_HELD = -76,     // an image is already held
};

class CZarnImageLibrary {
public:
    CZarnImageLibrary();
    ~CZarnImageLibrary();
    CZarnImageLibrary(const CZarnImageLibrary &) = delete;
    CZarnImageLibrary &operator=(const CZarnImageLibrary &) = delete;

    // Decodes one MJPG frame of width a x height b; c is the frame's byte
    // count when known, 0 otherwise.  -76 when an image is held already,
    // -75 when the frame does not decode, else 0.
    int LoadVideoData(void *data, int a, int b, int c);
    // Copies a width a x height b RGB888 buffer; c is the row stride in
    // bytes, 0 for packed rows.  Releases an image already held.  -75 when
    // nothing was loaded, else 0.
    int LoadRGB888Image(void *data, int a, int b, int c);

    // 0 colour (unchanged), 1 grey, 2 black and white.
    int SetImageColorStyle(int style);
    // 0 none, 1 deskew and cut to the page found.
    int SetAutoCrop(int mode);
    // Turn by mode x -90 degrees (counter-clockwise quarter turns) for mode
    // 1..3; other modes change nothing and return 0.
    int SetImageRotateMode(int mode);
    // 0 nothing, 1 deskew and draw the detected page outline in green.
    int DrawContours(int mode);
    int SetImageDPI(int x, int y);
    int SetImageJPGQuality(int quality);

    // Pixel address of the held image (valid until it is replaced or
    // released), its width and height, and its format value
    // (channels << 4) | 1.  -75 without an image.
    int GetImageInfo(void **data, int *width, int *height, int *format);
    void ReleaseImageResource();

    // Kept for callers of the older interface: does nothing, returns 1.
    int DrawLine(char *, int &, int &, int);

    // Packed YUYV 4:2:2 (Y0 U Y1 V) to RGB888.  -1 for null buffers, a zero
    // size or a destination shorter than width x height x 3 bytes; else 0.
    // The source must hold width x height x 2 bytes.
    static int YUYV422ToRGB888(const unsigned char *src, unsigned char *dst, unsigned int dstLength,
                               unsigned int width, unsigned int height);
    // One pixel: R in bits 0-7, G in 8-15, B in 16-23, each 0..219.
    static int convert_yuv_to_rgb_pixel(int y, int u, int v);

    // Records of what was applied last (nothing reads them back).
    int cropMode() const { return m_cropMode; }
    int colorStyle() const { return m_colorStyle; }
    int jpgQuality() const { return m_jpgQuality; }
    int dpiX() const { return m_dpiX; }
    int dpiY() const { return m_dpiY; }
    int rotateAngle() const { return m_rotateAngle; }
    bool holdsImage() const { return m_image != nullptr; }

private:
    // Takes ownership of `next` in place of the held image; a null `next`
    // keeps the held image.  Returns whether it was replaced.
    bool replaceImage(HMCVIMAGE next);
    // Deskews the held image and searches it for the page.
    bool deskewAndDetect(McvRectResult &found);

    HMCVIMAGE m_image = nullptr;
    int m_cropMode = 0;
    int m_colorStyle = 0;
    int m_jpgQuality = 95;
    int m_dpiX = 96;
    int m_dpiY = 96;
    int m_rotateAngle = 0;
};
