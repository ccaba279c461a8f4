#include "tree.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace regemu {

unsigned threadNumber() {
    static std::atomic<unsigned> next{0};
    // Numbered from 1 on first use; a constant initial value needs no guard on each read.
    thread_local unsigned mine = 0;
    if (mine == 0) mine = next.fetch_add(1, std::memory_order_relaxed) + 1;
    return mine - 1;
}

namespace {

// Every thread's marks, for writers to look at.
struct ReaderList {
    std::mutex mutex;
    std::vector<Readers::Marks *> marks;
};

ReaderList &readerList() {
    static ReaderList *const list = new ReaderList();  // left reachable, as the state is
    return *list;
}

// The calling thread's marks; a plain pointer, so the common case reads it with no guard.
thread_local Readers::Marks *localMarks = nullptr;

// Takes the thread's marks off the list when the thread ends.
struct MarksRetirer {
    bool registered = false;
    ~MarksRetirer() {
        if (!registered) return;
        ReaderList &list = readerList();
        {
            std::lock_guard<std::mutex> lock(list.mutex);
            list.marks.erase(std::remove(list.marks.begin(), list.marks.end(), localMarks),
                             list.marks.end());
        }
        delete localMarks;
        localMarks = nullptr;
    }
};

}  // namespace

Readers::Marks &Readers::mine() {
    if (localMarks) return *localMarks;
    thread_local MarksRetirer retirer;
    auto marks = std::make_unique<Marks>();
    ReaderList &list = readerList();
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        list.marks.push_back(marks.get());
    }
    retirer.registered = true;
    localMarks = marks.release();
    return *localMarks;
}

void Readers::announceAndWait(std::atomic<bool> &writing, const void *valuesLock) {
    // The list is held from before the announcement, so a thread that registers afterwards
    // sees it. Readers never wait for the list while marked, so holding it cannot deadlock.
    ReaderList &list = readerList();
    std::lock_guard<std::mutex> lock(list.mutex);
    writing.store(true, std::memory_order_seq_cst);
    for (const Marks *marks : list.marks) {
        auto reading = [&] {
            return valuesLock ? marks->values.load(std::memory_order_seq_cst) == valuesLock
                              : marks->treeDepth.load(std::memory_order_seq_cst) != 0;
        };
        while (reading()) std::this_thread::yield();
    }
}

TreeLock::Shared::Shared(TreeLock &lock) : depth_(Readers::mine().treeDepth) {
    const unsigned held = depth_.load(std::memory_order_relaxed);
    // Already reading (a nested lock): a writer waits for this thread anyway.
    if (held > 0) {
        depth_.store(held + 1, std::memory_order_relaxed);
        return;
    }
    Readers::raise(depth_, 1u, lock.writing_);
}

TreeLock::Shared::~Shared() {
    depth_.store(depth_.load(std::memory_order_relaxed) - 1, std::memory_order_release);
}

TreeLock::Exclusive::Exclusive(TreeLock &lock) : lock_(lock) {
    lock_.writers_.lock();
    Readers::announceAndWait(lock_.writing_, nullptr);
}

TreeLock::Exclusive::~Exclusive() {
    lock_.writing_.store(false, std::memory_order_release);
    lock_.writers_.unlock();
}

const Value *Key::findValue(std::string_view valueName) const {
    const size_t *position = valueIndex.find(valueName);
    return position ? values[*position].get() : nullptr;
}

void Key::setValue(std::string_view valueName, DWORD type, std::vector<BYTE> &&data) {
    touch();
    if (const size_t *position = valueIndex.find(valueName)) {
        Value &value = *values[*position];
        valueDataSizes.remove(storedDataSize(value.type, value.data));
        valueDataSizes.add(storedDataSize(type, data));
        value.type = type;
        value.data.swap(data);
        return;
    }
    auto value = std::make_unique<Value>();
    value->name.assign(valueName);
    value->type = type;
    value->data.swap(data);
    values.push_back(nullptr);
    try {
        valueIndex.insert(value->name, values.size() - 1);
    } catch (...) {
        values.pop_back();
        throw;
    }
    values.back() = std::move(value);
    valueNameLengths.add(utf16Length(values.back()->name));
    valueDataSizes.add(storedDataSize(values.back()->type, values.back()->data));
}

bool Key::deleteValue(std::string_view valueName) {
    const size_t *found = valueIndex.find(valueName);
    if (!found) return false;
    touch();
    const size_t position = *found;
    valueIndex.erase(valueName);
    valueNameLengths.remove(utf16Length(values[position]->name));
    valueDataSizes.remove(storedDataSize(values[position]->type, values[position]->data));
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(position));
    for (size_t i = position; i < values.size(); ++i) *valueIndex.find(values[i]->name) = i;
    return true;
}

void Key::clearValues() {
    if (!values.empty()) touch();
    valueIndex.clear();
    values.clear();
    valueNameLengths.clear();
    valueDataSizes.clear();
}

const std::shared_ptr<Key> *findChild(const Key &parent, std::string_view childName) {
    return parent.children.find(childName);
}

Walk walkPath(Key &start, const Path &path) {
    Walk walk{&start, nullptr, 0};
    for (size_t part = 0; part < path.size(); ++part) {
        const std::shared_ptr<Key> *child = findChild(*walk.deepest, path[part]);
        if (!child) break;
        walk.deepest = child->get();
        walk.found = child;
        ++walk.matched;
    }
    return walk;
}

uint64_t fileTimeNow() {
    using namespace std::chrono;
    constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;
    const auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return kSecondsFrom1601To1970 * 10000000ull + static_cast<uint64_t>(since1970) / 100;
}

const std::shared_ptr<Key> &addChild(Key &parent, std::string_view childName, bool isVolatile,
                                     std::string_view className) {
    auto child = std::make_shared<Key>(std::string(childName), &parent, false, isVolatile,
                                       std::string(className));
    std::string_view name = child->name;
    const std::shared_ptr<Key> &inserted = parent.children.insert(name, std::move(child));
    parent.childNameLengths.add(utf16Length(name));
    parent.childClassLengths.add(utf16Length(className));
    parent.touch();
    return inserted;
}

namespace {

// Marks a detached subtree deleted, level by level rather than recursively, so depth
// cannot exhaust the stack. Keys still held by handles survive, empty and deleted.
void destroyDetached(std::shared_ptr<Key> top) {
    std::vector<std::shared_ptr<Key>> pending;
    pending.push_back(std::move(top));
    while (!pending.empty()) {
        std::shared_ptr<Key> key = std::move(pending.back());
        pending.pop_back();
        {
            std::unique_lock<ValuesLock> values(key->valuesLock);
            key->deleted.store(true, std::memory_order_relaxed);
            key->clearValues();
        }
        key->children.forEach([&](const std::shared_ptr<Key> &child) { pending.push_back(child); });
        key->children.clear();
        key->childNameLengths.clear();
        key->childClassLengths.clear();
        key->parent = nullptr;
        key->denied = 0;
    }
}

}  // namespace

void deleteChild(Key &parent, std::string_view childName) {
    const std::shared_ptr<Key> *found = parent.children.find(childName);
    if (!found) return;
    std::shared_ptr<Key> child = *found;
    parent.childNameLengths.remove(utf16Length(child->name));
    parent.childClassLengths.remove(utf16Length(child->className));
    parent.children.erase(childName);
    parent.touch();
    destroyDetached(std::move(child));
}

void deleteChildren(Key &key) {
    if (key.children.empty()) return;
    key.touch();
    std::vector<std::shared_ptr<Key>> children;
    children.reserve(key.children.size());
    key.children.forEach([&](const std::shared_ptr<Key> &child) { children.push_back(child); });
    key.children.clear();
    key.childNameLengths.clear();
    key.childClassLengths.clear();
    for (auto &child : children) destroyDetached(std::move(child));
}

void emptyKey(Key &key) {
    deleteChildren(key);
    std::unique_lock<ValuesLock> values(key.valuesLock);
    key.clearValues();
}

}  // namespace regemu
