// The one emulated registry of the process and what every entry point shares.
#ifndef REGEMU_STATE_H
#define REGEMU_STATE_H

#include "control.h"
#include "handles.h"
#include "regemu.h"
#include "tree.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace regemu {

constexpr int kRootCount = 6;

struct State {
    State();

    TreeLock tree;
    std::shared_ptr<Key> roots[kRootCount];  // never deleted, only emptied
    HandleTable handles;
    CallCounters calls;
    Faults faults;
    std::atomic<uint32_t> predefinedCloses{0};  // RegCloseKey given a predefined key
};

// Created on first use, which also imports the file named by REGEMU_IMPORT. Left
// reachable at exit: threads and unloading code may still call in during shutdown.
State &state();

// What a handle stands for, for the length of one call.
struct Ref {
    Key *key = nullptr;
    HandleTable::Use use;  // empty for a predefined root, which never goes away
    REGSAM access = 0;
    int root = -1;         // index of the predefined key, or -1
    uint32_t era = 0;      // the key's era when the handle was opened

    const std::shared_ptr<Key> &owner(State &s) const { return root >= 0 ? s.roots[root] : use.owner(); }
    // Whether the key is deleted (for a handle opened on a root: emptied by a reset since).
    bool gone() const {
        return key->deleted.load(std::memory_order_relaxed) ||
               (root < 0 && key->isRoot && era != key->era.load(std::memory_order_relaxed));
    }
};

// The index of the predefined key `handle` names, or -1.
int rootIndex(HKEY handle);

// ERROR_INVALID_HANDLE for anything but a predefined key or an open handle.
LONG resolve(State &s, HKEY handle, Ref &out);

// The rights an open asking for `desired` gets (generic rights mapped to key rights), or
// ERROR_ACCESS_DENIED when it asks for any of the key's denied rights.
LONG grantAccess(REGSAM desired, REGSAM denied, REGSAM &granted);
// Key rights named by `rights`, generic rights mapped, options such as KEY_WOW64_* dropped.
REGSAM keyRights(REGSAM rights);

// "HKEY_CURRENT_USER" and the like, by index of the predefined key.
const char *rootName(int root);
// The key's full path from its root ("HKEY_CURRENT_USER\Software\..."), or "" for a
// deleted key. The caller holds the TreeLock.
std::string keyPath(State &s, const Key &key);

// Reads, parses and applies a registry file. On failure `message` says why.
LONG importFile(State &s, const char *path, std::string &message);

}  // namespace regemu

#endif
