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
    LONG add(std::shared_ptr<Key> key, REGSAM access, HKEY *out);
    bool get(HKEY handle, std::shared_ptr<Key> &key, REGSAM &access);
    bool remove(HKEY handle);
    DWORD openCount();

private:
    static constexpr unsigned kShards = 16;
    static constexpr uint32_t kMaxPerShard = 1u << 22;

    struct Entry {
        std::shared_ptr<Key> key;
        REGSAM access = 0;
        bool used = false;
    };
    struct alignas(64) Shard {
        std::mutex mutex;
        std::vector<Entry> entries;
        std::vector<uint32_t> unused;  // reused last-closed first
        DWORD open = 0;
    };

    Shard *locate(HKEY handle, uint32_t &index);

    Shard shards_[kShards];
};

}  // namespace regemu

#endif
