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

namespace {

// The calling thread's kept entries; trivially made, so reading them needs no guard.
thread_local HandleTable::KeptEntries keptEntries;

// Gives the thread's kept entries back when the thread ends.
struct KeptEntriesReturn {
    ~KeptEntriesReturn() {
        if (keptEntries.table) keptEntries.table->giveBack(keptEntries);
    }
};

}  // namespace

LONG HandleTable::add(const std::shared_ptr<Key> &key, REGSAM access, uint32_t era, HKEY *out) {
    KeptEntries &kept = keptEntries;
    unsigned shardNumber;
    uint32_t index;
    Entry *entry;
    std::shared_ptr<Key> previous;  // a last reference is dropped outside the lock
    if (kept.count > 0 && kept.table == this) {
        // Closed and drained by this thread, and on no list: this thread's alone.
        --kept.count;
        shardNumber = kept.shard[kept.count];
        index = kept.index[kept.count];
        entry = entryAt(shards_[shardNumber], index);
    } else {
        shardNumber = threadNumber() % kShards;
        Shard &shard = shards_[shardNumber];
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
        entry = entryAt(shard, index);
    }
    if (entry->key != key) {
        previous = std::move(entry->key);
        entry->key = key;
    }
    entry->access = access;
    entry->era = era;
    entry->state.store(0, std::memory_order_release);
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
    if (processIsSingleThreaded()) {
        if (state & kClosed) return false;
        entry->state.store(state + 1, std::memory_order_relaxed);
    } else {
        do {
            if (state & kClosed) return false;
        } while (!entry->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                     std::memory_order_relaxed));
    }
    out.release();
    out.entry_ = entry;
    return true;
}

bool HandleTable::remove(HKEY handle) {
    Shard *shard;
    uint32_t index;
    Entry *entry = locate(handle, shard, index);
    if (!entry) return false;
    // One close wins. No lock is held while waiting: a call using this handle may need one
    // to open another key.
    uint32_t state;
    if (processIsSingleThreaded()) {
        state = entry->state.load(std::memory_order_relaxed);
        if (state & kClosed) return false;
        entry->state.store(state | kClosed, std::memory_order_relaxed);
    } else {
        state = entry->state.fetch_or(kClosed, std::memory_order_acq_rel);
        if (state & kClosed) return false;
    }
    state |= kClosed;
    // Only calls racing the close on the same handle are in progress here; they are short.
    while (state != kClosed) {
        std::this_thread::yield();
        state = entry->state.load(std::memory_order_acquire);
    }
    entry->access = 0;
    KeptEntries &kept = keptEntries;
    if (kept.count < KeptEntries::kMax && (kept.table == this || !kept.table)) {
        if (!kept.table) {
            thread_local KeptEntriesReturn giveBackAtExit;
            (void)giveBackAtExit;
            kept.table = this;
        }
        kept.shard[kept.count] = static_cast<uint32_t>(shard - shards_);
        kept.index[kept.count] = index;
        ++kept.count;
        return true;
    }
    free(*shard, index);
    return true;
}

void HandleTable::free(Shard &shard, uint32_t index) {
    std::lock_guard<SpinLock> lock(shard.lock);
    entryAt(shard, index)->nextUnused = shard.firstUnused;
    shard.firstUnused = index;
}

void HandleTable::giveBack(KeptEntries &kept) {
    while (kept.count > 0) {
        --kept.count;
        free(shards_[kept.shard[kept.count]], kept.index[kept.count]);
    }
}

DWORD HandleTable::openCount() {
    DWORD total = 0;
    for (Shard &shard : shards_) {
        uint32_t size;
        {
            std::lock_guard<SpinLock> lock(shard.lock);
            size = shard.size;
        }
        for (uint32_t index = 0; index < size; ++index) {
            const Entry *entry = entryAt(shard, index);
            total += !(entry->state.load(std::memory_order_acquire) & kClosed);
        }
    }
    return total;
}

}  // namespace regemu
