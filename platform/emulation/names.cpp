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
