// Key and value names: case-insensitive comparison and subkey path splitting.
#ifndef REGEMU_NAMES_H
#define REGEMU_NAMES_H

#include "regemu.h"
#include "upcase_table.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

namespace regemu {

constexpr size_t kMaxKeyNameLength = 255;     // UTF-16 units
constexpr size_t kMaxValueNameLength = 16383;  // UTF-16 units

// Names and string data are UTF-8 here, as the JVM's modified UTF-8 gives them: C0 80
// stands for U+0000 and a supplementary character may come as two three-byte surrogates.
// Windows counts and compares them as UTF-16, so they are read as UTF-16 units: a
// four-byte sequence gives two units (a surrogate pair), as its two surrogate form does.
// A byte that starts no valid sequence is one unit of its own, distinct from every
// character, as a single-byte code page would count it.

// A unit that no UTF-16 unit equals: where a byte that is not valid UTF-8 stood.
constexpr uint32_t kInvalidByteUnit = 0x110000;

// Reads the sequence at `p` (before `end`, p < end) as up to two units; returns the
// number of bytes it took.
inline size_t decodeUnits(const unsigned char *p, const unsigned char *end, uint32_t units[2],
                          unsigned &count) {
    auto continuation = [&](size_t i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    const unsigned char lead = p[0];
    count = 1;
    if (lead < 0x80) {
        units[0] = lead;
        return 1;
    }
    if (lead == 0xC0 && continuation(1) && p[1] == 0x80) {  // modified UTF-8's NUL
        units[0] = 0;
        return 2;
    }
    if (lead >= 0xC2 && lead <= 0xDF && continuation(1)) {
        units[0] = (uint32_t(lead & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    // Three bytes, surrogates included (modified UTF-8 writes them); no overlong forms.
    if (lead >= 0xE0 && lead <= 0xEF && continuation(1) && continuation(2) &&
        (lead != 0xE0 || p[1] >= 0xA0)) {
        units[0] = (uint32_t(lead & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4 && continuation(1) && continuation(2) && continuation(3) &&
        (lead != 0xF0 || p[1] >= 0x90) && (lead != 0xF4 || p[1] <= 0x8F)) {
        const uint32_t code = ((uint32_t(lead & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) |
                               (uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F)) - 0x10000;
        units[0] = 0xD800 + (code >> 10);
        units[1] = 0xDC00 + (code & 0x3FF);
        count = 2;
        return 4;
    }
    units[0] = kInvalidByteUnit + lead;
    return 1;
}

// The length in UTF-16 units.
inline size_t utf16Length(std::string_view text) {
    auto *p = reinterpret_cast<const unsigned char *>(text.data());
    auto *end = p + text.size();
    size_t length = 0;
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            ++length;
            continue;
        }
        uint32_t units[2];
        unsigned count;
        p += decodeUnits(p, end, units, count);
        length += count;
    }
    return length;
}

// Whether a name is longer than `limit` UTF-16 units. A name has at least as many bytes
// as units, so a short one is not decoded.
inline bool longerThan(std::string_view name, size_t limit) {
    return name.size() > limit && utf16Length(name) > limit;
}

// The size Windows stores data in: string types as UTF-16, the others as given.
inline size_t storedDataSize(DWORD type, const std::vector<BYTE> &data) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return data.size();
    return 2 * utf16Length(std::string_view(reinterpret_cast<const char *>(data.data()), data.size()));
}

// Windows' uppercase of one UTF-16 unit (RtlUpcaseUnicodeChar). Units outside the table's
// range (the stand-ins for invalid bytes) stay as they are.
inline uint32_t upcaseUnit(uint32_t unit) {
    if (unit > 0xFFFF) return unit;
    const uint16_t delta = kUpcaseDeltas[kUpcaseIndex[unit >> kUpcaseBlockBits]]
                                        [unit & ((1u << kUpcaseBlockBits) - 1)];
    return (unit + delta) & 0xFFFF;
}

inline unsigned char upcaseAscii(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// Yields a name's units uppercased, one at a time; the units of a four-byte sequence
// come in two calls.
class FoldedUnits {
public:
    explicit FoldedUnits(std::string_view text)
        : p_(reinterpret_cast<const unsigned char *>(text.data())), end_(p_ + text.size()) {}
    // Moves to byte offset `skip`, which must start a sequence.
    FoldedUnits(std::string_view text, size_t skip) : FoldedUnits(text) { p_ += skip; }

    bool done() const { return pending_ == 0 && p_ == end_; }
    uint32_t next() {
        if (pending_) {
            pending_ = 0;
            return low_;
        }
        if (*p_ < 0x80) return upcaseAscii(*p_++);
        uint32_t units[2];
        unsigned count;
        p_ += decodeUnits(p_, end_, units, count);
        if (count == 2) {
            pending_ = 1;
            low_ = units[1];  // a low surrogate: no case
        }
        return upcaseUnit(units[0]);
    }

private:
    const unsigned char *p_;
    const unsigned char *end_;
    unsigned pending_ = 0;
    uint32_t low_ = 0;
};

// Eight ASCII bytes at a time: a name's runs of ASCII take this path, which neither
// decodes nor allocates. No unit above ASCII uppercases into ASCII (the generator checks),
// so equal names have the same leading ASCII bytes and leave the word path at the same
// offset. Names never hold a NUL byte, so C0 80 cannot meet one there.
namespace ascii {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = kOnes * 0x80;

inline uint64_t load(const char *p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read little-endian");

// The bytes of `text` from `from` on, fewer than eight, zero-padded. A name of eight bytes or
// more is read with one load that ends at its last byte.
inline uint64_t loadTail(std::string_view text, size_t from) {
    const size_t count = text.size() - from;
    if (count == 0) return 0;
    if (text.size() >= 8) return load(text.data() + text.size() - 8) >> (8 * (8 - count));
    // A short name: two loads that may overlap, each within the name.
    const char *p = text.data() + from;
    if (count >= 4) {
        uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + count - 4, 4);
        return low | (uint64_t{high} << (8 * (count - 4)));
    }
    auto byteAt = [&](size_t k) { return uint64_t{static_cast<unsigned char>(p[k])} << (8 * k); };
    return byteAt(0) | byteAt(count / 2) | byteAt(count - 1);
}

// Uppercases eight ASCII bytes.
inline uint64_t upcase(uint64_t word) {
    const uint64_t atLeastA = word + kOnes * (0x80 - 'a');
    const uint64_t pastZ = word + kOnes * (0x80 - 'z' - 1);
    return word - (((atLeastA & ~pastZ) & kHighBits) >> 2);
}

}  // namespace ascii

// Names compare as Windows compares them: unit by unit through the uppercase table. The
// common case, ASCII read a word at a time, is inline; the rest of a name from the first word
// that is not ASCII on is taken out of line.
constexpr uint64_t kNameHashStart = 1469598103934665603ull;
constexpr uint64_t kNameHashPrime = 1099511628211ull;

// The hash `h` of a name's first `from` bytes, continued over the rest.
uint64_t continueNameHash(std::string_view s, size_t from, uint64_t h) noexcept;
// Whether two names, equal in their first `from` bytes, are equal.
bool continueNamesEqual(std::string_view a, std::string_view b, size_t from) noexcept;

struct CaseInsensitiveHash {
    size_t operator()(std::string_view s) const noexcept {
        uint64_t h = kNameHashStart;
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            const uint64_t word = ascii::load(s.data() + i);
            if (word & ascii::kHighBits) return static_cast<size_t>(continueNameHash(s, i, h));
            h = (h ^ ascii::upcase(word)) * kNameHashPrime;
        }
        if (i < s.size()) {
            // An ASCII tail of fewer than eight bytes, as one word.
            const uint64_t tail = ascii::loadTail(s, i);
            if (tail & ascii::kHighBits) return static_cast<size_t>(continueNameHash(s, i, h));
            h = (h ^ ascii::upcase(tail)) * kNameHashPrime;
        }
        return static_cast<size_t>(h);
    }
};

struct CaseInsensitiveEqual {
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        if (a.size() != b.size()) return continueNamesEqual(a, b, 0);
        size_t i = 0;
        for (; i + 8 <= a.size(); i += 8) {
            const uint64_t x = ascii::load(a.data() + i);
            const uint64_t y = ascii::load(b.data() + i);
            if ((x | y) & ascii::kHighBits) return continueNamesEqual(a, b, i);
            if (x != y && ascii::upcase(x) != ascii::upcase(y)) return false;
        }
        if (i == a.size()) return true;
        const uint64_t x = ascii::loadTail(a, i);
        const uint64_t y = ascii::loadTail(b, i);
        if ((x | y) & ascii::kHighBits) return continueNamesEqual(a, b, i);
        return x == y || ascii::upcase(x) == ascii::upcase(y);
    }
};

inline bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return CaseInsensitiveEqual()(a, b);
}
// A subkey path's names. Paths of up to kInPlace names, nearly all of them, are held in
// place, in storage left uninitialised until a name is added: opening a key neither
// allocates nor clears anything.
class Path {
public:
    static constexpr size_t kInPlace = 16;

    Path() {}
    template <class Iterator>
    Path(Iterator first, Iterator last) {
        for (; first != last; ++first) push_back(*first);
    }
    Path(const Path &) = delete;
    Path &operator=(const Path &) = delete;

    void push_back(std::string_view name) {
        if (size_ == kInPlace) spilled_.assign(inPlace_, inPlace_ + kInPlace);
        if (size_ >= kInPlace) spilled_.push_back(Name{name.data(), name.size()});
        else inPlace_[size_] = Name{name.data(), name.size()};
        ++size_;
    }
    void clear() {
        size_ = 0;
        spilled_.clear();
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view operator[](size_t i) const {
        const Name &name = size_ > kInPlace ? spilled_[i] : inPlace_[i];
        return std::string_view(name.data, name.size);
    }

private:
    struct Name {  // no initialiser, so that an array of them costs nothing to make
        const char *data;
        size_t size;
    };
    Name inPlace_[kInPlace];
    std::vector<Name> spilled_;  // all the names, once there are more
    size_t size_ = 0;
};

// Splits a subkey path into names. NULL and "" give no names. Empty names inside or at the
// end (two backslashes in a row, trailing backslashes) are skipped, as Windows skips them;
// a leading backslash gives ERROR_BAD_PATHNAME, a name longer than 255 UTF-16 units
// ERROR_INVALID_PARAMETER. The names point into `text`.
LONG splitPath(const char *text, Path &out);
LONG splitPath(std::string_view text, Path &out);

// Counts of lengths, so the longest stays known as entries come and go: O(log n) each.
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
