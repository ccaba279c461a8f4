// The exported functions. Each registry function counts the call and honours an armed
// failure before anything else, then checks, in this order: parameters, handle, access
// rights, deleted key.
#include "regemu.h"

#include "export.h"
#include "state.h"
#include "trace.h"

#include <algorithm>
#include <cstring>
#include <string>

using namespace regemu;

namespace {

// Windows reports the size of each key's self-relative security descriptor, never 0. Keys
// here carry none, so every key reports the size of a plain one: owner Administrators, group
// SYSTEM, and a DACL allowing SYSTEM and Administrators full access and Users reading
// (20-byte header, SIDs of 16 and 12 bytes, an 8-byte ACL header and ACEs of 20, 24 and 24).
constexpr DWORD kKeySecurityDescriptorSize = 124;

thread_local std::string lastImportError;

template <class Body>
LONG registryCall(Function function, Body &&body) noexcept {
    try {
        State &s = state();
        s.calls.count(function);
        if (LONG error = s.faults.check(function)) return error;
        return body(s);
    } catch (...) {
        // Only allocation can throw here.
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

std::string_view valueNameOf(LPCSTR name) { return name ? std::string_view(name) : std::string_view(); }

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Copies a value's data into a buffer of `room` bytes that holds it. As on Windows, string
// data stored without a terminating NUL gets one after it when the buffer has room.
void copyData(const Value &value, LPBYTE out, DWORD room) {
    const size_t size = value.data.size();
    if (size == 0) return;
    std::memcpy(out, value.data.data(), size);
    if (room > size && value.data.back() != 0 && isStringType(value.type)) out[size] = 0;
}

}  // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    REGEMU_TRACED(kOpenKey, ofOpen(hKey, lpSubKey, samDesired), RegOpenKeyExA,
                  hKey, lpSubKey, ulOptions, samDesired, phkResult);
    return registryCall(kOpenKey, [&](State &s) -> LONG {
        if (!phkResult || (ulOptions & ~DWORD{REG_OPTION_OPEN_LINK})) return ERROR_INVALID_PARAMETER;
        // A predefined key opened with no subkey is handed back as it is.
        if ((!lpSubKey || !*lpSubKey) && rootIndex(hKey) >= 0) {
            *phkResult = hKey;
            return ERROR_SUCCESS;
        }
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        auto open = [&]() -> LONG {
            // Windows opens HKEY_CLASSES_ROOT's subkeys by their full path, where one
            // leading backslash is one more empty name.
            const char *subKey = lpSubKey;
            if (subKey && *subKey == '\\' && rootIndex(hKey) == 0) ++subKey;
            Path path;
            if (LONG error = splitPath(subKey, path)) return error;
            REGSAM granted;
            TreeLock::Shared lock(s.tree);
            if (ref.gone()) return ERROR_KEY_DELETED;
            Walk walk = walkPath(*ref.key, path);
            if (walk.matched != path.size()) return ERROR_FILE_NOT_FOUND;
            if (LONG error = grantAccess(samDesired, walk.deepest->denied, granted)) return error;
            // Added while the tree holds the key, so the handle takes its reference from there.
            const std::shared_ptr<Key> &target = walk.found ? *walk.found : ref.owner(s);
            return s.handles.add(target, granted, target->era.load(std::memory_order_relaxed),
                                 phkResult);
        };
        // Past the handle check, a failed open leaves NULL behind.
        LONG result = open();
        if (result != ERROR_SUCCESS) *phkResult = nullptr;
        return result;
    });
}

namespace {

LONG createKey(State &s, const Ref &ref, LPCSTR lpSubKey, LPCSTR lpClass, DWORD dwOptions,
               REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition) {
    Path path;
    if (LONG error = splitPath(lpSubKey, path)) return error;
    std::shared_ptr<Key> target;
    REGSAM granted;
    uint32_t era = 0;
    DWORD disposition = REG_OPENED_EXISTING_KEY;

    auto openExisting = [&](const Walk &walk) -> LONG {
        if (LONG error = grantAccess(samDesired, walk.deepest->denied, granted)) return error;
        target = walk.found ? *walk.found : ref.owner(s);
        era = target->era.load(std::memory_order_relaxed);
        return ERROR_SUCCESS;
    };

    bool found = false;
    {
        // Most creates find the key already there: try without stopping other readers.
        TreeLock::Shared lock(s.tree);
        if (ref.gone()) return ERROR_KEY_DELETED;
        Walk walk = walkPath(*ref.key, path);
        if (walk.matched == path.size()) {
            if (LONG error = openExisting(walk)) return error;
            found = true;
        }
    }
    if (!found) {
        TreeLock::Exclusive lock(s.tree);
        if (ref.gone()) return ERROR_KEY_DELETED;
        Walk walk = walkPath(*ref.key, path);
        if (walk.matched == path.size()) {
            if (LONG error = openExisting(walk)) return error;
        } else {
            // As on Windows, the rights of the handle given do not matter; a key that
            // denies creating subkeys stops it.
            Key *parent = walk.deepest;
            if (parent->denied & KEY_CREATE_SUB_KEY) return ERROR_ACCESS_DENIED;
            const bool isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
            if (parent->isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
            if (LONG error = grantAccess(samDesired, 0, granted)) return error;
            // Keys made along the way share the new key's volatility; only it gets the class.
            const std::string_view className = lpClass ? std::string_view(lpClass) : std::string_view();
            for (size_t i = walk.matched; i < path.size(); ++i) {
                const bool last = i + 1 == path.size();
                const std::shared_ptr<Key> &child =
                    addChild(*parent, path[i], isVolatile, last ? className : std::string_view());
                parent = child.get();
                if (last) target = child;
            }
            disposition = REG_CREATED_NEW_KEY;
        }
    }
    if (LONG error = s.handles.add(std::move(target), granted, era, phkResult)) return error;
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
    REGEMU_TRACED(kCreateKey, ofOpen(hKey, lpSubKey, samDesired), RegCreateKeyExA,
                  hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired, lpSecurityAttributes,
                  phkResult, lpdwDisposition);
    return registryCall(kCreateKey, [&](State &s) -> LONG {
        constexpr DWORD kOptions =
            REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;
        if (Reserved != 0 || !phkResult || (dwOptions & ~kOptions)) return ERROR_INVALID_PARAMETER;
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        // Past the handle check, a failed create leaves NULL behind.
        LONG result = createKey(s, ref, lpSubKey, lpClass, dwOptions, samDesired, phkResult,
                                lpdwDisposition);
        if (result != ERROR_SUCCESS) *phkResult = nullptr;
        return result;
    });
}

LONG RegCloseKey(HKEY hKey) {
    REGEMU_TRACED(kCloseKey, ofKey(hKey), RegCloseKey, hKey);
    return registryCall(kCloseKey, [&](State &s) -> LONG {
        if (rootIndex(hKey) >= 0) {
            s.predefinedCloses.fetch_add(1, std::memory_order_relaxed);
            return ERROR_SUCCESS;
        }
        return s.handles.remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    REGEMU_TRACED(kQueryValue, ofRead(hKey, lpValueName, lpType, lpcbData), RegQueryValueExA,
                  hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
    return registryCall(kQueryValue, [&](State &s) -> LONG {
        if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        // A size asked for without a buffer reads 0 unless the value is found.
        if (!lpData && lpcbData) *lpcbData = 0;
        if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        ValuesLock::Shared lock(ref.key->valuesLock);
        if (ref.gone()) return ERROR_KEY_DELETED;
        const Value *value = ref.key->findValue(valueNameOf(lpValueName));
        if (!value) return ERROR_FILE_NOT_FOUND;
        const DWORD size = static_cast<DWORD>(value->data.size());
        if (lpType) *lpType = value->type;
        if (lpData) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            copyData(*value, lpData, *lpcbData);
        }
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                    DWORD cbData) {
    REGEMU_TRACED(kSetValue, ofWrite(hKey, lpValueName, dwType, cbData), RegSetValueExA,
                  hKey, lpValueName, Reserved, dwType, lpData, cbData);
    return registryCall(kSetValue, [&](State &s) -> LONG {
        std::string_view name = valueNameOf(lpValueName);
        if (Reserved != 0) return ERROR_INVALID_PARAMETER;
        if (!lpData && cbData) return ERROR_NOACCESS;
        if (longerThan(name, kMaxValueNameLength)) return ERROR_INVALID_PARAMETER;
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        // A string whose count leaves out the NUL that follows it is stored with that NUL,
        // as Windows does: the byte after the count is read.
        if (cbData && isStringType(dwType) && lpData[cbData - 1] != 0 && lpData[cbData] == 0) ++cbData;
        // Copied before locking; readers then see the old bytes or the new, whole.
        std::vector<BYTE> data(lpData, lpData + cbData);
        std::unique_lock<ValuesLock> lock(ref.key->valuesLock);
        if (ref.gone()) return ERROR_KEY_DELETED;
        ref.key->setValue(name, dwType, std::move(data));
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    REGEMU_TRACED(kDeleteValue, ofValue(hKey, lpValueName), RegDeleteValueA, hKey, lpValueName);
    return registryCall(kDeleteValue, [&](State &s) -> LONG {
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        std::unique_lock<ValuesLock> lock(ref.key->valuesLock);
        if (ref.gone()) return ERROR_KEY_DELETED;
        return ref.key->deleteValue(valueNameOf(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    REGEMU_TRACED(kQueryInfoKey, ofKey(hKey), RegQueryInfoKeyA,
                  hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                  lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                  lpcbSecurityDescriptor, lpftLastWriteTime);
    return registryCall(kQueryInfoKey, [&](State &s) -> LONG {
        if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        const Key &key = *ref.key;
        TreeLock::Shared tree(s.tree);
        ValuesLock::Shared values(key.valuesLock);
        if (ref.gone()) return ERROR_KEY_DELETED;
        LONG result = ERROR_SUCCESS;
        if (lpcchClass) {
            // The class in the narrow form, its length in bytes. As on Windows, a buffer of
            // n > 0 bytes too small for it and its NUL gets its first n - 1 bytes and a NUL
            // with ERROR_MORE_DATA; a buffer of 0 bytes is left alone and reads length 0.
            const std::string &className = key.className;
            const DWORD length = static_cast<DWORD>(className.size());
            const DWORD room = *lpcchClass;
            if (!lpClass) {
                *lpcchClass = length;
            } else if (room == 0) {
                *lpcchClass = 0;
            } else {
                const DWORD copied = std::min(length, room - 1);
                std::memcpy(lpClass, className.data(), copied);
                lpClass[copied] = '\0';
                *lpcchClass = copied;
                if (copied < length) result = ERROR_MORE_DATA;
            }
        }
        if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(key.children.size());
        if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = key.childNameLengths.longest();
        if (lpcbMaxClassLen) *lpcbMaxClassLen = key.childClassLengths.longest();
        if (lpcValues) *lpcValues = static_cast<DWORD>(key.values.size());
        if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = key.valueNameLengths.longest();
        if (lpcbMaxValueLen) *lpcbMaxValueLen = key.valueDataSizes.longest();
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = kKeySecurityDescriptorSize;
        if (lpftLastWriteTime) {
            const uint64_t written = key.lastWrite.load(std::memory_order_relaxed);
            *lpftLastWriteTime = FILETIME{static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
        }
        return result;
    });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    REGEMU_TRACED(kEnumValue, ofEnum(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpcbData),
                  RegEnumValueA, hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
                  lpData, lpcbData);
    return registryCall(kEnumValue, [&](State &s) -> LONG {
        if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
            return ERROR_INVALID_PARAMETER;
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        ValuesLock::Shared lock(ref.key->valuesLock);
        if (ref.gone()) return ERROR_KEY_DELETED;
        if (dwIndex >= ref.key->values.size()) return ERROR_NO_MORE_ITEMS;
        const Value &value = *ref.key->values[dwIndex];
        const DWORD size = static_cast<DWORD>(value.data.size());
        // When the name (with its terminator) or the data does not fit, only the type and
        // the data's size are reported; the buffers and the name's length stay as they were.
        const bool nameFits = value.name.size() < *lpcchValueName;
        const DWORD room = lpcbData ? *lpcbData : 0;
        const bool dataFits = !lpData || room >= size;
        if (lpType) *lpType = value.type;
        if (lpcbData) *lpcbData = size;
        if (!nameFits || !dataFits) return ERROR_MORE_DATA;
        std::memcpy(lpValueName, value.name.data(), value.name.size());
        lpValueName[value.name.size()] = '\0';
        *lpcchValueName = static_cast<DWORD>(value.name.size());
        if (lpData) copyData(value, lpData, room);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    REGEMU_TRACED(kDeleteKey, ofSubkey(hKey, lpSubKey), RegDeleteKeyA, hKey, lpSubKey);
    return registryCall(kDeleteKey, [&](State &s) -> LONG {
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        Path path;
        if (LONG error = splitPath(lpSubKey, path)) return error;
        TreeLock::Exclusive lock(s.tree);
        if (ref.gone()) return ERROR_KEY_DELETED;
        Walk walk = walkPath(*ref.key, path);
        if (walk.matched != path.size()) return ERROR_FILE_NOT_FOUND;
        // An empty path names the handle's own key; a root cannot go.
        Key &target = *walk.deepest;
        if (!target.parent || !target.children.empty() || (target.denied & DELETE))
            return ERROR_ACCESS_DENIED;
        deleteChild(*target.parent, target.name);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    REGEMU_TRACED(kDeleteTree, ofSubkey(hKey, lpSubKey), RegDeleteTreeA, hKey, lpSubKey);
    return registryCall(kDeleteTree, [&](State &s) -> LONG {
        Ref ref;
        if (LONG error = resolve(s, hKey, ref)) return error;
        Path path;
        if (LONG error = splitPath(lpSubKey, path)) return error;
        TreeLock::Exclusive lock(s.tree);
        if (ref.gone()) return ERROR_KEY_DELETED;
        if (path.empty()) {
            // Emptying the handle's own key uses the handle for all the work: reading its
            // size and subkeys, deleting the subkeys, then deleting each value, which alone
            // needs KEY_SET_VALUE (and is refused after the subkeys went, as on Windows).
            constexpr REGSAM kNeeded = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
            if ((ref.access & kNeeded) != kNeeded) return ERROR_ACCESS_DENIED;
            deleteChildren(*ref.key);
            std::unique_lock<ValuesLock> values(ref.key->valuesLock);
            if (ref.key->values.empty()) return ERROR_SUCCESS;
            if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
            ref.key->clearValues();
            return ERROR_SUCCESS;
        }
        Walk walk = walkPath(*ref.key, path);
        if (walk.matched != path.size()) return ERROR_FILE_NOT_FOUND;
        Key &target = *walk.deepest;
        if (target.denied & DELETE) return ERROR_ACCESS_DENIED;
        deleteChild(*target.parent, target.name);
        return ERROR_SUCCESS;
    });
}

void RegEmuReset(void) {
    try {
        State &s = state();
        {
            TreeLock::Exclusive lock(s.tree);
            for (auto &root : s.roots) {
                root->era.fetch_add(1, std::memory_order_relaxed);
                emptyKey(*root);
                root->denied = 0;
            }
        }
        s.faults.clear();
        s.calls.reset();
        s.predefinedCloses.store(0, std::memory_order_relaxed);
    } catch (...) {
        // Nothing allocates on this path but a thread's first counter block.
    }
}

DWORD RegEmuOpenHandleCount(void) { return state().handles.openCount(); }

DWORD RegEmuPredefinedKeyCloseCount(void) {
    return state().predefinedCloses.load(std::memory_order_relaxed);
}

DWORD RegEmuCallCount(const char *function) {
    State &s = state();
    return s.calls.total(functionByName(function));
}

LONG RegEmuFailNextCall(const char *function, DWORD skip, LONG error) {
    State &s = state();
    unsigned index = functionByName(function);
    if (index == kFunctionCount || error == ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    s.faults.arm(index, skip, error);
    return ERROR_SUCCESS;
}

LONG RegEmuDenyAccess(HKEY key, const char *subkey, REGSAM rights) {
    try {
        State &s = state();
        Ref ref;
        if (LONG error = resolve(s, key, ref)) return error;
        Path path;
        if (LONG error = splitPath(subkey, path)) return error;
        TreeLock::Exclusive lock(s.tree);
        if (ref.gone()) return ERROR_KEY_DELETED;
        Walk walk = walkPath(*ref.key, path);
        if (walk.matched != path.size()) return ERROR_FILE_NOT_FOUND;
        // READ_CONTROL is shared by KEY_READ and KEY_WRITE; denying it would make denying
        // one deny the other.
        walk.deepest->denied |= keyRights(rights) & ~REGSAM{READ_CONTROL};
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegEmuImportFile(const char *path) {
    try {
        std::string message;
        LONG error = importFile(state(), path, message);
        if (error != ERROR_SUCCESS) lastImportError = std::move(message);
        return error;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

const char *RegEmuLastImportError(void) {
    state();
    return lastImportError.c_str();
}

LONG RegEmuExportFile(HKEY key, const char *subkey, const char *path) {
    try {
        if (!path) return ERROR_INVALID_PARAMETER;
        State &s = state();
        Ref ref;
        if (LONG error = resolve(s, key, ref)) return error;
        Path names;
        if (LONG error = splitPath(subkey, names)) return error;
        std::string bytes;
        {
            TreeLock::Shared lock(s.tree);
            if (ref.gone()) return ERROR_KEY_DELETED;
            Walk walk = walkPath(*ref.key, names);
            if (walk.matched != names.size()) return ERROR_FILE_NOT_FOUND;
            bytes = exportDocument(s, *walk.deepest);
        }
        std::string message;
        return writeExportFile(path, bytes, message);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegEmuTraceTo(const char *path) {
    try {
        return traceTo(path);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
