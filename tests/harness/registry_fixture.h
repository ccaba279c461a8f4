// Test fixtures in the registry the library uses (the real one on Windows, the emulation
// elsewhere), built through the same Win32 functions; all paths are below HKEY_CURRENT_USER.
// Kept free of <windows.h> so the rest of the harness can include it.
#ifndef CVSREG_HARNESS_REGISTRY_FIXTURE_H
#define CVSREG_HARNESS_REGISTRY_FIXTURE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "case_table.h"

namespace harness::reg {

using Handle = std::intptr_t;  // an HKEY as a number

// HKEY_CURRENT_USER as Java code holds it: a 32-bit int.
constexpr std::int32_t kCurrentUserRoot = static_cast<std::int32_t>(0x80000001u);
// The handle value of HKEY_CURRENT_USER at this pointer width.
Handle currentUserHandle();

// Software\CVSWin32RegKeyTests\<process id>: every fixture of this run lives below it.
const std::string& testRoot();

// Win32 error codes (0 on success). A null name is the key's default value.
long createKey(const std::string& path);
long deleteTree(const std::string& path);
// The code page of the registry's narrow names: the process's ANSI code page on Windows, UTF-8
// (65001) on the emulation.
unsigned narrowCodePage();
// Stores a value under a name given in UTF-16, as a program using the wide functions does.
long setValueWide(const std::string& path, const std::u16string& name, std::uint32_t type,
                  const std::vector<std::uint8_t>& data);
// The narrow names of the key's values in index order, as RegEnumValueA gives them with room
// to spare; nothing when the key cannot be read.
std::optional<std::vector<std::string>> narrowValueNames(const std::string& path);

// Deletes the key only if it has no subkeys.
long deleteKey(const std::string& path);
long setValue(const std::string& path, const std::string* name, std::uint32_t type,
              const std::vector<std::uint8_t>& data);
long deleteValue(const std::string& path, const std::string* name);
// The value's type and data; nothing when the value (or its key) does not exist.
std::optional<StoredValue> queryValue(const std::string& path, const std::string* name);

// The value's type and data, read through an open key.
std::optional<StoredValue> queryValueAt(Handle key, const std::string* name);

long openKey(const std::string& path, Handle* out);
long closeKey(Handle key);
// Whether `key` is an open key handle of this process right now.
bool isOpenKey(Handle key);

// The emulation's controls; absent on Windows, where hook cases are skipped.
bool hooksAvailable();
std::optional<unsigned long> openHandleCount();
// How often the named registry function has run since the last reset.
std::optional<unsigned long> callCount(const std::string& function);
long failNextCall(const std::string& function, std::uint32_t skip, std::int32_t error);
// Later opens of `path` asking for read (or write) rights fail with ERROR_ACCESS_DENIED.
long denyAccess(const std::string& path, bool write);
// How many times a predefined key (HKEY_CURRENT_USER and the rest) was given to RegCloseKey:
// by anyone since the last reset on the emulation, by the library under test on Windows.
unsigned long predefinedKeyCloseCount();
// Forgets denials and failures not yet used, and empties the registry.
void resetEmulation();

constexpr long kErrorFileNotFound = 2;

}  // namespace harness::reg

#endif
