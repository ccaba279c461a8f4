#include "utf16.h"

#include <cstdint>

namespace regemu {

namespace {

void appendUtf8(std::string &out, uint32_t cp) {
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

// The code point of the standard UTF-8 sequence at text[i] and its length, or length 0 for a
// byte that starts none. The JVM's two-byte NUL and three-byte surrogates are not standard:
// their bytes go through one by one, so they come back exactly.
uint32_t decodeUtf8(std::string_view text, size_t i, size_t &length) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    length = 0;
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    size_t count;
    uint32_t cp, minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + count > text.size()) return 0;
    for (size_t k = 1; k < count; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0;
    length = count;
    return cp;
}

}  // namespace

std::u16string narrowToUtf16(std::string_view narrow) {
    std::u16string units;
    units.reserve(narrow.size());
    for (size_t i = 0; i < narrow.size();) {
        size_t length;
        const uint32_t cp = decodeUtf8(narrow, i, length);
        if (length == 0) {
            units += static_cast<char16_t>(0xDC00 | static_cast<unsigned char>(narrow[i]));
            ++i;
            continue;
        }
        i += length;
        if (cp >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
    }
    return units;
}

std::string utf16ToNarrow(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out += static_cast<char>(u & 0xFF);
            continue;
        }
        // Other lone surrogates keep their three-byte form, as the JVM's narrow form has them.
        appendUtf8(out, u);
    }
    return out;
}

std::u16string unitsOfUtf16Le(std::string_view bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return units;
}

void appendUtf16Le(std::string &out, std::u16string_view units) {
    out.reserve(out.size() + 2 * units.size());
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
}

}  // namespace regemu
