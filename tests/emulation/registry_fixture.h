// Shared helpers for the emulated registry's tests.
#ifndef REGEMU_TEST_FIXTURE_H
#define REGEMU_TEST_FIXTURE_H

#include "regemu.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace regemu_test {

using Bytes = std::vector<BYTE>;

inline Bytes bytesOf(const std::string &text) { return Bytes(text.begin(), text.end()); }

// A REG_SZ as stored: the text and its terminating NUL.
inline Bytes stringData(const std::string &text) {
    Bytes data = bytesOf(text);
    data.push_back(0);
    return data;
}

inline HKEY handleFromValue(uintptr_t value) { return reinterpret_cast<HKEY>(value); }

// Closes its handle when it goes; a failed close fails the test.
class KeyHandle {
public:
    KeyHandle() = default;
    explicit KeyHandle(HKEY handle) : handle_(handle) {}
    KeyHandle(KeyHandle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    KeyHandle &operator=(KeyHandle &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~KeyHandle() { reset(); }

    HKEY get() const { return handle_; }
    operator HKEY() const { return handle_; }
    // For functions that open a handle into it.
    HKEY *out() {
        reset();
        return &handle_;
    }
    HKEY release() { return std::exchange(handle_, nullptr); }
    void reset() {
        if (handle_) {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(std::exchange(handle_, nullptr)));
        }
    }

private:
    HKEY handle_ = nullptr;
};

struct ReadResult {
    LONG status = -1;
    DWORD type = 0;
    Bytes data;
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegEmuReset();
        ASSERT_EQ(0u, RegEmuOpenHandleCount()) << "handles were left open before this test";
    }
    void TearDown() override {
        EXPECT_EQ(0u, RegEmuOpenHandleCount()) << "the test leaked handles";
        RegEmuReset();
    }

    static KeyHandle create(HKEY parent, const char *path, REGSAM access = KEY_ALL_ACCESS) {
        KeyHandle key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, path, 0, nullptr, 0, access, nullptr,
                                                 key.out(), nullptr))
            << "creating " << (path ? path : "(null)");
        return key;
    }

    static KeyHandle open(HKEY parent, const char *path, REGSAM access = KEY_ALL_ACCESS) {
        KeyHandle key;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(parent, path, 0, access, key.out()))
            << "opening " << (path ? path : "(null)");
        return key;
    }

    // The result of opening (and closing again) parent\path.
    static LONG tryOpen(HKEY parent, const char *path, REGSAM access = KEY_READ) {
        HKEY key = nullptr;
        LONG status = RegOpenKeyExA(parent, path, 0, access, &key);
        if (status == ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
        }
        return status;
    }

    static bool exists(HKEY parent, const char *path) {
        return tryOpen(parent, path, 0) == ERROR_SUCCESS;
    }

    // Stores exactly `data`: a string type reads one byte past the count, and a NUL there
    // would be stored too, so that byte is kept readable and not NUL.
    static void set(HKEY key, const char *name, DWORD type, const Bytes &data) {
        Bytes buffer = data;
        buffer.push_back(0xFF);
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, data.empty() ? nullptr : buffer.data(),
                                                static_cast<DWORD>(data.size())))
            << "setting " << (name ? name : "(null)");
    }

    static void setString(HKEY key, const char *name, const std::string &text) {
        set(key, name, REG_SZ, stringData(text));
    }

    // Reads a value the way callers do: ask the size, then read into a buffer of that size.
    static ReadResult query(HKEY key, const char *name) {
        ReadResult result;
        DWORD size = 0;
        result.status = RegQueryValueExA(key, name, nullptr, &result.type, nullptr, &size);
        if (result.status != ERROR_SUCCESS) return result;
        result.data.resize(size);
        result.status = RegQueryValueExA(key, name, nullptr, &result.type,
                                         size ? result.data.data() : nullptr, &size);
        result.data.resize(size);
        return result;
    }

    // The value names in enumeration order.
    static std::vector<std::string> valueNames(HKEY key) {
        std::vector<std::string> names;
        for (DWORD index = 0;; ++index) {
            char name[16384];
            DWORD length = sizeof name;
            LONG status =
                RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(ERROR_SUCCESS, status) << "enumerating index " << index;
            if (status != ERROR_SUCCESS) break;
            names.emplace_back(name, length);
        }
        return names;
    }

    struct KeyInfo {
        LONG status = -1;
        DWORD subKeys = 0, maxSubKeyLength = 0, values = 0, maxValueNameLength = 0, maxDataSize = 0;
    };
    static KeyInfo info(HKEY key) {
        KeyInfo result;
        result.status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &result.subKeys,
                                         &result.maxSubKeyLength, nullptr, &result.values,
                                         &result.maxValueNameLength, &result.maxDataSize, nullptr,
                                         nullptr);
        return result;
    }
};

}  // namespace regemu_test

#endif
