#include "control.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace regemu {

namespace {

const char *const kFunctionNames[kFunctionCount] = {
    "RegOpenKeyExA",  "RegQueryValueExA", "RegSetValueExA", "RegDeleteValueA",
    "RegQueryInfoKeyA", "RegEnumValueA",  "RegCloseKey",    "RegCreateKeyExA",
    "RegDeleteKeyA",  "RegDeleteTreeA",
};

}  // namespace

unsigned functionByName(const char *name) {
    if (!name) return kFunctionCount;
    for (unsigned i = 0; i < kFunctionCount; ++i) {
        if (std::strcmp(name, kFunctionNames[i]) == 0) return i;
    }
    return kFunctionCount;
}

const char *functionName(Function function) { return kFunctionNames[function]; }

namespace {

// The calling thread's block; a plain pointer, so the common case reads it with no guard.
thread_local CallCounters::Block *localBlock = nullptr;

// Gives the thread's block back to the counters when the thread ends.
struct BlockRetirer {
    CallCounters *owner = nullptr;
    ~BlockRetirer() {
        if (owner) owner->retire(localBlock);
        localBlock = nullptr;
    }
};

}  // namespace

CallCounters::Block &CallCounters::local() {
    if (localBlock) return *localBlock;
    thread_local BlockRetirer retirer;
    auto block = std::make_unique<Block>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_.push_back(block.get());
    }
    retirer.owner = this;
    localBlock = block.release();
    return *localBlock;
}

void CallCounters::count(Function function) {
    // Only this thread writes its block, so a plain load and store cannot lose a count.
    std::atomic<uint32_t> &calls = local().calls[function];
    calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

DWORD CallCounters::total(unsigned function) {
    if (function >= kFunctionCount) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t sum = retired_[function];
    for (Block *block : blocks_) {
        sum += block->calls[function].load(std::memory_order_relaxed) - block->zero[function];
    }
    return sum;
}

void CallCounters::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(std::begin(retired_), std::end(retired_), 0u);
    for (Block *block : blocks_) {
        for (unsigned i = 0; i < kFunctionCount; ++i)
            block->zero[i] = block->calls[i].load(std::memory_order_relaxed);
    }
}

void CallCounters::retire(Block *block) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (unsigned i = 0; i < kFunctionCount; ++i)
            retired_[i] += block->calls[i].load(std::memory_order_relaxed) - block->zero[i];
        blocks_.erase(std::remove(blocks_.begin(), blocks_.end(), block), blocks_.end());
    }
    delete block;
}

void Faults::arm(unsigned function, DWORD skip, LONG error) {
    std::lock_guard<std::mutex> lock(mutex_);
    arms_[function] = Arm{true, skip, error};
    anyArmed_.store(true, std::memory_order_release);
}

LONG Faults::checkArmed(Function function) {
    std::lock_guard<std::mutex> lock(mutex_);
    Arm &arm = arms_[function];
    if (!arm.armed) return ERROR_SUCCESS;
    if (arm.skip > 0) {
        --arm.skip;
        return ERROR_SUCCESS;
    }
    arm.armed = false;
    updateAnyArmed();
    return arm.error;
}

void Faults::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Arm &arm : arms_) arm = Arm{};
    updateAnyArmed();
}

void Faults::updateAnyArmed() {
    bool any = false;
    for (const Arm &arm : arms_) any = any || arm.armed;
    anyArmed_.store(any, std::memory_order_release);
}

}  // namespace regemu
