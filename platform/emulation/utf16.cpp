#include "utf16.h"

#include "names.h"

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

}  // namespace

std::u16string narrowToUtf16(std::string_view narrow) {
    std::u16string units;
    units.reserve(narrow.size());
    auto *p = reinterpret_cast<const unsigned char *>(narrow.data());
    auto *end = p + narrow.size();
    while (p < end) {
        uint32_t decoded[2];
        unsigned count;
        p += decodeUnits(p, end, decoded, count);
        for (unsigned k = 0; k < count; ++k) {
            const uint32_t unit = decoded[k];
            units += static_cast<char16_t>(unit >= kInvalidByteUnit ? 0xDC00 + (unit - kInvalidByteUnit) : unit);
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
        // Other lone surrogates keep their three-byte form, which the narrow form reads back.
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
