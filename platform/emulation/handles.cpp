#include "handles.h"

namespace regemu {

// value = 4 * (1 + shard + kShards * index)
HandleTable::Shard *HandleTable::locate(HKEY handle, uint32_t &index) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 4 != 0 || value > 0x7FFFFFFFu) return nullptr;
    const uintptr_t n = value / 4 - 1;
    index = static_cast<uint32_t>(n / kShards);
    return &shards_[n % kShards];
}

LONG HandleTable::add(std::shared_ptr<Key> key, REGSAM access, uint32_t era, HKEY *out) {
    const unsigned shardNumber = threadNumber() % kShards;
    Shard &shard = shards_[shardNumber];
    uint32_t index;
    {
        std::lock_guard<std::mutex> lock(shard.mutex);
        if (shard.firstUnused != kNoEntry) {
            index = shard.firstUnused;
            shard.firstUnused = shard.entries[index].nextUnused;
        } else {
            if (shard.entries.size() >= kMaxPerShard) return ERROR_NOT_ENOUGH_MEMORY;
            shard.entries.emplace_back();
            index = static_cast<uint32_t>(shard.entries.size() - 1);
        }
        Entry &entry = shard.entries[index];
        entry.key = std::move(key);
        entry.access = access;
        entry.era = era;
        entry.used = true;
        ++shard.open;
    }
    const uintptr_t value = 4 * (1 + shardNumber + uintptr_t{kShards} * index);
    *out = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

bool HandleTable::get(HKEY handle, std::shared_ptr<Key> &key, REGSAM &access, uint32_t &era) {
    uint32_t index;
    Shard *shard = locate(handle, index);
    if (!shard) return false;
    std::lock_guard<std::mutex> lock(shard->mutex);
    if (index >= shard->entries.size() || !shard->entries[index].used) return false;
    key = shard->entries[index].key;
    access = shard->entries[index].access;
    era = shard->entries[index].era;
    return true;
}

bool HandleTable::remove(HKEY handle) {
    uint32_t index;
    Shard *shard = locate(handle, index);
    if (!shard) return false;
    std::shared_ptr<Key> released;  // a last reference is dropped outside the lock
    {
        std::lock_guard<std::mutex> lock(shard->mutex);
        if (index >= shard->entries.size() || !shard->entries[index].used) return false;
        Entry &entry = shard->entries[index];
        released = std::move(entry.key);
        entry.used = false;
        entry.access = 0;
        entry.nextUnused = shard->firstUnused;
        shard->firstUnused = index;
        --shard->open;
    }
    return true;
}

DWORD HandleTable::openCount() {
    DWORD total = 0;
    for (Shard &shard : shards_) {
        std::lock_guard<std::mutex> lock(shard.mutex);
        total += shard.open;
    }
    return total;
}

}  // namespace regemu
