/*
 * libZarnImage: image algorithms for overhead document cameras.
 *
 * C interface.  Every function that returns an image handle returns a NEW
 * image that the caller owns and releases with mcvReleaseImage(); a null
 * result means the operation failed and the argument image is unchanged.
 * No function keeps a reference to an argument image.
 *
 * Threads: no shared mutable state apart from the one-time set-up done by
 * mcvInit(), which is safe to call from several threads at once.  One image
 * must not be used by two threads at the same time.
 */
#ifndef ZARN_IMAGE_H
#define ZARN_IMAGE_H

#include <stdint.h>

#if defined(__GNUC__)
#define MCV_API __attribute__((visibility("default")))
#else
#define MCV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The record an image handle points to.  The first three fields are part of
 * the interface: width and height in pixels and the number of 8-bit
 * channels (1: grey or black and white, 3: colour in R, G, B byte order).
 * Pixel rows are tightly packed (width * channels bytes, no padding); the
 * pixels are reached through mcvGetImageData().
 */
typedef struct McvImage {
    int32_t width;
    int32_t height;
    int32_t channels;
    int32_t dpiX;  /* resolution in dots per inch, as given when loaded */
    int32_t dpiY;
    void *priv;    /* owned by the library */
} McvImage;

typedef McvImage *HMCVIMAGE;

/* A corner of a detected quadrilateral, in pixels of the searched image. */
typedef struct McvPoint {
    int32_t x;
    int32_t y;
} McvPoint;

/*
 * One detected rectangle (36 bytes): the corners top-left, top-right,
 * bottom-right, bottom-left, then a confidence from 0 to 1000.
 */
typedef struct McvRect {
    McvPoint corner[4];
    int32_t confidence;
} McvRect;

#define MCV_MAX_RECTS 100

/* Result of mcvDetectRect1 (3,604 bytes). */
typedef struct McvRectResult {
    McvRect rect[MCV_MAX_RECTS];
    int32_t count; /* valid entries of rect, 0 to MCV_MAX_RECTS */
} McvRectResult;

#ifdef __cplusplus
static_assert(sizeof(McvRect) == 36, "rectangle record is nine 32-bit values");
static_assert(sizeof(McvRectResult) == 3604, "rectangle search result is 3,604 bytes");
#endif

/* One-time set-up of the library; cheap after the first call.  Returns 0. */
MCV_API int mcvInit(void);

/*
 * Decodes one MJPG (JPEG) frame.  `data` points at the start of the frame in
 * a buffer of at least width * height * 3 bytes; the frame's end is found
 * from its markers and nothing past width * height * 3 bytes is read.  When
 * `length` is positive it is the number of valid bytes in the buffer and
 * the search stops there too.  Frames without Huffman tables (as USB video
 * cameras send them) decode with the standard tables.  The decoded size
 * must equal width x height.  Returns a 3-channel image, or null for
 * anything that is not a complete JPEG frame of that size.
 */
MCV_API HMCVIMAGE mcvLoadFromVideoData(const void *data, int width, int height, int length, int dpiX,
                                       int dpiY);

/*
 * Copies packed RGB888 pixels (R, G, B bytes).  `stride` is the distance
 * between rows in bytes; 0 means tightly packed (width * 3).  Returns a
 * 3-channel image, or null for a null pointer, a size that is not positive
 * or a stride shorter than a row.
 */
MCV_API HMCVIMAGE mcvLoadFromRGB888Data(const void *data, int width, int height, int stride, int dpiX,
                                        int dpiY);

/* Releases *image (if not null) and sets *image to null. */
MCV_API void mcvReleaseImage(HMCVIMAGE *image);

/* Address of the pixel rows (height rows of width * channels bytes). */
MCV_API unsigned char *mcvGetImageData(HMCVIMAGE image);

/* Grey copy (1 channel); a grey image is copied as it is. */
MCV_API HMCVIMAGE mcvGrayStyle(HMCVIMAGE image);

/*
 * Black and white copy (1 channel, values 0 and 255).  `threshold` 1..254
 * is a fixed threshold on the grey level; lighting varies across a desk, so
 * the level is applied to the grey image after correcting for uneven
 * illumination (background estimated by a wide blur), which keeps text
 * black and paper white in a dim corner.  Other values: null.
 */
MCV_API HMCVIMAGE mcvThreshold(HMCVIMAGE image, int threshold);

/*
 * Measures the page's tilt in degrees: positive when the page is turned
 * clockwise on screen.  Uses the page outline when a page is found, else
 * the direction of text lines.  Returns 0 and fills *angleDeg, or -1 when
 * no tilt can be measured.
 */
MCV_API int mcvDetectSkewAngle(HMCVIMAGE image, float *angleDeg);

/*
 * Straightened copy of the same size: the picture is turned about the
 * page's centre (or the picture's centre when no page is found) by the
 * measured tilt, so the page stays where it lay.  Areas uncovered by the
 * turn are black.  When no tilt is found the copy is unchanged.  Null only
 * for a null image or lack of memory.
 */
MCV_API HMCVIMAGE mcvAdjustSkew(HMCVIMAGE image);

/*
 * Finds the page: a sheet of paper on a desk of any colour, under
 * perspective, partly covered (a mug, pens, a cable), at least about 5 % of
 * the picture.  `mode` and `flags` are reserved and must be 0.  Fills
 * result->count (0 or more) and the rectangles, the page first; its
 * confidence (0..1000) measures the evidence, and no page is reported below
 * 450.  A corner hidden under an object comes from the sides' lines; a
 * sheet reaching a little past the picture's edge has that edge as its side
 * there.  Returns the count, or -1 for bad arguments (result->count is then
 * 0 when result is not null).
 */
MCV_API int mcvDetectRect1(McvRectResult *result, HMCVIMAGE image, int mode, int flags);

/*
 * Cuts the image to the quadrilateral.  A quadrilateral that is an upright
 * rectangle (within a pixel) is cut without resampling; a tilted or mildly
 * keystoned one is straightened by a perspective warp to a rectangle of its
 * mean side lengths.  Null when the quadrilateral is not convex, is smaller
 * than 8 x 8 pixels or lies mostly outside the image.
 */
MCV_API HMCVIMAGE mcvCutR(HMCVIMAGE image, McvRect rect);

/*
 * Turned copy; `angleDeg` positive turns clockwise on screen.  Multiples of
 * 90 degrees are exact (no resampling, width and height swap for odd
 * quarter turns); other angles are resampled onto a canvas that holds the
 * whole picture.
 */
MCV_API HMCVIMAGE mcvRotateImage(HMCVIMAGE image, float angleDeg);

/*
 * Draws the outline of `rect` into the image in place, colour (r, g, b)
 * (grey images get the mean of the three), line `thickness` pixels.
 * Returns 0, or -1 for a null image or thickness outside 1..100.
 */
MCV_API int mcvDrawRectR(HMCVIMAGE image, int r, int g, int b, int thickness, McvRect rect);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_IMAGE_H */
