// What the fuzz targets share: the library's entry points, called through the harness's
// checking JNI environment against the emulated registry, and checks that end the run with a
// message (libFuzzer keeps the input that did it).
#ifndef CVSREG_FUZZ_COMMON_H
#define CVSREG_FUZZ_COMMON_H

#include <fuzzer/FuzzedDataProvider.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "jni_world.h"
#include "modified_utf8.h"
#include "regemu.h"

extern "C" {
JNIEXPORT jobject JNICALL Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue(
    JNIEnv* env, jobject self, jstring name);
JNIEXPORT void JNICALL Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_setValue(
    JNIEnv* env, jobject self, jstring name, jobject value);
JNIEXPORT jboolean JNICALL
Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_hasNext(JNIEnv* env,
                                                                                 jobject self);
JNIEXPORT jobject JNICALL
Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_next(JNIEnv* env,
                                                                              jobject self);
JNIEXPORT void JNICALL
Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_close(JNIEnv* env,
                                                                               jobject self);
}

namespace fuzz {

inline constexpr jint kCurrentUser = static_cast<jint>(0x80000001);
inline constexpr char kKeyPath[] = "Software\\Fuzz";
inline constexpr char16_t kKeyPath16[] = u"Software\\Fuzz";

inline constexpr char kOpenKeyFailed[] = "open key failed";
inline constexpr char kQueryValueFailed[] = "query value key failed";
inline constexpr char kUnsupportedValueType[] = "unsupported value type";
inline constexpr char kQueryInfoFailed[] = "query info key failed";
inline constexpr char kEnumValueFailed[] = "enum value failed";
inline constexpr char kPastEnd[] = "past end of enumeration";

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "\nfuzz check failed: %s\n", what.c_str());
    std::abort();
}

inline void require(bool condition, const std::string& what) {
    if (!condition) fail(what);
}

inline void requireNoViolation(const harness::JniWorld& world, const char* during) {
    if (!world.violations().empty()) fail(std::string("JNI breach in ") + during + ":" +
                                          world.violationReport());
}

inline void requireHandles(DWORD expected, const char* when) {
    const DWORD open = RegEmuOpenHandleCount();
    require(open == expected, std::string(when) + ": " + std::to_string(open) +
                                  " key handles open, expected " + std::to_string(expected));
}

// UTF-16 units two bytes at a time, any of them: NUL, unpaired surrogates, noncharacters.
inline std::u16string units(FuzzedDataProvider& in, size_t maxUnits) {
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, maxUnits);
    std::u16string text;
    for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        text.push_back(static_cast<char16_t>(in.ConsumeIntegral<uint16_t>()));
    }
    return text;
}

// Whether `thrown` is one of `allowed` (simple class name and message).
inline bool isOneOf(const harness::Thrown& thrown,
                    std::initializer_list<std::pair<const char*, const char*>> allowed) {
    for (const auto& [cls, message] : allowed) {
        if (thrown.simpleName() == cls && thrown.message &&
            harness::encodeModifiedUtf8(*thrown.message) == message) {
            return true;
        }
    }
    return false;
}

inline bool isRegistryError(const std::optional<harness::Thrown>& thrown, const char* message) {
    return thrown && isOneOf(*thrown, {{"CVSWin32RegKeyException", message}});
}

inline std::string describe(const std::optional<harness::Thrown>& thrown) {
    return thrown ? thrown->describe() : "nothing thrown";
}

// A host object of `cls` (the key or the walk class) naming `path` (null: none) below `root`.
inline jobject makeHost(harness::JniWorld& world, const char* cls, jint root,
                        const std::u16string* path) {
    jobject host = world.makeInstance(cls);
    world.setIntField(host, "m_root", root);
    world.setObjectField(host, "m_path", path ? world.makeString(*path) : nullptr);
    return host;
}

// Creates `path` below HKEY_CURRENT_USER; false when the registry refuses the name.
inline bool createKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The type and bytes of a value, or nothing when it cannot be read.
struct Stored {
    DWORD type = 0;
    std::vector<BYTE> data;
    friend bool operator==(const Stored& a, const Stored& b) {
        return a.type == b.type && a.data == b.data;
    }
};

inline std::optional<Stored> query(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    Stored stored{type, std::vector<BYTE>(size + 1)};
    if (RegQueryValueExA(key, name, nullptr, &type, stored.data.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    stored.type = type;
    stored.data.resize(size);
    return stored;
}

// Runs once: the registry starts empty, not from a file named in the environment.
inline void setUpProcess() { unsetenv("REGEMU_IMPORT"); }

}  // namespace fuzz

#endif
