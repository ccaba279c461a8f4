#include "names.h"

#include <algorithm>
#include <cstring>

namespace regemu {

LONG splitPath(const char *text, Path &out) {
    return splitPath(text ? std::string_view(text) : std::string_view(), out);
}

LONG splitPath(std::string_view text, Path &out) {
    out.clear();
    if (text.empty()) return ERROR_SUCCESS;
    if (text.front() == '\\') return ERROR_BAD_PATHNAME;
    if (text.back() == '\\') text.remove_suffix(1);
    // One allocation for the parts, not one per doubling: every open passes through here.
    out.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\\')) + 1);
    size_t start = 0;
    while (true) {
        size_t end = text.find('\\', start);
        std::string_view part =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (longerThan(part, kMaxKeyNameLength)) return ERROR_INVALID_PARAMETER;
        out.push_back(part);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace regemu
