#include "engine/Strings.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr char32_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are
// not one (overlong forms, surrogates and values past U+10FFFF are invalid).
std::size_t validSequenceLength(std::string_view s, std::size_t i, char32_t& out)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    std::size_t len;
    char32_t cp;
    char32_t minimum;
    if (b0 < 0x80) {
        out = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    out = cp;
    return len;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

nocase_wstring toWide(std::string_view narrow)
{
    nocase_wstring wide;
    wide.reserve(narrow.size());
    for (std::size_t i = 0; i < narrow.size();) {
        char32_t cp = 0;
        const std::size_t len = validSequenceLength(narrow, i, cp);
        if (len == 0) {
            wide += static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(narrow[i]));
            ++i;
        } else {
            wide += static_cast<wchar_t>(cp);
            i += len;
        }
    }
    return wide;
}

std::string toNarrow(const nocase_wstring& wide)
{
    std::string narrow;
    narrow.reserve(wide.size());
    for (const wchar_t c : wide) {
        const auto cp = static_cast<char32_t>(c);
        if (cp >= 0xDC80 && cp <= 0xDCFF)
            narrow += static_cast<char>(cp - kEscapeBase);
        else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            narrow += '?'; // no narrow form: the platform's default character
        else
            appendUtf8(narrow, cp);
    }
    return narrow;
}

nocase_wstring systemErrorText(int errorNumber)
{
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return toWide(text);
}

nocase_wstring systemErrorText()
{
    return systemErrorText(errno);
}
