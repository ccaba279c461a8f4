// A map from names, compared as Windows compares them, to entries: the subkeys of a key and
// the positions of its values.
#ifndef REGEMU_NAME_INDEX_H
#define REGEMU_NAME_INDEX_H

#include "names.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace regemu {

// Open addressing with linear probing. Each slot keeps its name's hash, so a lookup compares
// names only where the hashes agree; the number of slots is a power of two, so the first
// slot to look at comes from a mask, not a division. At most three quarters of the slots are
// used. The names are views: each must outlive its entry (it is the entry's own name).
template <class T>
class NameIndex {
public:
    T *find(std::string_view name) {
        const size_t i = slotOf(name);
        return i == kNone ? nullptr : &slots_[i].value;
    }
    const T *find(std::string_view name) const {
        const size_t i = slotOf(name);
        return i == kNone ? nullptr : &slots_[i].value;
    }

    // Adds an entry for a name that is not in the index yet.
    T &insert(std::string_view name, T value) {
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        const uint64_t hash = hashOf(name);
        size_t i = hash & mask();
        while (slots_[i].used) i = (i + 1) & mask();
        slots_[i] = Slot{hash, name, std::move(value), true};
        ++size_;
        return slots_[i].value;
    }

    bool erase(std::string_view name) {
        size_t hole = slotOf(name);
        if (hole == kNone) return false;
        // Moves later entries of the same run back into the hole, so that no lookup meets
        // an empty slot before its entry.
        for (size_t next = (hole + 1) & mask(); slots_[next].used; next = (next + 1) & mask()) {
            const size_t home = slots_[next].hash & mask();
            const bool homeAfterHole = hole <= next ? (home > hole && home <= next)
                                                    : (home > hole || home <= next);
            if (homeAfterHole) continue;
            slots_[hole] = std::move(slots_[next]);
            hole = next;
        }
        slots_[hole] = Slot{};
        --size_;
        return true;
    }

    void clear() {
        slots_.clear();
        size_ = 0;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Calls `visit(value)` for each entry, in no particular order.
    template <class Visit>
    void forEach(Visit &&visit) {
        for (Slot &slot : slots_) {
            if (slot.used) visit(slot.value);
        }
    }

private:
    struct Slot {
        uint64_t hash = 0;
        std::string_view name;
        T value{};
        bool used = false;
    };

    static constexpr size_t kNone = SIZE_MAX;

    size_t slotOf(std::string_view name) const {
        if (size_ == 0) return kNone;
        const uint64_t hash = hashOf(name);
        for (size_t i = hash & mask();; i = (i + 1) & mask()) {
            const Slot &slot = slots_[i];
            if (!slot.used) return kNone;
            if (slot.hash == hash && CaseInsensitiveEqual()(slot.name, name)) return i;
        }
    }

    // The name hash, its bits mixed so that the low ones, which pick the slot, depend on all
    // of the name (the name hash takes eight bytes at a time).
    static uint64_t hashOf(std::string_view name) {
        uint64_t h = CaseInsensitiveHash()(name);
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        return h;
    }
    size_t mask() const { return slots_.size() - 1; }

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 8 : slots_.size() * 2);
        old.swap(slots_);
        for (Slot &slot : old) {
            if (!slot.used) continue;
            size_t i = slot.hash & mask();
            while (slots_[i].used) i = (i + 1) & mask();
            slots_[i] = std::move(slot);
        }
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
};

}  // namespace regemu

#endif
