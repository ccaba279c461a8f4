#include "handles.h"

namespace regemu {

HandleTable::~HandleTable() {
    for (Shard &shard : shards_) {
        for (auto &block : shard.blocks) delete[] block.load(std::memory_order_relaxed);
    }
}

// Block b holds the indices from 64 * (2^b - 1) on, 64 * 2^b of them.
HandleTable::Entry *HandleTable::entryAt(Shard &shard, uint32_t index) {
    const uint32_t blockNumber = 31 - static_cast<uint32_t>(__builtin_clz(index / kFirstBlockSize + 1));
    Entry *block = shard.blocks[blockNumber].load(std::memory_order_acquire);
    if (!block) return nullptr;
    return &block[index - kFirstBlockSize * ((1u << blockNumber) - 1)];
}

// value = 4 * (1 + shard + kShards * index)
HandleTable::Entry *HandleTable::locate(HKEY handle, Shard *&shard, uint32_t &index) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value % 4 != 0 || value > 0x7FFFFFFFu) return nullptr;
    const uintptr_t n = value / 4 - 1;
    index = static_cast<uint32_t>(n / kShards);
    shard = &shards_[n % kShards];
    if (index >= kMaxPerShard) return nullptr;
    return entryAt(*shard, index);
}

LONG HandleTable::add(const std::shared_ptr<Key> &key, REGSAM access, uint32_t era, HKEY *out) {
    const unsigned shardNumber = threadNumber() % kShards;
    Shard &shard = shards_[shardNumber];
    uint32_t index;
    std::shared_ptr<Key> previous;  // a last reference is dropped outside the lock
    {
        std::lock_guard<SpinLock> lock(shard.lock);
        if (shard.firstUnused != kNoEntry) {
            index = shard.firstUnused;
            shard.firstUnused = entryAt(shard, index)->nextUnused;
        } else {
            if (shard.size >= kMaxPerShard) return ERROR_NOT_ENOUGH_MEMORY;
            index = shard.size;
            const uint32_t blockNumber = 31 - static_cast<uint32_t>(__builtin_clz(index / kFirstBlockSize + 1));
            if (!shard.blocks[blockNumber].load(std::memory_order_relaxed)) {
                shard.blocks[blockNumber].store(new Entry[kFirstBlockSize << blockNumber],
                                                std::memory_order_release);
            }
            ++shard.size;
        }
        Entry &entry = *entryAt(shard, index);
        if (entry.key != key) {
            previous = std::move(entry.key);
            entry.key = key;
        }
        entry.access = access;
        entry.era = era;
        entry.state.store(0, std::memory_order_release);
        ++shard.open;
    }
    const uintptr_t value = 4 * (1 + shardNumber + uintptr_t{kShards} * index);
    *out = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

bool HandleTable::use(HKEY handle, Use &out) {
    Shard *shard;
    uint32_t index;
    Entry *entry = locate(handle, shard, index);
    if (!entry) return false;
    uint32_t state = entry->state.load(std::memory_order_relaxed);
    do {
        if (state & kClosed) return false;
    } while (!entry->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
    out.release();
    out.entry_ = entry;
    return true;
}

bool HandleTable::remove(HKEY handle) {
    Shard *shard;
    uint32_t index;
    Entry *entry = locate(handle, shard, index);
    if (!entry) return false;
    // One close wins. The lock is not held while waiting: a call using this handle may
    // need it to open another key.
    uint32_t state = entry->state.fetch_or(kClosed, std::memory_order_acq_rel);
    if (state & kClosed) return false;
    state |= kClosed;
    // Only calls racing the close on the same handle are in progress here; they are short.
    while (state != kClosed) {
        std::this_thread::yield();
        state = entry->state.load(std::memory_order_acquire);
    }
    entry->access = 0;
    std::lock_guard<SpinLock> lock(shard->lock);
    entry->nextUnused = shard->firstUnused;
    shard->firstUnused = index;
    --shard->open;
    return true;
}

DWORD HandleTable::openCount() {
    DWORD total = 0;
    for (Shard &shard : shards_) {
        std::lock_guard<SpinLock> lock(shard.lock);
        total += shard.open;
    }
    return total;
}

}  // namespace regemu
