// A driver for instruction-count profiles of the emulated registry alone (no JVM):
//
//   valgrind --tool=callgrind --toggle-collect='profiled_*' cvsreg_bench_registry_profile CASE N
//
// runs N repetitions of CASE inside a function named profiled_CASE, so that callgrind counts
// only them. The cases repeat what the benchmark's rows ask of the registry:
//   get          getValue's registry calls (open, size, malloc, data, free, close), short REG_SZ
//   open_close   RegOpenKeyExA of getValue's three-part path and RegCloseKey
//   query        one RegQueryValueExA of the short REG_SZ's data on a handle kept open
//   get_keys10   the same on a key of 10 REG_DWORD values, 8 names in turn
//   get_keys100k the same on a key of 100,000 values
//   walk_keys10  one walk's registry calls per name (RegEnumValueA, malloc/free), 10 values
//   walk_keys100k the same on a key of 100,000 values
//   get_1mib     getValue's registry calls on a 1 MiB REG_BINARY (callgrind counts each byte
//                of a `rep movsb` copy as an instruction: time this one, do not count it)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "regemu.h"

namespace {

const HKEY kRoot = HKEY_CURRENT_USER;
const char kValues[] = "Software\\CVSWin32RegKeyBench\\Values";
const char kKeys10[] = "Software\\CVSWin32RegKeyBench\\Keys10";
const char kKeys100k[] = "Software\\CVSWin32RegKeyBench\\Keys100000";
const char kSizes[] = "Software\\CVSWin32RegKeyBench\\Sizes";

void check(LONG status, const char* what) {
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "%s failed with %ld\n", what, static_cast<long>(status));
        std::exit(1);
    }
}

void put(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    check(RegCreateKeyExA(kRoot, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
          "RegCreateKeyExA");
    check(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
          "RegSetValueExA");
    RegCloseKey(key);
}

std::string value_name(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "v%06d", index);
    return name;
}

void fill(const char* path, int count) {
    for (int i = 0; i < count; ++i) put(path, value_name(i).c_str(), REG_DWORD, &i, 4);
}

// getValue's registry calls, as the bridge makes them.
LONG read_value(const char* path, const char* name) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(kRoot, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        BYTE* buffer = static_cast<BYTE*>(std::malloc(size == 0 ? 1 : size));
        status = RegQueryValueExA(key, name, nullptr, &type, buffer, &size);
        std::free(buffer);
    }
    RegCloseKey(key);
    return status;
}

// A walk's registry calls: open and size it once, then one RegEnumValueA per name into a
// fresh buffer, as the bridge's next does.
long walk(const char* path) {
    HKEY key = nullptr;
    check(RegOpenKeyExA(kRoot, path, 0, KEY_READ, &key), "RegOpenKeyExA");
    DWORD count = 0;
    DWORD longest = 0;
    check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                           &longest, nullptr, nullptr, nullptr),
          "RegQueryInfoKeyA");
    long total = 0;
    for (DWORD i = 0; i < count; ++i) {
        char* buffer = static_cast<char*>(std::malloc(longest + 1));
        DWORD length = longest + 1;
        check(RegEnumValueA(key, i, buffer, &length, nullptr, nullptr, nullptr, nullptr),
              "RegEnumValueA");
        total += length;
        std::free(buffer);
    }
    RegCloseKey(key);
    return total;
}

std::vector<std::string> spread_names(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) names.push_back(value_name(static_cast<int>(1LL * i * count / 8)));
    return names;
}

// The functions callgrind collects in; kept out of line so that each has its own name.
__attribute__((noinline)) long profiled_get(long n) {
    long failures = 0;
    for (long i = 0; i < n; ++i) failures += read_value(kValues, "Text") != ERROR_SUCCESS;
    return failures;
}

__attribute__((noinline)) long profiled_open_close(long n) {
    long failures = 0;
    for (long i = 0; i < n; ++i) {
        HKEY key = nullptr;
        failures += RegOpenKeyExA(kRoot, kValues, 0, KEY_READ, &key) != ERROR_SUCCESS;
        failures += RegCloseKey(key) != ERROR_SUCCESS;
    }
    return failures;
}

__attribute__((noinline)) long profiled_query(long n, HKEY key) {
    long failures = 0;
    for (long i = 0; i < n; ++i) {
        BYTE buffer[64];
        DWORD type = 0;
        DWORD size = sizeof buffer;
        failures += RegQueryValueExA(key, "Text", nullptr, &type, buffer, &size) != ERROR_SUCCESS;
    }
    return failures;
}

__attribute__((noinline)) long profiled_get_keys(long n, const char* path,
                                                 const std::vector<std::string>& names) {
    long failures = 0;
    for (long i = 0; i < n; ++i) failures += read_value(path, names[i & 7].c_str()) != 0;
    return failures;
}

__attribute__((noinline)) long profiled_walk(long n, const char* path) {
    long total = 0;
    for (long i = 0; i < n; ++i) total += walk(path);
    return total;
}

__attribute__((noinline)) long profiled_get_1mib(long n) {
    long failures = 0;
    for (long i = 0; i < n; ++i) failures += read_value(kSizes, "b1048576") != ERROR_SUCCESS;
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CASE N\n", argv[0]);
        return 2;
    }
    const std::string which = argv[1];
    const long n = std::atol(argv[2]);
    const char text[] = "C:\\CVS\\Repository";
    put(kValues, "Text", REG_SZ, text, sizeof text);
    fill(kKeys10, 10);
    fill(kKeys100k, 100000);
    std::vector<BYTE> big(1 << 20, 0x5A);
    put(kSizes, "b1048576", REG_BINARY, big.data(), static_cast<DWORD>(big.size()));

    long result;
    if (which == "get") {
        result = profiled_get(n);
    } else if (which == "open_close") {
        result = profiled_open_close(n);
    } else if (which == "query") {
        HKEY key = nullptr;
        check(RegOpenKeyExA(kRoot, kValues, 0, KEY_READ, &key), "RegOpenKeyExA");
        result = profiled_query(n, key);
        RegCloseKey(key);
    } else if (which == "get_keys10") {
        result = profiled_get_keys(n, kKeys10, spread_names(10));
    } else if (which == "get_keys100k") {
        result = profiled_get_keys(n, kKeys100k, spread_names(100000));
    } else if (which == "walk_keys10") {
        result = profiled_walk(n, kKeys10);
    } else if (which == "walk_keys100k") {
        result = profiled_walk(n, kKeys100k);
    } else if (which == "get_1mib") {
        result = profiled_get_1mib(n);
    } else {
        std::fprintf(stderr, "unknown case %s\n", which.c_str());
        return 2;
    }
    std::printf("%s x %ld: %ld\n", which.c_str(), n, result);
    return 0;
}
