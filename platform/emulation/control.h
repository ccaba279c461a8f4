// Call counting and armed failures for the registry functions.
#ifndef REGEMU_CONTROL_H
#define REGEMU_CONTROL_H

#include "regemu.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace regemu {

enum Function : unsigned {
    kOpenKey,
    kQueryValue,
    kSetValue,
    kDeleteValue,
    kQueryInfoKey,
    kEnumValue,
    kCloseKey,
    kCreateKey,
    kDeleteKey,
    kDeleteTree,
    kFunctionCount
};

// The function's index, or kFunctionCount for a name that is none of them.
unsigned functionByName(const char *name);
// The function's Windows name.
const char *functionName(Function function);

// Each thread counts into its own block (no shared cache line on the hot path); a read
// sums the blocks. A reset records each block's counts as its new zero instead of writing
// into blocks that their threads are still incrementing.
class CallCounters {
public:
    void count(Function function);
    DWORD total(unsigned function);
    void reset();

    struct alignas(64) Block {
        std::atomic<uint32_t> calls[kFunctionCount] = {};
        uint32_t zero[kFunctionCount] = {};  // guarded by the counters' mutex
    };
    void retire(Block *block);

private:
    Block &local();

    std::mutex mutex_;
    std::vector<Block *> blocks_;
    uint32_t retired_[kFunctionCount] = {};  // counts of threads that have ended
};

class Faults {
public:
    void arm(unsigned function, DWORD skip, LONG error);
    // The error the call must fail with, or ERROR_SUCCESS.
    LONG check(Function function) {
        if (!anyArmed_.load(std::memory_order_acquire)) return ERROR_SUCCESS;
        return checkArmed(function);
    }
    void clear();

private:
    LONG checkArmed(Function function);
    void updateAnyArmed();

    struct Arm {
        bool armed = false;
        DWORD skip = 0;
        LONG error = ERROR_SUCCESS;
    };
    std::atomic<bool> anyArmed_{false};
    std::mutex mutex_;
    Arm arms_[kFunctionCount];
};

}  // namespace regemu

#endif
