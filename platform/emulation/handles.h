// Handles of opened keys: small values (multiples of 4) that fit in 31 bits, so they
// survive a trip through a Java int, and are reused after close as Windows does.
#ifndef REGEMU_HANDLES_H
#define REGEMU_HANDLES_H

#include "regemu.h"
#include "tree.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace regemu {

// A lock for a few instructions, rarely contended: one atomic exchange to take, a plain
// store to give back (a std::mutex pays an atomic operation for each).
class SpinLock {
public:
    void lock() {
        if (processIsSingleThreaded()) {
            held_.store(true, std::memory_order_relaxed);
            return;
        }
        while (held_.exchange(true, std::memory_order_acquire)) {
            while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
        }
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// Sharded by thread: a thread opens in its own shard, so threads opening and closing keys at
// the same time rarely share a lock. The shard is encoded in the handle value. A thread keeps
// the last few entries it closed for its next opens, which then take no lock at all.
// Using a handle takes no lock: it counts itself on the handle's own entry, and a close waits
// for the uses in progress before the entry can be reused.
class HandleTable {
    struct Entry;

public:
    // One call's use of an open handle: the key, its rights and era stay as they were when
    // opened until the use ends, even if another thread closes the handle meanwhile.
    class Use {
    public:
        Use() = default;
        ~Use() { release(); }
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;

        Key *key() const { return entry_->key.get(); }
        const std::shared_ptr<Key> &owner() const { return entry_->key; }
        REGSAM access() const { return entry_->access; }
        uint32_t era() const { return entry_->era; }

    private:
        friend class HandleTable;
        void release() {
            if (!entry_) return;
            if (processIsSingleThreaded()) {
                entry_->state.store(entry_->state.load(std::memory_order_relaxed) - 1,
                                    std::memory_order_relaxed);
            } else {
                entry_->state.fetch_sub(1, std::memory_order_release);
            }
            entry_ = nullptr;
        }
        Entry *entry_ = nullptr;
    };

    HandleTable() = default;
    ~HandleTable();
    HandleTable(const HandleTable &) = delete;
    HandleTable &operator=(const HandleTable &) = delete;

    // ERROR_NOT_ENOUGH_MEMORY once a shard is full.
    LONG add(const std::shared_ptr<Key> &key, REGSAM access, uint32_t era, HKEY *out);
    // False for a value that is not an open handle.
    bool use(HKEY handle, Use &out);
    bool remove(HKEY handle);
    DWORD openCount();

    // Entries a thread has closed and kept for its own next opens, last closed first.
    struct KeptEntries {
        static constexpr unsigned kMax = 4;
        HandleTable *table = nullptr;  // set once the thread keeps any
        unsigned count = 0;
        uint32_t shard[kMax] = {};
        uint32_t index[kMax] = {};
    };
    // Gives a thread's kept entries back to their shards.
    void giveBack(KeptEntries &kept);

private:
    static constexpr unsigned kShards = 16;
    static constexpr uint32_t kMaxPerShard = 1u << 22;
    // Entries live in blocks of 64, 128, 256... entries, so an entry never moves once made.
    static constexpr uint32_t kFirstBlockSize = 64;
    static constexpr unsigned kBlocks = 17;  // 64 * (2^17 - 1) >= kMaxPerShard
    static constexpr uint32_t kNoEntry = UINT32_MAX;
    static constexpr uint32_t kClosed = 1u << 31;

    // A cache line each, so uses of different handles never write a shared line.
    struct alignas(64) Entry {
        // kClosed, plus the number of uses in progress. A use counts itself only while the
        // bit is clear; a close sets it and waits for the count to drain. The fields below
        // change only while the entry is closed and unused.
        std::atomic<uint32_t> state{kClosed};
        // Kept after a close: the next open of the same key in this entry, the usual case,
        // then costs no reference count. A deleted key stays allocated (emptied) until then.
        std::shared_ptr<Key> key;
        REGSAM access = 0;
        uint32_t era = 0;                // of the key, when opened
        uint32_t nextUnused = kNoEntry;  // guarded by the shard's lock
    };
    struct alignas(64) Shard {
        SpinLock lock;
        std::atomic<Entry *> blocks[kBlocks] = {};  // made under the lock, read without it
        uint32_t size = 0;                          // entries made so far
        uint32_t firstUnused = kNoEntry;            // closed entries, last closed first
    };

    // The entry of an index, or null when its block is not made yet.
    static Entry *entryAt(Shard &shard, uint32_t index);
    Entry *locate(HKEY handle, Shard *&shard, uint32_t &index);
    void free(Shard &shard, uint32_t index);

    Shard shards_[kShards];
};

}  // namespace regemu

#endif
