// PreviewEncoder against the plain Qt route it replaces (decode, scale without
// smoothing, turn, save as JPEG), on virtual-camera frames, read back with
// libjpeg-turbo.
#include "previewencoder.h"

#include <vcam/scene.h>

#include <QBuffer>
#include <QImage>
#include <QMatrix>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <tuple>

namespace {

struct Pic {
    int w = 0, h = 0, comps = 0;
    std::vector<unsigned char> px;
};

enum Op { Same, Ccw, Cw, Flip };

// Decodes our text with Qt's strict base64 reader, then the JPEG in it with libjpeg-turbo.
Pic readBase64(const std::string &text, std::size_t *jpegSize = nullptr)
{
    auto r = QByteArray::fromBase64Encoding(QByteArray::fromStdString(text), QByteArray::AbortOnBase64DecodingErrors);
    EXPECT_TRUE(r.decodingStatus == QByteArray::Base64DecodingStatus::Ok);
    EXPECT_EQ(r.decoded.toBase64().toStdString(), text); // padded, no line breaks
    if (jpegSize)
        *jpegSize = r.decoded.size();
    Pic p;
    tjhandle tj = tjInitDecompress();
    auto *buf = reinterpret_cast<const unsigned char *>(r.decoded.constData());
    int samp, cs;
    if (tjDecompressHeader3(tj, buf, r.decoded.size(), &p.w, &p.h, &samp, &cs) == 0) {
        p.comps = cs == TJCS_GRAY ? 1 : 3;
        p.px.resize(std::size_t(p.w) * p.h * p.comps);
        EXPECT_EQ(cs == TJCS_GRAY ? TJSAMP_GRAY : TJSAMP_420, samp);
        EXPECT_EQ(0, tjDecompress2(tj, buf, r.decoded.size(), p.px.data(), p.w, 0, p.h,
                                   p.comps == 1 ? TJPF_GRAY : TJPF_RGB, 0));
    }
    tjDestroy(tj);
    return p;
}

// The route the service took before: QImage decode, scale, turn; also returns its JPEG size.
Pic qtRoute(const std::vector<unsigned char> &frame, Op op, int *savedSize = nullptr)
{
    QImage img = QImage::fromData(frame.data(), int(frame.size()), "JPG")
                     .scaled(1280, 960, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (op == Ccw || op == Cw)
        img = img.transformed(QTransform(QMatrix().rotate(op == Ccw ? -90 : 90)), Qt::FastTransformation);
    else if (op == Flip)
        img = img.mirrored(true, true);
    if (savedSize) {
        QByteArray jpg;
        QBuffer buf(&jpg);
        buf.open(QIODevice::WriteOnly);
        img.save(&buf, "JPG", -1);
        *savedSize = jpg.size();
    }
    const bool grey = img.format() == QImage::Format_Grayscale8;
    img = img.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    Pic p{img.width(), img.height(), grey ? 1 : 3, {}};
    for (int y = 0; y < p.h; ++y)
        p.px.insert(p.px.end(), img.constScanLine(y), img.constScanLine(y) + p.w * p.comps);
    return p;
}

// Largest difference of 32x32 block means over all blocks and channels.
double blockDiff(const Pic &a, const Pic &b, int rows = -1)
{
    EXPECT_TRUE(a.w == b.w && a.h == b.h && a.comps == b.comps);
    double worst = 0;
    for (int by = 0; by + 32 <= (rows < 0 ? a.h : rows); by += 32)
        for (int bx = 0; bx + 32 <= a.w; bx += 32)
            for (int c = 0; c < a.comps; ++c) {
                long sa = 0, sb = 0;
                for (int y = by; y < by + 32; ++y)
                    for (int x = bx; x < bx + 32; ++x) {
                        const std::size_t i = (std::size_t(y) * a.w + x) * a.comps + c;
                        sa += a.px[i];
                        sb += b.px[i];
                    }
                worst = std::max(worst, std::abs(sa - sb) / 1024.0);
            }
    return worst;
}

// Off-centre, turned page on a cluttered desk: every turn looks different.
const std::vector<unsigned char> &frame(int w, int h, std::uint32_t seed = 1)
{
    static std::map<std::tuple<int, int, std::uint32_t>, std::vector<unsigned char>> cache;
    auto &f = cache[{w, h, seed}];
    if (f.empty()) {
        vcam::SceneParams sp;
        sp.width = w, sp.height = h, sp.angleDeg = 7 + seed, sp.centerX = 0.38, sp.centerY = 0.42;
        sp.deskTexture = 3, sp.seed = seed;
        vcam::Scene s = vcam::renderScene(sp);
        f = vcam::encodeMjpeg(s.rgb.data(), w, h);
    }
    return f;
}

std::string cjsonMessage(const std::string &b64)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "func", "GetCameraVideoBuff");
    cJSON_AddStringToObject(o, "imgBase64Str", b64.c_str());
    char *text = cJSON_Print(o);
    std::string s(text);
    free(text);
    cJSON_Delete(o);
    return s;
}

constexpr double kTolerance = 8; // levels, 32x32 block means; JPEG loss and sampling phase

} // namespace

TEST(Preview, TurnsAndScalesLikeQtRoute)
{
    const struct { int deg; Op op; } turns[] = {{0, Same}, {90, Ccw}, {180, Flip}, {270, Cw},
                                                {-90, Same}, {360, Flip}, {450, Flip}, {-180, Flip}};
    for (auto [w, h, decodedW] : {std::tuple{2592, 1944, 1296}, std::tuple{640, 480, 640}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const auto &jpg = frame(w, h);
        PreviewEncoder enc;
        ASSERT_TRUE(enc.decode(jpg.data(), int(jpg.size())));
        EXPECT_EQ(decodedW, enc.decodedWidth()); // smallest DCT scale covering 1280x960
        for (auto t : turns) {
            SCOPED_TRACE(t.deg);
            std::size_t ours = 0;
            int qts = 0;
            Pic got = readBase64(enc.base64(t.deg), &ours);
            Pic want = qtRoute(jpg, t.op, &qts);
            int tw, th;
            PreviewEncoder::turnedSize(t.deg, tw, th);
            EXPECT_TRUE(got.w == want.w && got.h == want.h && tw == want.w && th == want.h);
            ASSERT_EQ(3, got.comps);
            EXPECT_LT(blockDiff(got, want), kTolerance);
            EXPECT_NEAR(1.0, double(ours) / qts, 0.2); // same quality and chroma as Qt's writer
        }
        // The comparison tells turns apart: the upright preview is far from the turned-over one.
        EXPECT_GT(blockDiff(readBase64(enc.base64(0)), qtRoute(jpg, Flip)), 4 * kTolerance);
    }
}

TEST(Preview, GreyAndCmykFramesLikeQtRoute)
{
    vcam::SceneParams sp;
    sp.width = 1600, sp.height = 1200, sp.centerX = 0.3;
    vcam::Scene s = vcam::renderScene(sp);
    const std::size_t n = std::size_t(sp.width) * sp.height;
    std::vector<unsigned char> grey(n), cmyk(n * 4);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char *p = &s.rgb[i * 3];
        grey[i] = static_cast<unsigned char>((p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8);
        const unsigned char k = static_cast<unsigned char>(255 - (i / sp.width) * 100 / sp.height);
        std::copy(p, p + 3, &cmyk[i * 4]);
        cmyk[i * 4 + 3] = k;
    }
    tjhandle tj = tjInitCompress();
    for (bool isGrey : {true, false}) {
        unsigned char *buf = nullptr;
        unsigned long size = 0;
        ASSERT_EQ(0, tjCompress2(tj, isGrey ? grey.data() : cmyk.data(), sp.width, 0, sp.height,
                                 isGrey ? TJPF_GRAY : TJPF_CMYK, &buf, &size, isGrey ? TJSAMP_GRAY : TJSAMP_444,
                                 90, 0));
        std::vector<unsigned char> jpg(buf, buf + size);
        tjFree(buf);
        PreviewEncoder enc;
        ASSERT_TRUE(enc.decode(jpg.data(), int(jpg.size())));
        Pic got = readBase64(enc.base64(90)), want = qtRoute(jpg, Ccw);
        EXPECT_EQ(isGrey ? 1 : 3, got.comps); // a grey frame gives a grey JPEG, as Qt's writer does
        EXPECT_LT(blockDiff(got, want), kTolerance) << (isGrey ? "grey" : "cmyk");
    }
    tjDestroy(tj);
}

TEST(Preview, BrokenFramesGiveNullPicture)
{
    const auto &good = frame(640, 480);
    std::mt19937 rng(7);
    std::vector<unsigned char> garbage(4096);
    for (auto &b : garbage)
        b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> soiGarbage = garbage;
    soiGarbage[0] = 0xFF, soiGarbage[1] = 0xD8;
    // Each exactly as long as its content (on the heap), so a read past the end is caught under ASan.
    const auto sos = std::search_n(good.begin(), good.end(), 1, 0xDA) - 1; // FF DA: start of scan
    const std::vector<std::vector<unsigned char>> broken = {
        {}, {0xFF}, {0xFF, 0xD8}, garbage, soiGarbage, {good.begin(), good.begin() + 100}, {good.begin(), sos + 8}};
    PreviewEncoder enc;
    for (std::size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(enc.decode(good.data(), int(good.size())));
        ASSERT_FALSE(enc.base64(0).empty());
        const auto &b = broken[i];
        EXPECT_FALSE(enc.decode(b.empty() ? nullptr : b.data(), int(b.size())));
        EXPECT_TRUE(QImage::fromData(b.data(), int(b.size()), "JPG").isNull()); // Qt fails on it too
        EXPECT_TRUE(enc.isNull());
        EXPECT_TRUE(enc.base64(0).empty());
        EXPECT_TRUE(enc.base64(90).empty());
        EXPECT_EQ(cjsonMessage(""), enc.message(0));
    }
    // Cut inside the picture data: the top still shows, as with Qt.
    const std::vector<unsigned char> half(good.begin(), good.begin() + good.size() / 2);
    ASSERT_TRUE(enc.decode(half.data(), int(half.size())));
    ASSERT_FALSE(qtRoute(half, Same).px.empty());
    EXPECT_LT(blockDiff(readBase64(enc.base64(0)), qtRoute(good, Same), 960 / 4), kTolerance);
}

TEST(Preview, ServiceCycleMessagesAndCache)
{
    PreviewEncoder enc;
    const std::string *first = nullptr;
    std::string last;
    for (int i = 0; i < 9; ++i) { // the service decodes every third frame and sends every frame
        const auto &jpg = frame(640, 480, 1 + i / 3);
        if (i % 3 == 0) {
            ASSERT_TRUE(enc.decode(jpg.data(), int(jpg.size())));
        }
        const std::string &msg = enc.message(90);
        first = first ? first : &msg;
        EXPECT_EQ(first, &msg);
        EXPECT_EQ(std::uint64_t(i / 3 + 1), enc.encodeCount());
        EXPECT_EQ(i % 3 != 0, msg == last) << i;
        last = msg;
    }
    EXPECT_EQ(cjsonMessage(enc.base64(90)), *first);
    EXPECT_EQ(3u, enc.encodeCount()); // base64 of the same picture and turn: no new encode
    enc.base64(0);
    enc.message(-90); // the same turn as 0
    EXPECT_EQ(4u, enc.encodeCount());
    EXPECT_EQ(cjsonMessage(enc.base64(-90)), enc.message(0));
    enc.clear();
    EXPECT_EQ(cjsonMessage(""), enc.message(90));
    EXPECT_EQ(4u, enc.encodeCount());
}
