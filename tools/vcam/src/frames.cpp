// Frame cache: render once, add noise per variant, encode.
#include "frames.h"
#include "jpeg_util.h"

#include <linux/videodev2.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <list>
#include <mutex>

namespace vcam {
namespace {

struct Key {
    std::uint32_t fourcc;
    SceneParams p;
    bool operator==(const Key &o) const {
        const SceneParams &a = p, &b = o.p;
        return fourcc == o.fourcc && a.width == b.width && a.height == b.height && a.angleDeg == b.angleDeg &&
               a.centerX == b.centerX && a.centerY == b.centerY && a.scale == b.scale && a.aspect == b.aspect &&
               a.keystone == b.keystone && a.deskTexture == b.deskTexture && a.noise == b.noise &&
               a.lightFalloff == b.lightFalloff && a.seed == b.seed;
    }
};

constexpr std::size_t kCacheEntries = 4;

std::mutex g_cacheMutex;
std::list<std::pair<Key, std::shared_ptr<const FrameSet>>> g_cache; // most recent first

std::shared_ptr<const FrameSet> build(std::uint32_t fourcc, const SceneParams &params) {
    SceneParams clean = params;
    clean.noise = 0;
    const Scene base = renderScene(clean);
    auto set = std::make_shared<FrameSet>();
    set->fourcc = fourcc;
    set->width = base.width;
    set->height = base.height;
    std::copy(std::begin(base.corners), std::end(base.corners), std::begin(set->corners));
    const cv::Mat baseMat(base.height, base.width, CV_8UC3, const_cast<std::uint8_t *>(base.rgb.data()));
    const int variants = fourcc == V4L2_PIX_FMT_MJPEG ? kFrameVariants : 2;
    for (int v = 0; v < variants; ++v) {
        cv::Mat noisy = baseMat.clone();
        addSensorNoise(noisy.data, base.width, base.height, params.noise, params.seed * 7919u + 101u * v + 1);
        if (fourcc == V4L2_PIX_FMT_MJPEG)
            set->variants.push_back(encodeMjpeg(noisy.data, base.width, base.height, 85));
        else
            set->variants.push_back(rgbToYuyv(noisy.data, base.width, base.height));
    }
    return set;
}

} // namespace

std::shared_ptr<const FrameSet> frameSetFor(std::uint32_t fourcc, const SceneParams &scene) {
    if (fourcc != V4L2_PIX_FMT_MJPEG && fourcc != V4L2_PIX_FMT_YUYV)
        return nullptr;
    const Key key{fourcc, scene};
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        for (auto it = g_cache.begin(); it != g_cache.end(); ++it)
            if (it->first == key) {
                g_cache.splice(g_cache.begin(), g_cache, it);
                return it->second;
            }
    }
    // Rendering takes a while at large sizes; do it unlocked.  Two threads
    // asking for the same set at once both render; the result is the same.
    auto set = build(fourcc, scene);
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    g_cache.emplace_front(key, set);
    if (g_cache.size() > kCacheEntries)
        g_cache.pop_back();
    return set;
}

std::vector<std::uint8_t> rgbToYuyv(const std::uint8_t *rgb, int width, int height) {
    std::vector<std::uint8_t> out(std::size_t(width) * height * 2);
    auto clamp8 = [](int v) { return std::uint8_t(std::min(255, std::max(0, v))); };
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *src = rgb + std::size_t(y) * width * 3;
        std::uint8_t *dst = out.data() + std::size_t(y) * width * 2;
        for (int x = 0; x + 1 < width; x += 2) {
            const int r0 = src[0], g0 = src[1], b0 = src[2], r1 = src[3], g1 = src[4], b1 = src[5];
            const int y0 = ((66 * r0 + 129 * g0 + 25 * b0 + 128) >> 8) + 16;
            const int y1 = ((66 * r1 + 129 * g1 + 25 * b1 + 128) >> 8) + 16;
            const int r = (r0 + r1) / 2, g = (g0 + g1) / 2, b = (b0 + b1) / 2;
            const int u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
            const int v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
            dst[0] = clamp8(y0);
            dst[1] = clamp8(u);
            dst[2] = clamp8(y1);
            dst[3] = clamp8(v);
            src += 6;
            dst += 4;
        }
    }
    return out;
}

std::vector<std::uint8_t> corruptJpeg(const std::vector<std::uint8_t> &jpeg) {
    std::vector<std::uint8_t> out = jpeg;
    // Find the start of scan; its header length says where entropy data begins.
    std::size_t sos = 0;
    for (std::size_t i = 2; i + 3 < out.size(); ++i)
        if (out[i] == 0xFF && out[i + 1] == 0xDA) {
            sos = i + 2 + ((std::size_t(out[i + 2]) << 8) | out[i + 3]);
            break;
        }
    if (sos == 0 || sos >= out.size())
        sos = out.size() / 2;
    const std::size_t from = sos + (out.size() - sos) / 2;
    std::uint32_t x = 0x12345678;
    for (std::size_t i = from; i < out.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // 0xFF would start a marker; keep the damage inside the entropy data.
        out[i] = std::uint8_t(x % 0xFF);
    }
    out.resize(out.size() - std::min<std::size_t>(2, out.size() - from)); // drop EOI
    return out;
}

} // namespace vcam
