// The frame every entry point runs in: scoped holders for what a call takes (JNI texts and
// arrays, key handles, heap buffers), the opening of the host object's key, and the one place
// that raises Java exceptions.
//
// A holder gives back what it took when it goes out of scope, so each entry point can return
// early on any failure. Holders are declared in the reverse of the order their contents are to
// be given back, so that the key is closed before the texts it was opened with are released.
#ifndef CVSREG_REGISTRY_CALL_FRAME_H
#define CVSREG_REGISTRY_CALL_FRAME_H

#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "host/java_names.h"
#include "platform/registry_api.h"

namespace cvsreg {

// The fixed messages of the library's exceptions.
inline constexpr char kOpenKeyFailed[] = "open key failed";
inline constexpr char kQueryValueFailed[] = "query value key failed";
inline constexpr char kUnsupportedValueType[] = "unsupported value type";
inline constexpr char kQueryInfoFailed[] = "query info key failed";
inline constexpr char kEnumValueFailed[] = "enum value failed";
inline constexpr char kPastEndOfEnumeration[] = "past end of enumeration";
inline constexpr char kBufferUnavailable[] = "registry buffer could not be allocated";

// Key handles cross the Java int as their low 32 bits; going back they are sign-extended to the
// pointer width, which restores predefined roots (0x80000001 is HKEY_CURRENT_USER on every
// width) and the small values of opened keys alike.
inline HKEY key_from_java(jint value) {
    return reinterpret_cast<HKEY>(static_cast<intptr_t>(value));
}
inline jint key_to_java(HKEY key) {
    return static_cast<jint>(reinterpret_cast<intptr_t>(key));
}

// The text of a Java string in the VM's modified UTF-8, released when the holder goes. A null
// string gives a null text, which the registry functions read as the default value or the key
// itself.
class ScopedUtfChars {
public:
    explicit ScopedUtfChars(JNIEnv* env) : env_(env) {}
    ~ScopedUtfChars() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
    }
    ScopedUtfChars(const ScopedUtfChars&) = delete;
    ScopedUtfChars& operator=(const ScopedUtfChars&) = delete;

    // False when the VM could not supply the text; its exception is then pending.
    bool take(jstring string) {
        string_ = string;
        if (string == nullptr) return true;
        chars_ = env_->GetStringUTFChars(string, nullptr);
        return chars_ != nullptr;
    }
    const char* c_str() const { return chars_; }

private:
    JNIEnv* env_;
    jstring string_ = nullptr;
    const char* chars_ = nullptr;
};

// The elements of a Java byte[], read only, released with JNI_ABORT when the holder goes: the
// library never changes them, and copying its snapshot back would undo whatever another thread
// wrote into the array meanwhile.
class ScopedByteArrayElements {
public:
    explicit ScopedByteArrayElements(JNIEnv* env) : env_(env) {}
    ~ScopedByteArrayElements() {
        if (elements_ != nullptr) env_->ReleaseByteArrayElements(array_, elements_, JNI_ABORT);
    }
    ScopedByteArrayElements(const ScopedByteArrayElements&) = delete;
    ScopedByteArrayElements& operator=(const ScopedByteArrayElements&) = delete;

    // False when the VM could not supply the elements; its exception is then pending.
    bool take(jbyteArray array) {
        array_ = array;
        elements_ = env_->GetByteArrayElements(array, nullptr);
        return elements_ != nullptr;
    }
    const BYTE* bytes() const { return reinterpret_cast<const BYTE*>(elements_); }

private:
    JNIEnv* env_;
    jbyteArray array_ = nullptr;
    jbyte* elements_ = nullptr;
};

// Closes `key` unless it is null or the very root it was opened from. RegOpenKeyExA hands back a
// predefined root itself for a null or empty path, and closing that would close the process's
// handle of the root under every other thread using it.
inline void close_key(HKEY key, HKEY root) {
    if (key != nullptr && key != root) RegCloseKey(key);
}

// An open registry key, closed when the holder goes unless it is the root it was opened from.
// Move-only: ownership passes with it.
class ScopedKey {
public:
    ScopedKey() = default;
    ScopedKey(HKEY key, HKEY root) : key_(key), root_(root) {}
    ~ScopedKey() { reset(); }
    ScopedKey(ScopedKey&& other) noexcept : key_(other.release()), root_(other.root_) {}
    ScopedKey& operator=(ScopedKey&& other) noexcept {
        if (this != &other) {
            reset();
            root_ = other.root_;
            key_ = other.release();
        }
        return *this;
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }
    // Gives up ownership without closing: the key now belongs to the caller.
    HKEY release() {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }
    void reset() {
        close_key(key_, root_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
    HKEY root_ = nullptr;
};

// A temporary buffer from the process heap, freed when the holder goes.
class HeapBuffer {
public:
    HeapBuffer() = default;
    ~HeapBuffer();
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;

    // False when the heap cannot supply `size` bytes (at least one byte is always asked for,
    // so an empty value still gets a buffer).
    bool allocate(std::size_t size);
    BYTE* data() const { return data_; }
    char* chars() const { return reinterpret_cast<char*>(data_); }

private:
    BYTE* data_ = nullptr;
};

// The field identifiers of the host object's key.
struct KeyFields {
    jfieldID root = nullptr;
    jfieldID path = nullptr;
};

// Looks up `field` in `host_class`; null with NoSuchFieldError pending when it is missing.
inline jfieldID field_id(JNIEnv* env, jclass host_class, const java::FieldName& field) {
    return env->GetFieldID(host_class, field.name, field.signature);
}

// False with the VM's error pending when the host class lacks m_root or m_path.
bool find_key_fields(JNIEnv* env, jclass host_class, KeyFields& fields);

// Opens the key named by the host object's m_root and m_path with `access`; the holder never
// closes the root itself, which is what a null or empty path may hand back. On failure the
// holder is empty and an exception is pending: "open key failed", or the VM's own when it
// could not supply the path's text.
ScopedKey open_key(JNIEnv* env, jobject host, const KeyFields& fields, REGSAM access);
ScopedKey open_key(JNIEnv* env, jobject host, jclass host_class, REGSAM access);

// Raises `class_name` with `message`. When the class cannot be found, FindClass has already
// raised its own error, which is left pending rather than replaced.
void raise_java_exception(JNIEnv* env, const char* class_name, const char* message);

// Raises the library's CVSWin32RegKeyException with one of the fixed messages above.
void raise_registry_error(JNIEnv* env, const char* message);

// Raises OutOfMemoryError for a buffer the heap could not supply.
void raise_out_of_memory(JNIEnv* env);

}  // namespace cvsreg

#endif
