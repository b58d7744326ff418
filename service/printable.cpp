#include "printable.h"

#include <cstdio>

size_t utf8SequenceLength(const unsigned char *p, size_t n)
{
    if (n == 0)
        return 0;
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // overlong
        else if (c == 0xED)
            hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;  // overlong
        else if (c == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return len;
}

bool isValidUtf8(const char *data, size_t len)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    size_t i = 0;
    while (i < len) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t n = utf8SequenceLength(p + i, len - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string printableText(const char *data, size_t len, size_t maxBytes)
{
    std::string out;
    if (!data)
        return out;
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    size_t i = 0;
    char hex[8];
    while (i < len && i < maxBytes) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F) {
            if (c == '\\')
                out += "\\\\";
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
            ++i;
            continue;
        }
        size_t n = c >= 0x80 ? utf8SequenceLength(p + i, len - i) : 0;
        // C1 controls (U+0080..U+009F, 0xC2 0x80..0x9F) act like ESC
        // sequences on many terminals.
        bool c1 = n == 2 && c == 0xC2 && p[i + 1] < 0xA0;
        if (n == 0 || c1 || i + n > maxBytes) {
            if (n != 0 && !c1)
                break;  // a whole character that does not fit: cut before it
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
            ++i;
            continue;
        }
        out.append(data + i, n);
        i += n;
    }
    if (i < len)
        out += "...(" + std::to_string(len - i) + " more bytes)";
    return out;
}
