#include "native_library.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstring>

namespace harness {

namespace {

#ifdef _WIN32
std::atomic<unsigned long> g_predefinedKeyCloses{0};

bool isPredefinedKey(HKEY key) {
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA}) {
        if (key == root) return true;
    }
    return false;
}

LONG WINAPI countingRegCloseKey(HKEY key) {
    if (isPredefinedKey(key)) ++g_predefinedKeyCloses;
    return RegCloseKey(key);
}

// Points the module's imported RegCloseKey at countingRegCloseKey. False when the module does
// not import it by name.
bool countPredefinedKeyCloses(HMODULE module) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return false;
    bool hooked = false;
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), "advapi32.dll") != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "RegCloseKey") != 0) continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<std::uintptr_t>(&countingRegCloseKey);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            hooked = true;
        }
    }
    return hooked;
}
#endif

const char kPrefix[] = "Java_torvane_plexide_scm_cvs_native_1_registry_";

std::string& pathStore() {
    static std::string path = CVSREG_HARNESS_LIBRARY;
    return path;
}

struct Loaded {
    EntryPoints entries;
    std::string problem;
    bool ok = false;
};

void* findSymbol(void* handle, const std::string& name) {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name.c_str()));
#else
    return dlsym(handle, name.c_str());
#endif
}

// A JVM on 32-bit Windows first tries the stdcall-decorated name (_name@bytes of arguments),
// then the plain one; elsewhere only the plain one.
void* lookUp(void* handle, const std::string& method, int argumentBytes) {
    std::string name = kPrefix + method;
#if defined(_WIN32) && !defined(_WIN64)
    if (void* p = findSymbol(handle, "_" + name + "@" + std::to_string(argumentBytes))) return p;
#else
    (void)argumentBytes;
#endif
    return findSymbol(handle, name);
}

template <typename F>
bool bind(void* handle, F* slot, const char* method, int argumentBytes, std::string* missing) {
    void* p = lookUp(handle, method, argumentBytes);
    if (p == nullptr && missing != nullptr) *missing += std::string(missing->empty() ? "" : ", ") + kPrefix + method;
    *slot = reinterpret_cast<F>(p);
    return p != nullptr;
}

Loaded load() {
    Loaded l;
    std::string path = pathStore();
#ifdef _WIN32
    // Paths handed over from the Linux build host are reached through Wine's Z: drive.
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    void* handle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (handle == nullptr) {
        l.problem = "LoadLibrary(" + path + ") failed with error " + std::to_string(GetLastError());
        return l;
    }
    if (!countPredefinedKeyCloses(static_cast<HMODULE>(handle))) {
        l.problem = path + " does not import RegCloseKey from ADVAPI32 by name";
        return l;
    }
#else
    // The library is never unloaded, so leak reports can still name its code.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        l.problem = "dlopen(" + path + ") failed: " + (why ? why : "?");
        return l;
    }
#endif
    // Argument bytes on 32-bit: JNIEnv* and this, then one word per parameter.
    std::string missing;
    bind(handle, &l.entries.getValue, "CVSWin32RegKey_getValue", 12, &missing);
    bind(handle, &l.entries.setValue, "CVSWin32RegKey_setValue", 16, &missing);
    bind(handle, &l.entries.hasNext, "CVSWin32RegKeyNameIterator_hasNext", 8, &missing);
    bind(handle, &l.entries.next, "CVSWin32RegKeyNameIterator_next", 8, &missing);
    bind(handle, &l.entries.close, "CVSWin32RegKeyNameIterator_close", 8, nullptr);
    if (!missing.empty()) {
        l.problem = path + " does not export " + missing;
        return l;
    }
    l.ok = true;
    return l;
}

const Loaded& loaded() {
    static const Loaded l = load();
    return l;
}

}  // namespace

void setLibraryPath(const std::string& path) { pathStore() = path; }
const std::string& libraryPath() { return pathStore(); }

const EntryPoints* library() { return loaded().ok ? &loaded().entries : nullptr; }
const std::string& libraryProblem() { return loaded().problem; }

#ifdef _WIN32
unsigned long predefinedKeyClosesByLibrary() { return g_predefinedKeyCloses.load(); }
#endif

}  // namespace harness
