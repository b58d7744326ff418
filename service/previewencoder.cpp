#include "previewencoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kQuality = 75; // what QImage::save uses for quality -1

// Decoding uses the fast integer IDCT and plain (replicated) chroma
// upsampling: the frame is sampled down and encoded again at quality 75 with
// 4:2:0 chroma afterwards, and on virtual-camera frames the fast flags change
// the decoded pixels by 0.2 levels RMS (4 at most), far below what that
// second JPEG pass loses, for about 3% less decoding time. At the usual 1/2
// DCT scale the IDCT is the reduced 4x4 one whatever the flag; the upsampling
// flag lets libjpeg-turbo merge upsampling with the colour conversion.
constexpr int kDecodeFlags = TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE;
// Encoding keeps the accurate forward DCT, like Qt's writer.
constexpr int kEncodeFlags = TJFLAG_NOREALLOC;

// Pixels are copied as 4-byte words (the fourth byte is overwritten by the
// next pixel), so the buffers carry one spare word.
constexpr std::size_t kSlack = 4;

// Refuse frames whose decoded pixels would exceed this (a damaged header can
// claim 65535x65535).
constexpr std::size_t kMaxDecodedBytes = std::size_t(1) << 28;

const char kPrefix[] = "{\n\t\"func\":\t\"GetCameraVideoBuff\",\n\t\"imgBase64Str\":\t\"";
const char kSuffix[] = "\"\n}";

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::size_t base64Length(std::size_t n) { return (n + 2) / 3 * 4; }

void base64Into(const unsigned char *in, std::size_t n, char *out)
{
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = kAlphabet[(v >> 6) & 63];
        out[3] = kAlphabet[v & 63];
        out += 4;
    }
    if (i < n) {
        const bool two = i + 1 < n;
        const std::uint32_t v = (std::uint32_t(in[i]) << 16) | (two ? std::uint32_t(in[i + 1]) << 8 : 0);
        out[0] = kAlphabet[v >> 18];
        out[1] = kAlphabet[(v >> 12) & 63];
        out[2] = two ? kAlphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
    }
}

// Nearest source index for each of `dst` samples spread over `src` samples
// (sample centres), as a scale without smoothing does.
void nearest(int src, int dst, std::vector<int> &map)
{
    map.resize(dst);
    for (int i = 0; i < dst; ++i)
        map[i] = std::min(src - 1, int((std::int64_t(2 * i + 1) * src) / (2 * std::int64_t(dst))));
}

} // namespace

PreviewEncoder::PreviewEncoder()
    : dec_(tjInitDecompress()), enc_(tjInitCompress())
{
    // Room for the largest preview JPEG libjpeg-turbo can produce at this size,
    // so the buffer never grows while frames are encoded.
    unsigned long cap = std::max({tjBufSize(kWidth, kHeight, TJSAMP_420), tjBufSize(kHeight, kWidth, TJSAMP_420),
                                  tjBufSize(kWidth, kHeight, TJSAMP_GRAY), tjBufSize(kHeight, kWidth, TJSAMP_GRAY)});
    jpeg_ = tjAlloc(int(cap));
    turned_.resize(std::size_t(kWidth) * kHeight * 3 + kSlack);
}

PreviewEncoder::~PreviewEncoder()
{
    tjFree(jpeg_);
    if (dec_)
        tjDestroy(dec_);
    if (enc_)
        tjDestroy(enc_);
}

PreviewEncoder::Turn PreviewEncoder::turnOf(int rotateDegrees)
{
    switch (rotateDegrees / 90) {
    case 1:
        return kCounterClockwise;
    case 3:
        return kClockwise;
    case 0:
    case -1:
        return kNone;
    default:
        return kHalf;
    }
}

void PreviewEncoder::turnedSize(int rotateDegrees, int &w, int &h)
{
    const Turn t = turnOf(rotateDegrees);
    const bool quarter = t == kCounterClockwise || t == kClockwise;
    w = quarter ? kHeight : kWidth;
    h = quarter ? kWidth : kHeight;
}

void PreviewEncoder::clear()
{
    comps_ = 0;
    ++picture_;
}

bool PreviewEncoder::decode(const void *data, int size)
{
    clear();
    if (!dec_ || !data || size <= 0)
        return false;
    if (!decodeFrame(static_cast<const unsigned char *>(data), static_cast<unsigned long>(size))) {
        // libjpeg-turbo 2.1 leaves a handle whose header read failed mid-way
        // unusable for the next frame: start over with a fresh one.
        tjDestroy(dec_);
        dec_ = tjInitDecompress();
        return false;
    }
    comps_ = decodedComps_;
    return true;
}

bool PreviewEncoder::decodeFrame(const unsigned char *buf, unsigned long size)
{
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(dec_, buf, size, &w, &h, &subsamp, &colorspace) != 0 || w <= 0 || h <= 0)
        return false;

    // Smallest DCT scale that still covers the preview in both directions;
    // a smaller frame is decoded at full size and sampled up.
    int n = 0;
    const tjscalingfactor *factors = tjGetScalingFactors(&n);
    tjscalingfactor best{1, 1};
    for (int i = 0; factors && i < n; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom || TJSCALED(w, f) < kWidth || TJSCALED(h, f) < kHeight)
            continue;
        if (std::int64_t(f.num) * best.denom < std::int64_t(best.num) * f.denom)
            best = f;
    }
    const int sw = TJSCALED(w, best), sh = TJSCALED(h, best);

    const bool grey = colorspace == TJCS_GRAY;
    const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
    const int comps = grey ? 1 : 3;
    const std::size_t pixels = std::size_t(sw) * std::size_t(sh);
    if (pixels * (cmyk ? 4 : comps) > kMaxDecodedBytes)
        return false;
    src_.resize(pixels * comps + kSlack);

    unsigned char *target = src_.data();
    int format = grey ? TJPF_GRAY : TJPF_RGB;
    if (cmyk) {
        cmyk_.resize(pixels * 4);
        target = cmyk_.data();
        format = TJPF_CMYK;
    }
    if (tjDecompress2(dec_, buf, size, target, sw, 0, sh, format, kDecodeFlags) != 0 &&
        tjGetErrorCode(dec_) != TJERR_WARNING)
        return false;
    if (cmyk) {
        // Stored inverted, as Adobe writes it; the same conversion as Qt's reader.
        const unsigned char *in = cmyk_.data();
        unsigned char *out = src_.data();
        for (std::size_t i = 0; i < pixels; ++i, in += 4, out += 3) {
            const unsigned k = in[3];
            out[0] = static_cast<unsigned char>(k * in[0] / 255);
            out[1] = static_cast<unsigned char>(k * in[1] / 255);
            out[2] = static_cast<unsigned char>(k * in[2] / 255);
        }
    }
    srcW_ = sw;
    srcH_ = sh;
    decodedComps_ = comps;
    return true;
}

void PreviewEncoder::buildTables(Turn turn)
{
    if (tablesW_ != srcW_ || tablesH_ != srcH_ || tablesComps_ != comps_) {
        std::fill(std::begin(tablesValid_), std::end(tablesValid_), false);
        tablesW_ = srcW_;
        tablesH_ = srcH_;
        tablesComps_ = comps_;
    }
    if (tablesValid_[turn])
        return;
    // Preview pixel (px, py) of the unturned 1280x960 picture comes from
    // frame pixel (mapX[px], mapY[py]).
    std::vector<int> mapX, mapY;
    nearest(srcW_, kWidth, mapX);
    nearest(srcH_, kHeight, mapY);
    const std::uint32_t c = std::uint32_t(comps_), stride = std::uint32_t(srcW_) * c;
    std::vector<std::uint32_t> &col = colOff_[turn], &row = rowOff_[turn];
    const bool quarter = turn == kCounterClockwise || turn == kClockwise;
    col.resize(quarter ? kHeight : kWidth);
    row.resize(quarter ? kWidth : kHeight);
    for (std::size_t x = 0; x < col.size(); ++x) {
        switch (turn) {
        case kNone: col[x] = mapX[x] * c; break;
        case kHalf: col[x] = mapX[kWidth - 1 - x] * c; break;
        // Turned a quarter: a preview row walks down a picture column.
        case kCounterClockwise: col[x] = mapY[x] * stride; break;
        case kClockwise: col[x] = mapY[kHeight - 1 - x] * stride; break;
        }
    }
    for (std::size_t y = 0; y < row.size(); ++y) {
        switch (turn) {
        case kNone: row[y] = mapY[y] * stride; break;
        case kHalf: row[y] = mapY[kHeight - 1 - y] * stride; break;
        case kCounterClockwise: row[y] = mapX[kWidth - 1 - y] * c; break;
        case kClockwise: row[y] = mapX[y] * c; break;
        }
    }
    if (turn == kNone) {
        // Upright and scaled down, a preview row is a few long stretches of a
        // frame row: copy those whole.
        runs_.clear();
        for (std::uint32_t x = 0; x < col.size(); ++x) {
            if (!runs_.empty() && runs_.back().src + runs_.back().bytes == col[x])
                runs_.back().bytes += c;
            else
                runs_.push_back(Run{x * c, col[x], c});
        }
    }
    tablesValid_[turn] = true;
}

void PreviewEncoder::sample(Turn turn, int w, int h)
{
    buildTables(turn);
    const std::uint32_t *col = colOff_[turn].data(), *row = rowOff_[turn].data();
    const unsigned char *src = src_.data();
    unsigned char *dst = turned_.data();
    const std::size_t rowBytes = std::size_t(w) * comps_;
    if (turn == kNone && runs_.size() * 8 <= std::size_t(w)) {
        for (int y = 0; y < h; ++y) {
            const unsigned char *line = src + row[y];
            unsigned char *d = dst + y * rowBytes;
            for (const Run &r : runs_)
                std::memcpy(d + r.dst, line + r.src, r.bytes);
        }
        return;
    }
    // A quarter turn reads the frame down its columns: work in tiles so the
    // frame lines a tile touches stay in the cache.
    const bool quarter = turn == kCounterClockwise || turn == kClockwise;
    const int tileW = quarter ? 64 : w, tileH = quarter ? 16 : h;
    for (int ty = 0; ty < h; ty += tileH) {
        const int yEnd = std::min(h, ty + tileH);
        for (int tx = 0; tx < w; tx += tileW) {
            const int xEnd = std::min(w, tx + tileW);
            for (int y = ty; y < yEnd; ++y) {
                const unsigned char *line = src + row[y];
                unsigned char *d = dst + y * rowBytes + std::size_t(tx) * comps_;
                if (comps_ == 3) {
                    for (int x = tx; x < xEnd; ++x, d += 3) {
                        std::uint32_t v;
                        std::memcpy(&v, line + col[x], 4);
                        std::memcpy(d, &v, 4);
                    }
                } else {
                    for (int x = tx; x < xEnd; ++x)
                        *d++ = line[col[x]];
                }
            }
        }
    }
}

bool PreviewEncoder::encodeJpeg(Turn turn)
{
    const Key key{picture_, turn};
    if (jpegKey_ == key)
        return true;
    jpegKey_ = Key{};
    if (isNull() || !enc_ || !jpeg_)
        return false;
    const bool quarter = turn == kCounterClockwise || turn == kClockwise;
    const int w = quarter ? kHeight : kWidth, h = quarter ? kWidth : kHeight;
    sample(turn, w, h);
    const bool grey = comps_ == 1;
    unsigned long size = 0;
    ++encodes_;
    if (tjCompress2(enc_, turned_.data(), w, 0, h, grey ? TJPF_GRAY : TJPF_RGB, &jpeg_, &size,
                    grey ? TJSAMP_GRAY : TJSAMP_420, kQuality, kEncodeFlags) != 0)
        return false;
    jpegSize_ = size;
    jpegKey_ = key;
    return true;
}

const std::string &PreviewEncoder::base64(int rotateDegrees)
{
    const Turn turn = turnOf(rotateDegrees);
    const Key key{picture_, turn};
    if (base64Key_ == key)
        return base64_;
    if (encodeJpeg(turn)) {
        base64_.resize(base64Length(jpegSize_));
        base64Into(jpeg_, jpegSize_, &base64_[0]);
    } else {
        base64_.clear();
    }
    base64Key_ = key;
    return base64_;
}

const std::string &PreviewEncoder::message(int rotateDegrees)
{
    const Turn turn = turnOf(rotateDegrees);
    const Key key{picture_, turn};
    if (messageKey_ == key)
        return message_;
    const std::size_t textLen = encodeJpeg(turn) ? base64Length(jpegSize_) : 0;
    const std::size_t prefixLen = sizeof(kPrefix) - 1, suffixLen = sizeof(kSuffix) - 1;
    message_.resize(prefixLen + textLen + suffixLen);
    char *out = &message_[0];
    std::memcpy(out, kPrefix, prefixLen);
    if (textLen)
        base64Into(jpeg_, jpegSize_, out + prefixLen);
    std::memcpy(out + prefixLen + textLen, kSuffix, suffixLen);
    messageKey_ = key;
    return message_;
}
