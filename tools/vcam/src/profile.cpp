// Profile files: JSON read with cJSON.
#include "vcam/profile.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#ifndef VCAM_PROFILE_DIR
#define VCAM_PROFILE_DIR "."
#endif

namespace vcam {
namespace {

bool fail(std::string *error, const std::string &msg) {
    if (error)
        *error = msg;
    return false;
}

bool readU32(const cJSON *obj, const char *key, std::uint32_t &out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (!cJSON_IsNumber(v) || v->valuedouble < 0)
        return false;
    out = std::uint32_t(v->valuedouble);
    return true;
}

void readInt(const cJSON *obj, const char *key, int &out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (cJSON_IsNumber(v))
        out = v->valueint;
}

void readString(const cJSON *obj, const char *key, std::string &out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (cJSON_IsString(v) && v->valuestring)
        out = v->valuestring;
}

bool readHex16(const cJSON *obj, const char *key, std::uint16_t &out, std::string *error) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (!v)
        return true;
    if (!cJSON_IsString(v) || !v->valuestring)
        return fail(error, std::string(key) + " must be a text of hexadecimal digits");
    char *end = nullptr;
    const unsigned long n = std::strtoul(v->valuestring, &end, 16);
    if (end == v->valuestring || *end || n > 0xffff)
        return fail(error, std::string(key) + " is not a 16-bit hexadecimal number");
    out = std::uint16_t(n);
    return true;
}

bool readSize(const cJSON *item, FrameSize &out) {
    if (!cJSON_IsArray(item) || cJSON_GetArraySize(item) != 2)
        return false;
    const cJSON *w = cJSON_GetArrayItem(item, 0), *h = cJSON_GetArrayItem(item, 1);
    if (!cJSON_IsNumber(w) || !cJSON_IsNumber(h) || w->valueint <= 0 || h->valueint <= 0)
        return false;
    out.width = std::uint32_t(w->valueint);
    out.height = std::uint32_t(h->valueint);
    return true;
}

} // namespace

std::uint32_t fourccFromString(const std::string &s) {
    if (s.size() != 4)
        return 0;
    return std::uint32_t(std::uint8_t(s[0])) | std::uint32_t(std::uint8_t(s[1])) << 8 |
           std::uint32_t(std::uint8_t(s[2])) << 16 | std::uint32_t(std::uint8_t(s[3])) << 24;
}

std::string fourccToString(std::uint32_t f) {
    return std::string{char(f & 0xff), char((f >> 8) & 0xff), char((f >> 16) & 0xff), char((f >> 24) & 0xff)};
}

bool parseProfile(const std::string &json, Profile &out, std::string *error) {
    std::unique_ptr<cJSON, void (*)(cJSON *)> root(cJSON_Parse(json.c_str()), cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get()))
        return fail(error, "profile is not a JSON object");
    const cJSON *r = root.get();
    Profile p;
    readString(r, "model", p.model);
    readString(r, "vendor", p.vendor);
    readString(r, "serial", p.serial);
    if (!readHex16(r, "vid", p.vid, error) || !readHex16(r, "pid", p.pid, error))
        return false;

    const cJSON *formats = cJSON_GetObjectItemCaseSensitive(r, "formats");
    if (!cJSON_IsArray(formats) || cJSON_GetArraySize(formats) == 0)
        return fail(error, "profile needs a non-empty \"formats\" array");
    const cJSON *f;
    cJSON_ArrayForEach(f, formats) {
        PixelFormat pf;
        std::string code;
        readString(f, "fourcc", code);
        pf.fourcc = fourccFromString(code);
        if (!pf.fourcc)
            return fail(error, "format without a four-character \"fourcc\"");
        pf.description = code;
        readString(f, "description", pf.description);
        if (const cJSON *sw = cJSON_GetObjectItemCaseSensitive(f, "stepwise")) {
            StepwiseRange &s = pf.range;
            if (!readU32(sw, "minWidth", s.minWidth) || !readU32(sw, "maxWidth", s.maxWidth) ||
                !readU32(sw, "stepWidth", s.stepWidth) || !readU32(sw, "minHeight", s.minHeight) ||
                !readU32(sw, "maxHeight", s.maxHeight) || !readU32(sw, "stepHeight", s.stepHeight) ||
                !s.minWidth || !s.minHeight || s.minWidth > s.maxWidth || s.minHeight > s.maxHeight ||
                !s.stepWidth || !s.stepHeight)
                return fail(error, "format " + code + ": bad \"stepwise\" range");
            pf.stepwise = true;
        } else {
            const cJSON *sizes = cJSON_GetObjectItemCaseSensitive(f, "sizes");
            if (!cJSON_IsArray(sizes) || cJSON_GetArraySize(sizes) == 0)
                return fail(error, "format " + code + " needs \"sizes\" or \"stepwise\"");
            const cJSON *s;
            cJSON_ArrayForEach(s, sizes) {
                FrameSize fs;
                if (!readSize(s, fs))
                    return fail(error, "format " + code + ": sizes are [width, height] pairs");
                pf.sizes.push_back(fs);
            }
        }
        p.formats.push_back(std::move(pf));
    }

    if (const cJSON *fps = cJSON_GetObjectItemCaseSensitive(r, "fps")) {
        p.fps.clear();
        const cJSON *v;
        cJSON_ArrayForEach(v, fps) {
            if (!cJSON_IsNumber(v) || v->valueint <= 0)
                return fail(error, "\"fps\" holds positive numbers");
            p.fps.push_back(std::uint32_t(v->valueint));
        }
        if (p.fps.empty())
            return fail(error, "\"fps\" is empty");
    }
    if (const cJSON *ds = cJSON_GetObjectItemCaseSensitive(r, "defaultSize"))
        if (!readSize(ds, p.defaultSize))
            return fail(error, "\"defaultSize\" is [width, height]");
    if (const cJSON *b = cJSON_GetObjectItemCaseSensitive(r, "buffers")) {
        if (!cJSON_IsNumber(b) || b->valueint < 1 || b->valueint > 32)
            return fail(error, "\"buffers\" is 1 to 32");
        p.buffers = unsigned(b->valueint);
    }
    std::string crop = "accept";
    readString(r, "crop", crop);
    if (crop == "accept")
        p.crop = CropMode::Accept;
    else if (crop == "einval")
        p.crop = CropMode::Einval;
    else if (crop == "enotty")
        p.crop = CropMode::Enotty;
    else
        return fail(error, "\"crop\" is accept, einval or enotty");
    if (const cJSON *e = cJSON_GetObjectItemCaseSensitive(r, "exposure")) {
        readInt(e, "auto", p.exposureAuto);
        readInt(e, "absolute", p.exposureAbsolute);
        readInt(e, "absoluteMin", p.exposureAbsoluteMin);
        readInt(e, "absoluteMax", p.exposureAbsoluteMax);
        readInt(e, "gain", p.exposure);
    }
    out = std::move(p);
    return true;
}

std::string profileDir() {
    const char *env = std::getenv("VCAM_PROFILE_DIR");
    return env && *env ? env : VCAM_PROFILE_DIR;
}

bool loadProfile(const std::string &nameOrPath, Profile &out, std::string *error) {
    std::string path = nameOrPath;
    if (path.find('/') == std::string::npos)
        path = profileDir() + "/" + nameOrPath + ".json";
    std::ifstream in(path);
    if (!in)
        return fail(error, "cannot read profile " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!parseProfile(ss.str(), out, error)) {
        if (error)
            *error = path + ": " + *error;
        return false;
    }
    return true;
}

Profile defaultProfile() {
    Profile p;
    std::string err;
    if (!loadProfile("docam-5mp", p, &err))
        throw std::runtime_error(err);
    return p;
}

} // namespace vcam
