#include "names.h"

#include <algorithm>
#include <cstring>

namespace regemu {

uint64_t continueNameHash(std::string_view s, size_t from, uint64_t h) noexcept {
    size_t i = from;
    for (; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) break;
        h = (h ^ upcaseAscii(c)) * kNameHashPrime;
    }
    for (FoldedUnits units(s, i); !units.done();) h = (h ^ units.next()) * kNameHashPrime;
    return h;
}

bool continueNamesEqual(std::string_view a, std::string_view b, size_t from) noexcept {
    size_t i = from;
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (; i < common; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if ((x | y) >= 0x80) break;
        if (upcaseAscii(x) != upcaseAscii(y)) return false;
    }
    // After equal ASCII bytes, a side that has ended is equal only to an ended one.
    if (i == a.size() || i == b.size()) return a.size() == b.size();
    FoldedUnits left(a, i), right(b, i);
    while (!left.done() && !right.done()) {
        if (left.next() != right.next()) return false;
    }
    return left.done() && right.done();
}

LONG splitPath(const char *text, Path &out) {
    return splitPath(text ? std::string_view(text) : std::string_view(), out);
}

LONG splitPath(std::string_view text, Path &out) {
    out.clear();
    if (text.empty()) return ERROR_SUCCESS;
    if (text.front() == '\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\\', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view part = text.substr(start, end - start);
        if (!part.empty()) {
            if (longerThan(part, kMaxKeyNameLength)) return ERROR_INVALID_PARAMETER;
            out.push_back(part);
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace regemu
