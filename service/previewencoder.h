// Live preview pictures: camera JPEG frame in, 1280x960 preview JPEG out as
// base64 text or as the complete "GetCameraVideoBuff" message.
//
// The page sees the same picture as with the plain Qt route (decode, scale to
// 1280x960 without smoothing, turn, JPEG quality 75, base64), but much
// cheaper: libjpeg-turbo decodes at the smallest DCT scale that still covers
// 1280x960, one pass samples the preview and turns it, and the result is
// cached per picture and turn, so frames that reuse a picture cost nothing.
//
// Thread: one instance used by one thread at a time (the caller serialises;
// the service holds its frame lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PreviewEncoder {
public:
    static constexpr int kWidth = 1280, kHeight = 960;

    PreviewEncoder();
    ~PreviewEncoder();
    PreviewEncoder(const PreviewEncoder &) = delete;
    PreviewEncoder &operator=(const PreviewEncoder &) = delete;

    // Decodes JPEG bytes into the current picture (1280x960, 3 bytes/pixel;
    // 1 byte/pixel for a grey JPEG, which also gives a grey preview). The
    // frame is kept at its decoded DCT scale and sampled when encoded. A
    // frame with a damaged or short entropy-coded part still gives a picture
    // (the missing part grey), as Qt's reader does. On failure the current
    // picture becomes null and false is returned. Never reads past data+size.
    bool decode(const void *data, int size);
    bool isNull() const { return comps_ == 0; }
    void clear(); // current picture becomes null

    // Base64 text (standard alphabet, padded, no line breaks) of the JPEG
    // (quality 75) of the current picture turned for rotateDegrees. "" for a
    // null picture. Cached: asking again for the same picture and the same
    // turn returns the cached text without encoding again.
    const std::string &base64(int rotateDegrees);

    // The complete preview message text, byte-identical to cJSON_Print of
    // {"func":"GetCameraVideoBuff","imgBase64Str":<base64>}; the base64 is
    // written straight into it. Cached like base64().
    const std::string &message(int rotateDegrees);

    // Picture size after the turn of rotateDegrees: 1280x960 or 960x1280.
    static void turnedSize(int rotateDegrees, int &w, int &h);

    // JPEG encodes done so far (cache hits leave it unchanged).
    std::uint64_t encodeCount() const { return encodes_; }
    // Size of the frame as decoded (after DCT scaling); 0x0 when null.
    int decodedWidth() const { return isNull() ? 0 : srcW_; }
    int decodedHeight() const { return isNull() ? 0 : srcH_; }

private:
    // The turn the service applies for rotateDegrees/90.
    enum Turn { kNone = 0, kCounterClockwise = 1, kHalf = 2, kClockwise = 3 };
    static Turn turnOf(int rotateDegrees);

    struct Key {
        std::uint64_t picture = 0; // 0: nothing cached
        int turn = -1;
        bool operator==(const Key &o) const { return picture == o.picture && turn == o.turn; }
    };

    bool decodeFrame(const unsigned char *buf, unsigned long size);
    bool encodeJpeg(Turn turn);      // into jpeg_ for (picture_, turn)
    void buildTables(Turn turn);     // sampling offsets for the current frame size
    void sample(Turn turn, int w, int h);

    void *dec_ = nullptr; // tjhandle
    void *enc_ = nullptr; // tjhandle

    // Current frame as decoded; comps_ 0 means null picture.
    std::vector<std::uint8_t> src_;
    std::vector<std::uint8_t> cmyk_;
    int srcW_ = 0, srcH_ = 0, comps_ = 0, decodedComps_ = 0;
    std::uint64_t picture_ = 1; // changes with every decode() and clear()

    // Byte offsets into src_: pixel (x, y) of the turned preview is
    // src_[rowOff_[t][y] + colOff_[t][x]]. Rebuilt when the frame size changes.
    std::vector<std::uint32_t> colOff_[4], rowOff_[4];
    bool tablesValid_[4] = {};
    struct Run {
        std::uint32_t dst, src, bytes; // byte offsets in a preview row and a frame row
    };
    std::vector<Run> runs_; // the upright turn as stretches of consecutive pixels
    int tablesW_ = 0, tablesH_ = 0, tablesComps_ = 0;

    std::vector<std::uint8_t> turned_;       // sampled, turned preview pixels
    unsigned char *jpeg_ = nullptr;          // tjAlloc'd, fixed size
    unsigned long jpegSize_ = 0;
    Key jpegKey_;

    std::string base64_, message_;
    Key base64Key_, messageKey_;
    std::uint64_t encodes_ = 0;
};
