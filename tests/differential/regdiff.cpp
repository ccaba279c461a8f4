// Runs a reproducible random sequence of registry calls and prints one canonical line per
// call. Built against the emulated registry and, with MinGW, against Windows' (or Wine's):
// the two traces of one seed must agree but for the differences listed in
// allowed-differences.txt.
//
//   regdiff SEED COUNT [--off=category,category...]
//
// Everything happens under HKEY_CURRENT_USER\Software\RegDiff\SEED, created at the start and
// deleted at the end. Choices never depend on results: the random stream is drawn the same
// way on both sides, so a difference shows where it happens and does not reshuffle the rest.
// Lines look like
//   RegQueryValueExA key=H3 name=v type=ptr data=5 cb=5 => rc=SUCCESS type=REG_SZ cb=5 data=6869...
// with handles named by their slot (H0..H7, S the scratch key, HKCU), strings escaped (%XX
// for bytes outside printable ASCII, a run written once with its count in braces) and data
// in hex. Last-write times appear only as facts: whether the time moved since the same
// handle last read it.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include "regemu.h"
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif
#ifndef ERROR_CHILD_MUST_BE_VOLATILE
#define ERROR_CHILD_MUST_BE_VOLATILE 1021L
#endif
#ifndef ERROR_BADKEY
#define ERROR_BADKEY 1010L
#endif

namespace {

// Groups of awkward inputs (or outputs) that can be switched off with --off=.
enum Category : unsigned {
    kCreateAccess,   // creating through a handle without KEY_CREATE_SUB_KEY
    kEmptyParts,     // paths with an empty part inside or at the end
    kFailedResult,   // *phkResult after a failed open or create
    kMissingSize,    // *lpcbData after querying a missing value
    kEnumSizes,      // RegEnumValueA outputs when a buffer is too small
    kLastWrite,      // last-write time facts
    kCounts,         // longest name and data lengths of RegQueryInfoKeyA
    kClass,          // class strings
    kSetTerminator,  // string data whose count leaves out a NUL that follows it
    kQueryTerminator,// string data stored without a terminator
    kNullData,       // NULL data with a non-zero count for non-string types
    kPredefined,     // predefined roots with a NULL or empty subkey
    kVolatile,       // volatile keys
    kUnicode,        // non-ASCII case variants and name limits counted in characters
    kDeleteTree,     // RegDeleteTreeA(key, NULL) through a handle without KEY_SET_VALUE
    kCategoryCount
};

const char *const kCategoryNames[kCategoryCount] = {
    "createaccess", "emptyparts", "failedresult", "missingsize", "enumsizes",
    "lastwrite", "counts", "class", "setterminator", "queryterminator",
    "nulldata", "predefined", "volatile", "unicode", "deletetree",
};

// splitmix64: the same numbers from every compiler and library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <class T, size_t N> const T &pick(const T (&items)[N]) { return items[below(N)]; }

private:
    uint64_t state_;
};

std::string repeat(const std::string &unit, size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) s += unit;
    return s;
}

// Escapes bytes for a trace token; runs of a unit of 1 to 3 bytes are written once with
// their count, so long names stay short.
std::string escape(const char *data, size_t size) {
    std::string out;
    auto put = [&](unsigned char c) {
        if (c > 0x20 && c < 0x7f && c != '%' && c != '=' && c != '{' && c != '}') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    };
    size_t i = 0;
    while (i < size) {
        bool compressed = false;
        for (size_t unit = 1; unit <= 3 && !compressed; ++unit) {
            size_t runs = 1;
            while (i + (runs + 1) * unit <= size &&
                   std::memcmp(data + i, data + i + runs * unit, unit) == 0)
                ++runs;
            if (runs * unit >= 12) {
                for (size_t k = 0; k < unit; ++k) put(static_cast<unsigned char>(data[i + k]));
                out += "{" + std::to_string(runs) + "}";
                i += runs * unit;
                compressed = true;
            }
        }
        if (!compressed) put(static_cast<unsigned char>(data[i++]));
    }
    return out.empty() ? std::string("\"\"") : out;
}

std::string escape(const std::string &s) { return escape(s.data(), s.size()); }

// Characters in UTF-8 text.
size_t characters(const std::string &text) {
    size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80;
    return count;
}

std::string hex(const unsigned char *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    size_t i = 0;
    while (i < size) {
        size_t run = 1;
        while (i + run < size && data[i + run] == data[i]) ++run;
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
        if (run >= 8) {
            out += "{" + std::to_string(run) + "}";
            i += run;
        } else {
            ++i;
        }
    }
    return out.empty() ? std::string("\"\"") : out;
}

std::string errorName(LONG rc) {
    switch (rc) {
    case ERROR_SUCCESS: return "SUCCESS";
    case ERROR_FILE_NOT_FOUND: return "FILE_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return "ACCESS_DENIED";
    case ERROR_INVALID_HANDLE: return "INVALID_HANDLE";
    case ERROR_NOT_ENOUGH_MEMORY: return "NOT_ENOUGH_MEMORY";
    case ERROR_INVALID_PARAMETER: return "INVALID_PARAMETER";
    case ERROR_BAD_PATHNAME: return "BAD_PATHNAME";
    case ERROR_MORE_DATA: return "MORE_DATA";
    case ERROR_NO_MORE_ITEMS: return "NO_MORE_ITEMS";
    case ERROR_NOACCESS: return "NOACCESS";
    case ERROR_BADKEY: return "BADKEY";
    case ERROR_KEY_DELETED: return "KEY_DELETED";
    case ERROR_CHILD_MUST_BE_VOLATILE: return "CHILD_MUST_BE_VOLATILE";
    default: return std::to_string(rc);
    }
}

std::string typeName(DWORD type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return std::to_string(type);
    }
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string accessName(REGSAM access) {
    switch (access) {
    case KEY_ALL_ACCESS: return "KEY_ALL_ACCESS";
    case KEY_READ: return "KEY_READ";
    case KEY_WRITE: return "KEY_WRITE";
    case KEY_QUERY_VALUE: return "KEY_QUERY_VALUE";
    case KEY_SET_VALUE: return "KEY_SET_VALUE";
    case KEY_CREATE_SUB_KEY: return "KEY_CREATE_SUB_KEY";
    case KEY_ENUMERATE_SUB_KEYS: return "KEY_ENUMERATE_SUB_KEYS";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(access));
        return text;
    }
    }
}

// A buffer the call writes into, filled with 0xCC and followed by guard bytes, so every
// byte the call touched (and any it should not have) shows in the trace.
class OutBuffer {
public:
    explicit OutBuffer(size_t capacity) : bytes_(capacity + kGuard, 0xCC), capacity_(capacity) {}
    unsigned char *data() { return bytes_.data(); }
    char *chars() { return reinterpret_cast<char *>(bytes_.data()); }
    size_t capacity() const { return capacity_; }
    std::string contents() const { return hex(bytes_.data(), capacity_); }
    std::string text() const { return escape(reinterpret_cast<const char *>(bytes_.data()), capacity_); }
    bool guardIntact() const {
        for (size_t i = capacity_; i < bytes_.size(); ++i)
            if (bytes_[i] != 0xCC) return false;
        return true;
    }

private:
    static constexpr size_t kGuard = 8;
    std::vector<unsigned char> bytes_;
    size_t capacity_;
};

// One line of the trace: the call's arguments, then " =>", then its results.
class Line {
public:
    explicit Line(const char *function) : text_(function) {}
    Line &arg(const char *name, const std::string &value) {
        text_ += ' ';
        text_ += name;
        text_ += '=';
        text_ += value;
        return *this;
    }
    Line &arg(const char *name, unsigned long value) { return arg(name, std::to_string(value)); }
    Line &result(LONG rc) {
        text_ += " => rc=" + errorName(rc);
        return *this;
    }
    // Flushed at once, so a crash shows which call it was.
    void print() {
        std::printf("%s\n", text_.c_str());
        std::fflush(stdout);
    }

private:
    std::string text_;
};

const HKEY kSentinel = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x5EED0));

struct Slot {
    HKEY key = nullptr;
    REGSAM access = 0;
    bool predefined = false;  // the slot holds a predefined root handed back by an open
    bool timeSeen = false;
    FILETIME time{};
    uint64_t writesAtTime = 0;
};

class Generator {
public:
    Generator(uint64_t seed, unsigned count, const bool (&off)[kCategoryCount])
        : random_(seed * 2654435761u + 12345), count_(count), off_(off) {
        scratchPath_ = "Software\\RegDiff\\" + std::to_string(seed);
        buildNames();
    }

    int run() {
        DWORD disposition = 0;
        RegDeleteTreeA(HKEY_CURRENT_USER, scratchPath_.c_str());
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, scratchPath_.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &scratch_, &disposition);
        Line("RegCreateKeyExA").arg("key", "HKCU").arg("path", "<scratch>").result(rc)
            .arg("disposition", disposition).print();
        if (rc != ERROR_SUCCESS) return 1;
        for (unsigned i = 0; i < count_; ++i) step();
        for (unsigned s = 0; s < kSlots; ++s) closeSlot(s, true);
        rc = RegDeleteTreeA(HKEY_CURRENT_USER, scratchPath_.c_str());
        Line("RegDeleteTreeA").arg("key", "HKCU").arg("path", "<scratch>").result(rc).print();
        rc = RegCloseKey(scratch_);
        Line("RegCloseKey").arg("key", "S").result(rc).print();
        // The parent goes too when no other run still uses it.
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\RegDiff");
        std::fprintf(stderr, "regdiff: %u steps, %lu calls traced\n", count_, calls_);
        return 0;
    }

private:
    static constexpr unsigned kSlots = 8;

    bool on(Category c) const { return !off_[c]; }

    void buildNames() {
        keyNames_ = {"alpha", "ALPHA", "Beta", "beta", "g", "Caf\xC3\xA9", "\xE8\xA8\xAD\xE5\xAE\x9A",
                     "\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87", repeat("k", 255),
                     "sp ace", "dot.ted"};
        if (on(kUnicode)) {
            keyNames_.push_back("CAF\xC3\x89");
            keyNames_.push_back("na\xC3\xAFve");
            keyNames_.push_back("NA\xC3\x8FVE");
            keyNames_.push_back("\xD0\x9A\xD0\x9B\xD0\xAE\xD0\xA7");
            keyNames_.push_back(repeat("k", 254) + "\xC3\xA9");
            keyNames_.push_back(repeat("\xC3\xA9", 200));
            // Beyond U+FFFF (two UTF-16 units, no case), and letters whose case Windows maps
            // one way only: dotless i, final sigma, sharp s.
            keyNames_.push_back("\xF0\x9F\x98\x80" + repeat("k", 253));
            keyNames_.push_back("\xC4\xB1x");
            keyNames_.push_back("Ix");
            keyNames_.push_back("\xCF\x82");
            keyNames_.push_back("\xCE\xA3");
        }
        valueNames_ = {"", "v", "V", "data", "DATA", "Caf\xC3\xA9", "\xE5\x80\xA4",
                       "\xD0\xB7\xD0\xBD\xD0\xB0\xD1\x87", repeat("x", 16383), repeat("x", 16384),
                       "with space"};
        if (on(kUnicode)) {
            valueNames_.push_back("CAF\xC3\x89");
            valueNames_.push_back("\xD0\x97\xD0\x9D\xD0\x90\xD0\xA7");
            valueNames_.push_back(repeat("x", 16382) + "\xC3\xA9");
            valueNames_.push_back(repeat("\xC3\xA9", 16383));
            valueNames_.push_back("\xF0\x9F\x98\x80");
            valueNames_.push_back("\xC3\x9F");
            valueNames_.push_back("\xE1\xBA\x9E");
            valueNames_.push_back("\xCF\x83");
            valueNames_.push_back("\xCE\xA3");
        }
    }

    // A value name: an index into the pool, or -1 for NULL.
    int pickValueName() { return random_.chance(8) ? -1 : static_cast<int>(random_.below(valueNames_.size())); }
    const char *valueName(int index) const { return index < 0 ? nullptr : valueNames_[index].c_str(); }
    std::string valueNameToken(int index) const { return index < 0 ? "NULL" : escape(valueNames_[index]); }

    // A relative path of one to three names; sometimes NULL, "", or awkwardly separated.
    struct PathChoice {
        bool null = false;
        std::string text;
    };
    PathChoice pickPath(bool allowEmpty) {
        PathChoice path;
        const uint32_t shape = random_.below(100);
        if (allowEmpty && shape < 4) {
            path.null = true;
            return path;
        }
        if (allowEmpty && shape < 8) return path;
        const unsigned parts = 1 + random_.below(random_.chance(70) ? 1 : 3);
        for (unsigned i = 0; i < parts; ++i) {
            const std::string &name = keyNames_[random_.below(keyNames_.size())];
            // A path of several names stays within 255 characters: Wine converts a longer
            // narrow path into a fixed buffer and fails with ERROR_MORE_DATA, and what
            // Windows does there is not established.
            if (i && characters(path.text) + 1 + characters(name) > 255) continue;
            if (i) path.text += '\\';
            path.text += name;
        }
        const uint32_t odd = random_.below(100);
        if (odd < 5 && on(kEmptyParts)) {
            path.text += '\\';
        } else if (odd < 10 && on(kEmptyParts)) {
            const size_t slash = path.text.find('\\');
            path.text.insert(slash == std::string::npos ? path.text.size() : slash, "\\\\");
        } else if (odd < 13) {
            path.text.insert(0, "\\");
        }
        return path;
    }
    static const char *pathArg(const PathChoice &p) { return p.null ? nullptr : p.text.c_str(); }
    static std::string pathToken(const PathChoice &p) { return p.null ? "NULL" : escape(p.text); }

    // The handle a call uses: an open slot, or the scratch key.
    struct HandleChoice {
        HKEY key;
        std::string name;
        int slot;  // -1 for the scratch key
        REGSAM access;
    };
    HandleChoice pickHandle() {
        const uint32_t r = random_.below(kSlots + 2);
        if (r < kSlots && slots_[r].key && !slots_[r].predefined)
            return {slots_[r].key, "H" + std::to_string(r), static_cast<int>(r), slots_[r].access};
        return {scratch_, "S", -1, KEY_ALL_ACCESS};
    }

    // A name over the limit goes through the scratch key's handle, which has every right:
    // whether Windows checks a name's length or the handle's rights first is not established
    // (Wine checks the length first).
    void keepOverlongNamesOnScratch(int name, HandleChoice &h) {
        if (name >= 0 && characters(valueNames_[name]) > 16383) h = {scratch_, "S", -1, KEY_ALL_ACCESS};
    }

    // A path with a leading backslash goes through the scratch key, which is never deleted:
    // for a deleted key Wine reports the deletion first, and which of the two errors Windows
    // reports first is not established.
    void keepBadPathsOnScratch(const PathChoice &path, HandleChoice &h) {
        if (!path.null && !path.text.empty() && path.text[0] == '\\' && h.key != HKEY_CURRENT_USER)
            h = {scratch_, "S", -1, KEY_ALL_ACCESS};
    }

    REGSAM pickAccess() {
        static const REGSAM kAccess[] = {KEY_ALL_ACCESS, KEY_ALL_ACCESS, KEY_READ, KEY_WRITE,
                                          KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY,
                                          KEY_QUERY_VALUE | KEY_SET_VALUE, KEY_ENUMERATE_SUB_KEYS, 0};
        return random_.pick(kAccess);
    }

    std::string resultToken(LONG rc, HKEY result, const HandleChoice *parent) const {
        if (result == kSentinel) return "unchanged";
        if (result == nullptr) return "NULL";
        if (result == HKEY_CURRENT_USER) return "HKCU";
        if (result == HKEY_LOCAL_MACHINE) return "HKLM";
        if (parent && result == parent->key) return "parent";
        for (unsigned s = 0; s < kSlots; ++s)
            if (slots_[s].key == result) return "H" + std::to_string(s) + "-again";
        if (result == scratch_) return "S-again";
        return rc == ERROR_SUCCESS ? "new" : "garbage";
    }

    // Whether a key is there, and its class, asked without tracing.
    bool existingClass(HKEY parent, const char *path, std::string &classText) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(parent, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
        char buffer[512];
        DWORD length = sizeof buffer;
        if (RegQueryInfoKeyA(key, buffer, &length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            classText.assign(buffer, length);
        if (key != parent) RegCloseKey(key);
        return true;
    }

    void closeSlot(unsigned s, bool print) {
        Slot &slot = slots_[s];
        if (!slot.key) return;
        LONG rc = RegCloseKey(slot.key);
        ++calls_;
        if (print) Line("RegCloseKey").arg("key", "H" + std::to_string(s)).result(rc).print();
        slot = Slot();
    }

    void store(unsigned s, HKEY key, REGSAM access) {
        slots_[s] = Slot();
        slots_[s].key = key;
        slots_[s].access = access;
        slots_[s].predefined = key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
    }

    void step() {
        const uint32_t op = random_.below(100);
        if (op < 13) openKey();
        else if (op < 26) createKey();
        else if (op < 32) closeSlot(random_.below(kSlots), true);
        else if (op < 50) setValue();
        else if (op < 63) queryValue();
        else if (op < 68) deleteValue();
        else if (op < 76) queryInfo();
        else if (op < 85) enumValueAt();
        else if (op < 91) walkValues();
        else if (op < 97) deleteKey();
        else deleteTree();
    }

    void openKey() {
        const unsigned s = random_.below(kSlots);
        const REGSAM access = pickAccess();
        const uint32_t form = random_.below(100);
        HandleChoice parent = pickHandle();
        PathChoice path = pickPath(true);
        keepBadPathsOnScratch(path, parent);
        std::string pathText;
        if (form < 6 && on(kPredefined)) {
            // A predefined root with a NULL or empty subkey.
            parent = {HKEY_CURRENT_USER, "HKCU", -1, KEY_ALL_ACCESS};
            path = PathChoice();
            path.null = random_.chance(50);
        } else if (form < 9) {
            // No key at all.
            parent = {nullptr, "NULL", -1, 0};
            path = PathChoice();
            if (random_.chance(50)) path.text = "Software";
        } else if (form < 20 && (path.null || path.text.size() < 128)) {
            // The same keys through their full path from the root. Kept well under 255
            // characters in all: how Windows' narrow functions treat a longer path as a whole
            // is not something Wine's tests establish.
            parent = {HKEY_CURRENT_USER, "HKCU", -1, KEY_ALL_ACCESS};
            const std::string relative = path.null ? std::string() : path.text;
            const std::string joint = relative.empty() || relative[0] == '\\' ? "" : "\\";
            path.null = false;
            path.text = scratchPath_ + joint + relative;
            pathText = "<scratch>" + (relative.empty() ? joint : escape(joint + relative));
        }
        const bool parentClosed = parent.slot == static_cast<int>(s) && slots_[s].key;
        closeSlot(s, true);
        HKEY result = kSentinel;
        LONG rc = RegOpenKeyExA(parent.key, pathArg(path), 0, access, &result);
        ++calls_;
        Line line("RegOpenKeyExA");
        line.arg("key", parent.name);
        if (parentClosed) line.arg("parent", "closed");
        line.arg("path", pathText.empty() ? pathToken(path) : pathText)
            .arg("access", accessName(access)).result(rc);
        if (rc == ERROR_SUCCESS || on(kFailedResult))
            line.arg("result", resultToken(rc, result, &parent));
        line.arg("slot", "H" + std::to_string(s)).print();
        if (rc == ERROR_SUCCESS) store(s, result, access);
    }

    void createKey() {
        const unsigned s = random_.below(kSlots);
        const REGSAM access = pickAccess();
        HandleChoice parent = pickHandle();
        PathChoice path = pickPath(true);
        if (path.null && random_.chance(50)) path.null = false;
        keepBadPathsOnScratch(path, parent);
        if (!on(kCreateAccess) && !(parent.access & KEY_CREATE_SUB_KEY))
            parent = {scratch_, "S", -1, KEY_ALL_ACCESS};
        std::string classText;
        bool classNull = true;
        if (on(kClass) && random_.chance(40)) {
            static const char *const kClasses[] = {"", "Klasse", "Cl\xC3\xA9", "class with space"};
            classText = random_.pick(kClasses);
            classNull = false;
            // Keys with a class have names of their own, never part of a longer path: Wine 8
            // hands the class to every key along a path it creates, replacing the class of
            // keys already there, and Windows' handling of the keys along the way is not
            // established.
            static const char *const kClassyNames[] = {"classy", "Classy"};
            path = PathChoice();
            path.text = random_.pick(kClassyNames);
        }
        DWORD options = REG_OPTION_NON_VOLATILE;
        if (on(kVolatile) && random_.chance(20)) options = REG_OPTION_VOLATILE;
        const bool wantDisposition = random_.chance(80);
        noteWrite();
        // Windows keeps the class a key was created with, while Wine 8 replaces it (even with
        // nothing) when the key is opened again: an existing key is given the class it has.
        std::string existing;
        if (on(kClass) && existingClass(parent.key, pathArg(path), existing)) {
            classNull = existing.empty();
            classText = existing;
        }
        std::vector<char> classBuffer(classText.begin(), classText.end());
        classBuffer.push_back('\0');
        const bool parentClosed = parent.slot == static_cast<int>(s) && slots_[s].key;
        closeSlot(s, true);
        HKEY result = kSentinel;
        DWORD disposition = 0xCCCC;
        LONG rc = RegCreateKeyExA(parent.key, pathArg(path), 0, classNull ? nullptr : classBuffer.data(),
                                  options, access, nullptr, &result,
                                  wantDisposition ? &disposition : nullptr);
        ++calls_;
        Line line("RegCreateKeyExA");
        line.arg("key", parent.name);
        if (parentClosed) line.arg("parent", "closed");
        line.arg("path", pathToken(path))
            .arg("class", classNull ? std::string("NULL") : escape(classText))
            .arg("options", options == REG_OPTION_VOLATILE ? "VOLATILE" : "0")
            .arg("access", accessName(access))
            .arg("disposition", wantDisposition ? "ptr" : "NULL").result(rc);
        if (rc == ERROR_SUCCESS || on(kFailedResult))
            line.arg("result", resultToken(rc, result, &parent));
        if (wantDisposition) line.arg("disposition", disposition);
        line.arg("slot", "H" + std::to_string(s)).print();
        if (rc == ERROR_SUCCESS) store(s, result, access);
    }

    // Data for RegSetValueExA: the bytes counted and the byte that follows them.
    struct DataChoice {
        DWORD type;
        std::vector<unsigned char> bytes;  // counted bytes plus one that follows
        DWORD count;
        bool null;
    };
    DataChoice pickData() {
        static const DWORD kTypes[] = {REG_SZ, REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY,
                                       REG_BINARY, REG_DWORD, REG_QWORD, REG_NONE, REG_DWORD_BIG_ENDIAN};
        DataChoice d;
        d.type = random_.pick(kTypes);
        d.null = false;
        if (isStringType(d.type)) {
            static const char *const kTexts[] = {"", "x", "hello", "h\xC3\xA9llo w\xC3\xB6rld",
                                                 "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87", "\xE8\xA8\xAD\xE5\xAE\x9A",
                                                 "%PATH%\\bin", "a longer string with several words"};
            std::string text = random_.pick(kTexts);
            if (d.type == REG_MULTI_SZ) {
                text += '\0';
                text += random_.pick(kTexts);
                text += '\0';
            }
            d.bytes.assign(text.begin(), text.end());
            d.bytes.push_back(0);  // the terminator
            const uint32_t shape = random_.below(100);
            d.count = static_cast<DWORD>(d.bytes.size());
            if (shape < 15 && on(kSetTerminator)) {
                d.count -= 1;  // the terminator follows the counted bytes
            } else if (shape < 30 && on(kQueryTerminator) && text.size() > 0 && text.back() != '\0') {
                d.bytes.back() = 'Z';  // no terminator, and none after
                d.count -= 1;
            } else if (shape < 35) {
                d.count = 0;
            }
            d.bytes.push_back('Y');
        } else {
            size_t size;
            switch (d.type) {
            case REG_DWORD:
            case REG_DWORD_BIG_ENDIAN: size = random_.chance(85) ? 4 : random_.below(9); break;
            case REG_QWORD: size = random_.chance(85) ? 8 : random_.below(12); break;
            default: size = random_.chance(90) ? random_.below(40) : 2000;
            }
            for (size_t i = 0; i < size; ++i) d.bytes.push_back(static_cast<unsigned char>(random_.next()));
            d.count = static_cast<DWORD>(size);
            d.bytes.push_back(static_cast<unsigned char>(random_.next()));
            if (random_.chance(4)) {
                d.null = true;
                d.count = (on(kNullData) && random_.chance(50)) ? d.count + 1 : 0;
            }
        }
        return d;
    }

    void noteWrite() { ++writesIssued_; }

    void setValue() {
        HandleChoice h = pickHandle();
        int name = pickValueName();
        keepOverlongNamesOnScratch(name, h);
        DataChoice d = pickData();
        // Wine 8's process dies on NULL data with a non-zero count under a long name (its
        // request to the server is cut short): such calls keep to a short name.
        if (d.null && d.count && name >= 0 && valueNames_[name].size() > 255) name = 1;
        noteWrite();
        LONG rc = RegSetValueExA(h.key, valueName(name), 0, d.type, d.null ? nullptr : d.bytes.data(), d.count);
        ++calls_;
        Line line("RegSetValueExA");
        line.arg("key", h.name).arg("name", valueNameToken(name)).arg("type", typeName(d.type))
            .arg("data", d.null ? std::string("NULL") : hex(d.bytes.data(), d.count));
        if (!d.null) line.arg("next", hex(d.bytes.data() + d.count, 1));
        line.arg("count", d.count).result(rc).print();
    }

    // The stored size of a value, asked for without tracing (0 when it cannot be read).
    DWORD storedSize(HKEY key, const char *name) {
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) size = 0;
        return size;
    }

    // A buffer size relative to what is stored: exact, one short, one over, generous, zero.
    struct SizeChoice {
        const char *label;
        DWORD size;
    };
    SizeChoice pickSize(DWORD stored) {
        switch (random_.below(5)) {
        case 0: return {"exact", stored};
        case 1: return {"short", stored ? stored - 1 : 0};
        case 2: return {"plus1", stored + 1};
        case 3: return {"plenty", stored + 64};
        default: return {"zero", 0};
        }
    }

    void queryValue() {
        HandleChoice h = pickHandle();
        const int name = pickValueName();
        keepOverlongNamesOnScratch(name, h);
        const uint32_t form = random_.below(100);
        const bool wantType = random_.chance(80);
        const DWORD stored = storedSize(h.key, valueName(name));
        SizeChoice size = pickSize(stored);
        const bool withData = form >= 25 || form < 4;  // below 4: a buffer without its size
        const bool withSize = form >= 10;
        OutBuffer buffer(withData ? size.size : 0);
        DWORD type = 0xCCCC;
        DWORD cb = withData ? size.size : 0xCCCC;
        LONG rc = RegQueryValueExA(h.key, valueName(name), nullptr, wantType ? &type : nullptr,
                                   withData ? buffer.data() : nullptr, withSize ? &cb : nullptr);
        ++calls_;
        Line line("RegQueryValueExA");
        line.arg("key", h.name).arg("name", valueNameToken(name)).arg("type", wantType ? "ptr" : "NULL")
            .arg("data", withData ? std::string(size.label) : std::string("NULL"))
            .arg("cb", withSize ? (withData ? std::to_string(size.size) : std::string("ptr")) : std::string("NULL"))
            .result(rc);
        if (wantType) line.arg("type", typeName(type));
        if (withSize && (rc != ERROR_FILE_NOT_FOUND || on(kMissingSize))) line.arg("cb", cb);
        if (withData) line.arg("data", buffer.contents()).arg("guard", buffer.guardIntact() ? "ok" : "overrun");
        line.print();
    }

    void deleteValue() {
        HandleChoice h = pickHandle();
        const int name = pickValueName();
        keepOverlongNamesOnScratch(name, h);
        noteWrite();
        LONG rc = RegDeleteValueA(h.key, valueName(name));
        ++calls_;
        Line("RegDeleteValueA").arg("key", h.name).arg("name", valueNameToken(name)).result(rc).print();
    }

    // The last-write time as a fact: unchanged when nothing was written since this handle
    // last read it, else whether it went backwards.
    std::string timeFact(const HandleChoice &h, const FILETIME &time) {
        const uint64_t now = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
        std::string fact = now == 0 ? "zero" : "nonzero";
        if (h.slot >= 0 || h.key == scratch_) {
            Slot &slot = h.slot >= 0 ? slots_[h.slot] : scratchTimes_;
            if (slot.timeSeen) {
                const uint64_t before = (uint64_t{slot.time.dwHighDateTime} << 32) | slot.time.dwLowDateTime;
                if (slot.writesAtTime == writesIssued_) fact += now == before ? ",unchanged" : ",moved";
                else fact += now >= before ? ",notearlier" : ",earlier";
            }
            slot.timeSeen = true;
            slot.time = time;
            slot.writesAtTime = writesIssued_;
        }
        return fact;
    }

    void queryInfo() {
        HandleChoice h = pickHandle();
        // Windows refuses a handle without KEY_QUERY_VALUE here (ZwQueryKey wants it for all
        // but the name); Wine 8 answers. Such handles are left out.
        if (!(h.access & KEY_QUERY_VALUE)) h = {scratch_, "S", -1, KEY_ALL_ACCESS};
        const uint32_t classForm = random_.below(100);
        const bool nullOutputs = random_.chance(25);
        // The key's class length, asked for without tracing (with a buffer: Wine 8 reports 0
        // without one).
        char classText[512];
        DWORD classLength = sizeof classText;
        if (RegQueryInfoKeyA(h.key, classText, &classLength, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            classLength = 0;
        SizeChoice size = pickSize(classLength + 1);
        const bool withClass = on(kClass) && (classForm >= 30 || classForm < 4);  // below 4: no length
        const bool withCch = on(kClass) && classForm >= 15;
        OutBuffer classBuffer(withClass ? size.size : 0);
        DWORD cch = withClass ? size.size : 0xCCCC;
        DWORD subKeys = 0xCCCC, maxSubKey = 0xCCCC, maxClass = 0xCCCC, values = 0xCCCC,
              maxValueName = 0xCCCC, maxValue = 0xCCCC, security = 0xCCCC;
        FILETIME time{0xCCCC, 0xCCCC};
        auto maybe = [&](DWORD &out, bool optional) { return nullOutputs && optional ? nullptr : &out; };
        const bool dropCounts = nullOutputs && random_.chance(50);
        LONG rc = RegQueryInfoKeyA(h.key, withClass ? classBuffer.chars() : nullptr, withCch ? &cch : nullptr,
                                   nullptr, maybe(subKeys, true), maybe(maxSubKey, dropCounts), &maxClass,
                                   &values, maybe(maxValueName, dropCounts), maybe(maxValue, !dropCounts),
                                   &security, on(kLastWrite) ? &time : nullptr);
        ++calls_;
        Line line("RegQueryInfoKeyA");
        line.arg("key", h.name).arg("class", withClass ? std::string(size.label) : std::string("NULL"))
            .arg("cch", withCch ? (withClass ? std::to_string(size.size) : std::string("ptr")) : std::string("NULL"))
            .arg("outputs", nullOutputs ? (dropCounts ? "somenull1" : "somenull2") : "all")
            .result(rc);
        if (withClass) line.arg("class", classBuffer.text()).arg("guard", classBuffer.guardIntact() ? "ok" : "overrun");
        if (withCch) line.arg("cch", cch);
        if (!nullOutputs) line.arg("subkeys", subKeys);
        if (on(kCounts)) {
            if (!(nullOutputs && dropCounts)) line.arg("maxsubkey", maxSubKey);
            if (on(kClass)) line.arg("maxclass", maxClass);
        }
        line.arg("values", values);
        if (on(kCounts)) {
            if (!(nullOutputs && dropCounts)) line.arg("maxvaluename", maxValueName);
            if (!(nullOutputs && !dropCounts)) line.arg("maxvalue", maxValue);
        }
        line.arg("security", security);
        if (on(kLastWrite) && rc == ERROR_SUCCESS) line.arg("time", timeFact(h, time));
        line.print();
    }

    // Finds a value's index by name without tracing, so a call at that index reads the same
    // value whatever order the registry keeps. Returns false when it is not there.
    bool findValue(HKEY key, const std::string &name, DWORD &index, DWORD &nameLength, DWORD &dataSize) {
        std::vector<char> buffer(70000);
        for (DWORD i = 0; i < 100000; ++i) {
            DWORD cch = static_cast<DWORD>(buffer.size());
            DWORD cb = 0;
            LONG rc = RegEnumValueA(key, i, buffer.data(), &cch, nullptr, nullptr, nullptr, &cb);
            if (rc != ERROR_SUCCESS) return false;
            if (std::string(buffer.data(), cch) == name) {
                index = i;
                nameLength = cch;
                dataSize = cb;
                return true;
            }
        }
        return false;
    }

    void enumValueAt() {
        HandleChoice h = pickHandle();
        const int target = static_cast<int>(random_.below(valueNames_.size()));
        const uint32_t nameForm = random_.below(100);
        const uint32_t dataForm = random_.below(100);
        const bool wantType = random_.chance(80);
        DWORD index = 0, nameLength = 0, dataSize = 0;
        const bool found = findValue(h.key, valueNames_[target], index, nameLength, dataSize);
        if (!found) index = 100000;
        DWORD nameCapacity;
        const char *nameLabel;
        if (nameForm < 50) { nameCapacity = nameLength + 1; nameLabel = "exact"; }
        else if (nameForm < 65) { nameCapacity = nameLength; nameLabel = "short"; }
        else if (nameForm < 70) { nameCapacity = 0; nameLabel = "zero"; }
        else if (nameForm < 73) { nameCapacity = nameLength + 1; nameLabel = "NULL"; }
        else if (nameForm < 76) { nameCapacity = nameLength + 1; nameLabel = "nolength"; }
        else { nameCapacity = nameLength + 40; nameLabel = "plenty"; }
        if (!on(kEnumSizes) && nameCapacity <= nameLength) { nameCapacity = nameLength + 1; nameLabel = "exact"; }
        SizeChoice size = pickSize(dataSize);
        if (!on(kEnumSizes) && size.size < dataSize) size = {"exact", dataSize};
        const bool withData = dataForm >= 30 || dataForm < 4;  // below 4: a buffer without its size
        const bool withSize = dataForm >= 15;
        const bool nameNull = nameForm >= 70 && nameForm < 73;
        const bool cchNull = nameForm >= 73 && nameForm < 76;
        OutBuffer name(nameCapacity);
        OutBuffer data(withData ? size.size : 0);
        DWORD cch = nameCapacity;
        DWORD type = 0xCCCC;
        DWORD cb = withData ? size.size : 0xCCCC;
        LONG rc = RegEnumValueA(h.key, index, nameNull ? nullptr : name.chars(), cchNull ? nullptr : &cch,
                                nullptr, wantType ? &type : nullptr,
                                withData ? data.data() : nullptr, withSize ? &cb : nullptr);
        ++calls_;
        Line line("RegEnumValueA");
        line.arg("key", h.name).arg("index", found ? "of:" + escape(valueNames_[target]) : std::string("past-end"))
            .arg("name", nameLabel).arg("type", wantType ? "ptr" : "NULL")
            .arg("data", withData ? std::string(size.label) : std::string("NULL"))
            .arg("cb", withSize ? (withData ? std::to_string(size.size) : std::string("ptr")) : std::string("NULL"))
            .result(rc);
        line.arg("name", name.text()).arg("cch", cch).arg("nameguard", name.guardIntact() ? "ok" : "overrun");
        if (wantType) line.arg("type", typeName(type));
        if (withSize) line.arg("cb", cb);
        if (withData) line.arg("data", data.contents()).arg("dataguard", data.guardIntact() ? "ok" : "overrun");
        line.print();
    }

    // Every value of a key, in the order the registry keeps them.
    void walkValues() {
        HandleChoice h = pickHandle();
        const unsigned walk = ++walks_;
        std::vector<char> name(70000);
        for (DWORD i = 0; i <= 64; ++i) {
            DWORD cch = static_cast<DWORD>(name.size());
            DWORD type = 0xCCCC;
            DWORD cb = 0;
            LONG rc = RegEnumValueA(h.key, i, name.data(), &cch, nullptr, &type, nullptr, &cb);
            std::vector<unsigned char> data(cb + 1);
            if (rc == ERROR_SUCCESS) {
                cch = static_cast<DWORD>(name.size());
                rc = RegEnumValueA(h.key, i, name.data(), &cch, nullptr, &type, data.data(), &cb);
            }
            ++calls_;
            Line line("RegEnumValueA");
            line.arg("key", h.name).arg("walk", walk).arg("index", i).result(rc);
            if (rc == ERROR_SUCCESS)
                line.arg("name", escape(name.data(), cch)).arg("type", typeName(type)).arg("cb", cb)
                    .arg("data", hex(data.data(), cb));
            line.print();
            if (rc != ERROR_SUCCESS) break;
        }
    }

    void deleteKey() {
        HandleChoice h = pickHandle();
        PathChoice path = pickPath(true);
        keepBadPathsOnScratch(path, h);
        // The scratch key itself stays.
        if (h.slot < 0 && (path.null || path.text.empty())) path.text = keyNames_[0];
        if (path.null && !path.text.empty()) path.null = false;
        noteWrite();
        LONG rc = RegDeleteKeyA(h.key, pathArg(path));
        ++calls_;
        Line("RegDeleteKeyA").arg("key", h.name).arg("path", pathToken(path)).result(rc).print();
    }

    void deleteTree() {
        HandleChoice h = pickHandle();
        PathChoice path = pickPath(true);
        keepBadPathsOnScratch(path, h);
        const bool ownKey = path.null || path.text.empty();
        constexpr REGSAM kList = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
        if (ownKey && (h.access & kList) != kList) {
            // Emptying a key through a handle that cannot list it: Wine carries on past the
            // rights it lacks (its RegQueryInfoKeyA needs none, unlike Windows', and a refused
            // subkey listing just ends its loop), deleting part of the key. Left out.
            path = PathChoice();
            path.text = keyNames_[4];
        } else if (ownKey && !(h.access & KEY_SET_VALUE) && !on(kDeleteTree)) {
            // Through a handle without KEY_SET_VALUE: Windows needs the right only for the
            // values there are.
            h = {scratch_, "S", -1, KEY_ALL_ACCESS};
        }
        noteWrite();
        LONG rc = RegDeleteTreeA(h.key, pathArg(path));
        ++calls_;
        Line("RegDeleteTreeA").arg("key", h.name).arg("path", pathToken(path)).result(rc).print();
    }

    Random random_;
    unsigned count_;
    const bool (&off_)[kCategoryCount];
    std::string scratchPath_;
    HKEY scratch_ = nullptr;
    Slot scratchTimes_;  // the scratch key's last-write time as last read
    Slot slots_[kSlots];
    std::vector<std::string> keyNames_;
    std::vector<std::string> valueNames_;
    uint64_t writesIssued_ = 0;
    unsigned walks_ = 0;
    unsigned long calls_ = 0;
};

int usage() {
    std::fprintf(stderr, "usage: regdiff SEED COUNT [--off=category,...]\ncategories:");
    for (const char *name : kCategoryNames) std::fprintf(stderr, " %s", name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc < 3) return usage();
    char *end = nullptr;
    const unsigned long long seed = std::strtoull(argv[1], &end, 10);
    if (*end) return usage();
    const unsigned long count = std::strtoul(argv[2], &end, 10);
    if (*end) return usage();
    bool off[kCategoryCount] = {};
    for (int i = 3; i < argc; ++i) {
        std::string option = argv[i];
        if (option.rfind("--off=", 0) != 0) return usage();
        std::string list = option.substr(6) + ",";
        for (size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
            const std::string name = list.substr(start, comma - start);
            if (name.empty()) continue;
            bool known = false;
            for (unsigned c = 0; c < kCategoryCount; ++c)
                if (name == kCategoryNames[c]) off[c] = known = true;
            if (!known) {
                std::fprintf(stderr, "regdiff: unknown category '%s'\n", name.c_str());
                return usage();
            }
        }
    }
    Generator generator(seed, static_cast<unsigned>(count), off);
    const int status = generator.run();
    std::fflush(stdout);
    return status;
}
