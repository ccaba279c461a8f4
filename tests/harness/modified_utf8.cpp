#include "modified_utf8.h"

#include <cstdio>

namespace harness {

std::string encodeModifiedUtf8(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) {
        unsigned u = unit;
        if (u >= 0x01 && u <= 0x7F) {
            out += static_cast<char>(u);
        } else if (u <= 0x7FF) {  // includes U+0000, which must not become a 0 byte
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

std::optional<std::u16string> decodeModifiedUtf8(std::string_view bytes, std::string* problem) {
    auto fail = [&](std::size_t at, const char* why) -> std::optional<std::u16string> {
        if (problem != nullptr) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "byte %zu (0x%02X): %s", at,
                          static_cast<unsigned>(static_cast<unsigned char>(bytes[at])), why);
            *problem = buf;
        }
        return std::nullopt;
    };
    auto continuation = [&](std::size_t i) {
        return i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80;
    };
    std::u16string out;
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned b = static_cast<unsigned char>(bytes[i]);
        if (b == 0) return fail(i, "a 0 byte inside the text");
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            i += 1;
        } else if ((b & 0xE0) == 0xC0) {
            if (!continuation(i + 1)) return fail(i, "truncated 2-byte sequence");
            unsigned u = ((b & 0x1F) << 6) | (static_cast<unsigned char>(bytes[i + 1]) & 0x3F);
            if (u < 0x80 && u != 0) return fail(i, "overlong 2-byte sequence");
            out += static_cast<char16_t>(u);
            i += 2;
        } else if ((b & 0xF0) == 0xE0) {
            if (!continuation(i + 1) || !continuation(i + 2)) {
                return fail(i, "truncated 3-byte sequence");
            }
            unsigned u = ((b & 0x0F) << 12) |
                         ((static_cast<unsigned char>(bytes[i + 1]) & 0x3F) << 6) |
                         (static_cast<unsigned char>(bytes[i + 2]) & 0x3F);
            if (u < 0x800) return fail(i, "overlong 3-byte sequence");
            out += static_cast<char16_t>(u);
            i += 3;
        } else if ((b & 0xF8) == 0xF0) {
            return fail(i, "4-byte sequence (standard UTF-8, not modified UTF-8)");
        } else {
            return fail(i, "not a lead byte");
        }
    }
    return out;
}

std::string printable(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F && unit != '\\') {
            out += static_cast<char>(unit);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(unit));
            out += buf;
        }
    }
    return out;
}

}  // namespace harness
