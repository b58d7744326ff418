// Text that came from outside (request texts, origins) made safe to print
// on one line of a terminal or a log file.
#ifndef KOBIX_PRINTABLE_H
#define KOBIX_PRINTABLE_H

#include <cstddef>
#include <string>

// Longest piece of outside text printed in one line, in input bytes: enough
// to recognise any request, short enough that nobody floods the terminal.
constexpr size_t kPrintableMaxBytes = 512;

// `len` bytes of `data` as printable text: control characters (C0, DEL and
// the C1 range U+0080..U+009F) and bytes that are not valid UTF-8 become
// \xNN (\n, \r, \t as such), a backslash becomes \\, so no escape sequence
// and no line break reaches the terminal.  Input beyond maxBytes is cut at
// a character boundary and the line says how much was left out.
std::string printableText(const char *data, size_t len, size_t maxBytes = kPrintableMaxBytes);
inline std::string printableText(const std::string &text, size_t maxBytes = kPrintableMaxBytes)
{
    return printableText(text.data(), text.size(), maxBytes);
}

// Length of the valid UTF-8 sequence starting at p (at most n bytes), or 0
// when the bytes there are not one (overlong forms, surrogates and values
// above U+10FFFF are not valid).
size_t utf8SequenceLength(const unsigned char *p, size_t n);
// True when all `len` bytes are valid UTF-8.
bool isValidUtf8(const char *data, size_t len);

#endif
