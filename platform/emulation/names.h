// Key and value names: case-insensitive comparison and subkey path splitting.
#ifndef REGEMU_NAMES_H
#define REGEMU_NAMES_H

#include "regemu.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace regemu {

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// ASCII folding only; other bytes compare as they are.
inline unsigned char foldCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

struct CaseInsensitiveHash {
    size_t operator()(std::string_view s) const noexcept {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : s) {
            h ^= foldCase(c);
            h *= 1099511628211ull;
        }
        return static_cast<size_t>(h);
    }
};

struct CaseInsensitiveEqual {
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            if (foldCase(static_cast<unsigned char>(a[i])) !=
                foldCase(static_cast<unsigned char>(b[i])))
                return false;
        }
        return true;
    }
};

inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return CaseInsensitiveEqual()(a, b);
}

using Path = std::vector<std::string_view>;

// Splits a subkey path into names. NULL and "" give no names; one trailing backslash is
// ignored. A leading backslash or an empty name inside gives ERROR_BAD_PATHNAME, a name
// longer than 255 characters ERROR_INVALID_PARAMETER. The names point into `text`.
LONG splitPath(const char *text, Path &out);
LONG splitPath(std::string_view text, Path &out);

// Counts of lengths, so the longest stays known as entries come and go.
class LengthHistogram {
public:
    void add(size_t length) { ++counts_[static_cast<DWORD>(length)]; }
    void remove(size_t length) {
        auto it = counts_.find(static_cast<DWORD>(length));
        if (it != counts_.end() && --it->second == 0) counts_.erase(it);
    }
    DWORD longest() const { return counts_.empty() ? 0 : counts_.rbegin()->first; }
    void clear() { counts_.clear(); }

private:
    std::map<DWORD, DWORD> counts_;
};

}  // namespace regemu

#endif
