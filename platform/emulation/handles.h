// Handles of opened keys: small values (multiples of 4) that fit in 31 bits, so they
// survive a trip through a Java int, and are reused after close as Windows does.
#ifndef REGEMU_HANDLES_H
#define REGEMU_HANDLES_H

#include "regemu.h"
#include "tree.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace regemu {

// Sharded by thread: a thread allocates from its own shard, so threads opening and closing
// keys at the same time rarely share a lock. The shard is encoded in the handle value.
class HandleTable {
public:
    // ERROR_NOT_ENOUGH_MEMORY once a shard is full.
    LONG add(std::shared_ptr<Key> key, REGSAM access, uint32_t era, HKEY *out);
    bool get(HKEY handle, std::shared_ptr<Key> &key, REGSAM &access, uint32_t &era);
    bool remove(HKEY handle);
    DWORD openCount();

private:
    static constexpr unsigned kShards = 16;
    static constexpr uint32_t kMaxPerShard = 1u << 22;

    static constexpr uint32_t kNoEntry = UINT32_MAX;

    // A cache line each, so threads working in different shards never write a shared line.
    struct alignas(64) Entry {
        std::shared_ptr<Key> key;
        REGSAM access = 0;
        uint32_t era = 0;  // of the key, when opened
        bool used = false;
        uint32_t nextUnused = kNoEntry;
    };
    struct alignas(64) Shard {
        std::mutex mutex;
        std::vector<Entry> entries;
        uint32_t firstUnused = kNoEntry;  // closed entries, last closed first
        DWORD open = 0;
    };

    Shard *locate(HKEY handle, uint32_t &index);

    Shard shards_[kShards];
};

}  // namespace regemu

#endif
