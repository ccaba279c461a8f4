// A Java value as the tests see it: what a case passes in, or what a call returned.
#ifndef CVSREG_HARNESS_JAVA_VALUE_H
#define CVSREG_HARNESS_JAVA_VALUE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace harness {

struct JavaValue {
    enum class Kind { Null, String, Integer, Bytes, Long, Short, Boolean, CharArray, IntArray, Object };

    Kind kind = Kind::Null;
    std::u16string text;              // String, CharArray
    std::int64_t number = 0;          // Integer, Long, Short, Boolean (0 or 1)
    std::vector<std::uint8_t> bytes;  // Bytes
    std::vector<std::int32_t> ints;   // IntArray

    static JavaValue null() { return {}; }
    static JavaValue string(std::u16string t) {
        JavaValue v;
        v.kind = Kind::String;
        v.text = std::move(t);
        return v;
    }
    static JavaValue integer(std::int32_t n) {
        JavaValue v;
        v.kind = Kind::Integer;
        v.number = n;
        return v;
    }
    static JavaValue byteArray(std::vector<std::uint8_t> b) {
        JavaValue v;
        v.kind = Kind::Bytes;
        v.bytes = std::move(b);
        return v;
    }

    friend bool operator==(const JavaValue& a, const JavaValue& b) {
        return a.kind == b.kind && a.text == b.text && a.number == b.number &&
               a.bytes == b.bytes && a.ints == b.ints;
    }
    friend bool operator!=(const JavaValue& a, const JavaValue& b) { return !(a == b); }
};

// In the case table's own notation (String:abc, Integer:-1, Bytes:00FF, null, ...).
std::string describe(const JavaValue& value);

std::string toHex(const std::vector<std::uint8_t>& bytes);

// For GoogleTest's messages.
inline void PrintTo(const JavaValue& value, std::ostream* os) { *os << describe(value); }

}  // namespace harness

#endif
