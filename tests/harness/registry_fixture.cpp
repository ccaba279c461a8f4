#include "registry_fixture.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <process.h>
#define CVSREG_GETPID _getpid
#else
#include <unistd.h>

#include "platform/emulation/regemu.h"
#define CVSREG_GETPID getpid
#endif

namespace harness::reg {

namespace {

HKEY toKey(Handle h) { return reinterpret_cast<HKEY>(h); }

const char* nameOf(const std::string* name) { return name ? name->c_str() : nullptr; }

}  // namespace

Handle currentUserHandle() { return reinterpret_cast<Handle>(HKEY_CURRENT_USER); }

const std::string& testRoot() {
    static const std::string root =
        "Software\\CVSWin32RegKeyTests\\" + std::to_string(CVSREG_GETPID());
    return root;
}

long createKey(const std::string& path) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc;
}

// Deletes the key itself too, since a subkey is named.
long deleteTree(const std::string& path) { return RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()); }

long deleteKey(const std::string& path) { return RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str()); }

long setValue(const std::string& path, const std::string* name, std::uint32_t type,
              const std::vector<std::uint8_t>& data) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    // Stores exactly `data`: for string types the registry reads one byte past the count
    // and stores a NUL found there, so that byte is kept readable and not NUL.
    std::vector<std::uint8_t> buffer = data;
    buffer.push_back(0xFF);
    rc = RegSetValueExA(key, nameOf(name), 0, type, buffer.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return rc;
}

long deleteValue(const std::string& path, const std::string* name) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteValueA(key, nameOf(name));
    RegCloseKey(key);
    return rc;
}

std::optional<StoredValue> queryValueAt(Handle h, const std::string* name) {
    HKEY key = toKey(h);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, nameOf(name), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    StoredValue v;
    v.type = type;
    v.data.resize(size);
    if (RegQueryValueExA(key, nameOf(name), nullptr, &type, v.data.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    v.data.resize(size);
    return v;
}

std::optional<StoredValue> queryValue(const std::string& path, const std::string* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::optional<StoredValue> result = queryValueAt(reinterpret_cast<Handle>(key), name);
    RegCloseKey(key);
    return result;
}

long openKey(const std::string& path, Handle* out) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ | KEY_SET_VALUE, &key);
    *out = reinterpret_cast<Handle>(key);
    return rc;
}

long closeKey(Handle key) { return RegCloseKey(toKey(key)); }

bool isOpenKey(Handle key) {
    DWORD values = 0;
    return RegQueryInfoKeyA(toKey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

#ifdef _WIN32

bool hooksAvailable() { return false; }
std::optional<unsigned long> openHandleCount() { return std::nullopt; }
std::optional<unsigned long> callCount(const std::string&) { return std::nullopt; }
long failNextCall(const std::string&, std::uint32_t, std::int32_t) { return ERROR_NOT_SUPPORTED; }
long denyAccess(const std::string&, bool) { return ERROR_NOT_SUPPORTED; }
void resetEmulation() {}

#else

bool hooksAvailable() { return true; }
std::optional<unsigned long> openHandleCount() { return RegEmuOpenHandleCount(); }
std::optional<unsigned long> callCount(const std::string& function) {
    return RegEmuCallCount(function.c_str());
}

long failNextCall(const std::string& function, std::uint32_t skip, std::int32_t error) {
    return RegEmuFailNextCall(function.c_str(), skip, error);
}

long denyAccess(const std::string& path, bool write) {
    // Without READ_CONTROL, which KEY_READ and KEY_WRITE share, so denying one leaves the other.
    constexpr REGSAM kReadRights = KEY_READ & ~READ_CONTROL;
    constexpr REGSAM kWriteRights = KEY_WRITE & ~READ_CONTROL;
    return RegEmuDenyAccess(HKEY_CURRENT_USER, path.c_str(), write ? kWriteRights : kReadRights);
}

void resetEmulation() { RegEmuReset(); }

#endif

}  // namespace harness::reg
