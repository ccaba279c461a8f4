// The key tree. Structure (children, parent, denials) is guarded by the TreeLock; the values
// of each key by that key's own reader/writer lock, so calls on different keys do not meet.
#ifndef REGEMU_TREE_H
#define REGEMU_TREE_H

#include "name_index.h"
#include "names.h"
#include "regemu.h"

#include <atomic>
#include <cstdint>
#if defined(__GLIBC__) && __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

namespace regemu {

// Whether the process runs one thread only. Then no other thread can race this one, and a
// thread started later sees all it did (starting a thread orders memory), so the atomic
// read-modify-write instructions of an uncontended lock can be plain loads and stores, as
// glibc's own locks and libstdc++'s reference counts do in such a process.
inline bool processIsSingleThreaded() {
#if defined(__GLIBC__) && __has_include(<sys/single_threaded.h>)
    return __libc_single_threaded;
#else
    return false;
#endif
}

// A small number fixed for the life of the calling thread, used to spread threads over
// lock slots and handle shards.
unsigned threadNumber();

// The threads that read the tree or a key's values. Each has marks of its own on a cache
// line of its own, written only by it: a reader raises a mark with one atomic exchange and
// lowers it with a plain store, so readers on different threads share no written line and
// pay one atomic instruction, not two. A writer announces itself, then waits until no
// thread's mark shows a reader; a reader that sees the announcement lowers its mark and
// waits for the writer to finish.
class Readers {
public:
    struct alignas(64) Marks {
        std::atomic<unsigned> treeDepth{0};         // TreeLock::Shared held (they may nest)
        std::atomic<const void *> values{nullptr};  // the ValuesLock read under, if any
    };
    // The calling thread's marks.
    static Marks &mine();
    // Raises `mark` to `value` once no writer is announced in `writing`.
    template <class T>
    static void raise(std::atomic<T> &mark, T value, const std::atomic<bool> &writing) {
        if (processIsSingleThreaded()) {
            mark.store(value, std::memory_order_relaxed);
            return;
        }
        while (true) {
            // The exchange orders the mark before the look at `writing`, as a writer orders
            // its announcement before its look at the marks.
            mark.exchange(value, std::memory_order_seq_cst);
            if (!writing.load(std::memory_order_seq_cst)) return;
            mark.store(T{}, std::memory_order_release);
            while (writing.load(std::memory_order_acquire)) std::this_thread::yield();
        }
    }
    // Sets `writing`, then waits until no thread reads the tree (`valuesLock` null) or
    // reads under `valuesLock`.
    static void announceAndWait(std::atomic<bool> &writing, const void *valuesLock);
};

// The tree's structure: many readers, rare writers, one at a time.
class TreeLock {
public:
    class Shared {
    public:
        explicit Shared(TreeLock &lock);
        ~Shared();
        Shared(const Shared &) = delete;
        Shared &operator=(const Shared &) = delete;

    private:
        std::atomic<unsigned> &depth_;
    };

    class Exclusive {
    public:
        explicit Exclusive(TreeLock &lock);
        ~Exclusive();
        Exclusive(const Exclusive &) = delete;
        Exclusive &operator=(const Exclusive &) = delete;

    private:
        TreeLock &lock_;
    };

private:
    std::mutex writers_;
    std::atomic<bool> writing_{false};
};

// A key's values: many readers, one writer at a time (std::unique_lock for writers). A
// thread reads under one ValuesLock at a time.
class ValuesLock {
public:
    class Shared {
    public:
        explicit Shared(const ValuesLock &lock) : mark_(Readers::mine().values) {
            Readers::raise<const void *>(mark_, &lock, lock.writing_);
        }
        ~Shared() { mark_.store(nullptr, std::memory_order_release); }
        Shared(const Shared &) = delete;
        Shared &operator=(const Shared &) = delete;

    private:
        std::atomic<const void *> &mark_;
    };

    void lock() {
        writers_.lock();
        Readers::announceAndWait(writing_, this);
    }
    void unlock() {
        writing_.store(false, std::memory_order_release);
        writers_.unlock();
    }

private:
    std::mutex writers_;
    std::atomic<bool> writing_{false};
};

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// Now as a FILETIME count: 100 ns units since 1601-01-01 UTC.
uint64_t fileTimeNow();

struct alignas(64) Key {
    Key(std::string keyName, Key *parentKey, bool root = false, bool volatileKey = false,
        std::string keyClass = std::string())
        : name(std::move(keyName)), isRoot(root), isVolatile(volatileKey),
          className(std::move(keyClass)), parent(parentKey) {}

    const std::string name;
    const bool isRoot;
    const bool isVolatile;  // created with REG_OPTION_VOLATILE: its subkeys must be too
    const std::string className;  // given when the key was created
    // When the key was created or last had a value or a subkey added or removed, as a
    // FILETIME count. Written by whoever makes the change, under the lock that change
    // takes; read without a lock.
    std::atomic<uint64_t> lastWrite{fileTimeNow()};
    void touch() { lastWrite.store(fileTimeNow(), std::memory_order_relaxed); }
    // How often a root has been emptied by a reset. A handle opened on a root before a
    // reset refers to the root as it was, which counts as deleted.
    std::atomic<uint32_t> era{0};

    // Guarded by the TreeLock.
    Key *parent;
    NameIndex<std::shared_ptr<Key>> children;  // keyed by a view of the child's own name
    LengthHistogram childNameLengths;
    LengthHistogram childClassLengths;
    REGSAM denied = 0;

    // Written holding both the TreeLock and valuesLock, so either lock suffices to read.
    std::atomic<bool> deleted{false};

    // Guarded by valuesLock. Values keep their insertion order; the index maps a view of
    // each value's name to its position.
    mutable ValuesLock valuesLock;
    std::vector<std::unique_ptr<Value>> values;
    NameIndex<size_t> valueIndex;
    LengthHistogram valueNameLengths;
    LengthHistogram valueDataSizes;

    // These expect valuesLock held (shared for find, exclusive for the others).
    const Value *findValue(std::string_view valueName) const;
    void setValue(std::string_view valueName, DWORD type, std::vector<BYTE> &&data);
    bool deleteValue(std::string_view valueName);
    void clearValues();
};

// Tree operations; the caller holds the TreeLock (shared for lookups, exclusive to change).
const std::shared_ptr<Key> *findChild(const Key &parent, std::string_view childName);

struct Walk {
    Key *deepest;                        // the last key found along the path
    const std::shared_ptr<Key> *found;   // that key's owning pointer, when not the start
    size_t matched;                      // how many names of the path were found
};
Walk walkPath(Key &start, const Path &path);

const std::shared_ptr<Key> &addChild(Key &parent, std::string_view childName,
                                     bool isVolatile = false, std::string_view className = {});
// Detaches the child from its parent and marks it and everything below it deleted.
void deleteChild(Key &parent, std::string_view childName);
// Deletes every subkey of the key, which stays.
void deleteChildren(Key &key);
// Deletes every value and every subkey of the key, which stays.
void emptyKey(Key &key);

}  // namespace regemu

#endif
