#include "tree.h"

namespace regemu {

unsigned threadNumber() {
    static std::atomic<unsigned> next{0};
    // Numbered from 1 on first use; a constant initial value needs no guard on each read.
    thread_local unsigned mine = 0;
    if (mine == 0) mine = next.fetch_add(1, std::memory_order_relaxed) + 1;
    return mine - 1;
}

TreeLock::Shared::Shared(TreeLock &lock)
    : slot_(lock.slots_[threadNumber() % kSlots].mutex) {
    slot_.lock_shared();
}

TreeLock::Shared::~Shared() { slot_.unlock_shared(); }

TreeLock::Exclusive::Exclusive(TreeLock &lock) : lock_(lock) {
    for (Slot &slot : lock_.slots_) slot.mutex.lock();
}

TreeLock::Exclusive::~Exclusive() {
    for (unsigned i = kSlots; i-- > 0;) lock_.slots_[i].mutex.unlock();
}

const Value *Key::findValue(std::string_view valueName) const {
    auto it = valueIndex.find(valueName);
    return it == valueIndex.end() ? nullptr : values[it->second].get();
}

void Key::setValue(std::string_view valueName, DWORD type, std::vector<BYTE> &&data) {
    auto it = valueIndex.find(valueName);
    if (it != valueIndex.end()) {
        Value &value = *values[it->second];
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
        valueIndex.emplace(value->name, values.size() - 1);
    } catch (...) {
        values.pop_back();
        throw;
    }
    values.back() = std::move(value);
    valueNameLengths.add(utf16Length(values.back()->name));
    valueDataSizes.add(storedDataSize(values.back()->type, values.back()->data));
}

bool Key::deleteValue(std::string_view valueName) {
    auto it = valueIndex.find(valueName);
    if (it == valueIndex.end()) return false;
    const size_t position = it->second;
    valueIndex.erase(it);
    valueNameLengths.remove(utf16Length(values[position]->name));
    valueDataSizes.remove(storedDataSize(values[position]->type, values[position]->data));
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(position));
    for (size_t i = position; i < values.size(); ++i) valueIndex.find(values[i]->name)->second = i;
    return true;
}

void Key::clearValues() {
    valueIndex.clear();
    values.clear();
    valueNameLengths.clear();
    valueDataSizes.clear();
}

const std::shared_ptr<Key> *findChild(const Key &parent, std::string_view childName) {
    auto it = parent.children.find(childName);
    return it == parent.children.end() ? nullptr : &it->second;
}

Walk walkPath(Key &start, const Path &path) {
    Walk walk{&start, nullptr, 0};
    for (std::string_view part : path) {
        const std::shared_ptr<Key> *child = findChild(*walk.deepest, part);
        if (!child) break;
        walk.deepest = child->get();
        walk.found = child;
        ++walk.matched;
    }
    return walk;
}

const std::shared_ptr<Key> &addChild(Key &parent, std::string_view childName) {
    auto child = std::make_shared<Key>(std::string(childName), &parent);
    std::string_view name = child->name;
    auto inserted = parent.children.emplace(name, std::move(child));
    parent.childNameLengths.add(utf16Length(name));
    return inserted.first->second;
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
            std::unique_lock<std::shared_mutex> values(key->valuesLock);
            key->deleted.store(true, std::memory_order_relaxed);
            key->clearValues();
        }
        for (auto &entry : key->children) pending.push_back(entry.second);
        key->children.clear();
        key->childNameLengths.clear();
        key->parent = nullptr;
        key->denied = 0;
    }
}

}  // namespace

void deleteChild(Key &parent, std::string_view childName) {
    auto it = parent.children.find(childName);
    if (it == parent.children.end()) return;
    std::shared_ptr<Key> child = it->second;
    parent.childNameLengths.remove(utf16Length(child->name));
    parent.children.erase(it);
    destroyDetached(std::move(child));
}

void deleteChildren(Key &key) {
    std::vector<std::shared_ptr<Key>> children;
    children.reserve(key.children.size());
    for (auto &entry : key.children) children.push_back(entry.second);
    key.children.clear();
    key.childNameLengths.clear();
    for (auto &child : children) destroyDetached(std::move(child));
}

void emptyKey(Key &key) {
    deleteChildren(key);
    std::unique_lock<std::shared_mutex> values(key.valuesLock);
    key.clearValues();
}

}  // namespace regemu
