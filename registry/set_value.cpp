#include <cstring>

#include "registry/call_frame.h"
#include "registry/operations.h"
#include "registry/value_kinds.h"

namespace cvsreg {

void set_value(JNIEnv* env, jobject host, jstring value_name, jobject value) {
    // Declared first so they are given back last: the key is closed, then the name released,
    // then the value's text or bytes.
    ScopedUtfChars text(env);
    ScopedByteArrayElements bytes(env);
    ScopedUtfChars name(env);
    ScopedKey key = open_key(env, host, env->GetObjectClass(host), KEY_WRITE);
    if (!key) return;
    if (!name.take(value_name)) return;

    if (value == nullptr) {
        // Deleting a value that is not there is not an error; a refused delete is, since the
        // value stays.
        const LONG status = RegDeleteValueA(key.get(), name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            raise_registry_error(env, kQueryValueFailed);
        }
        return;
    }

    jclass value_class = env->GetObjectClass(value);
    jclass integer_class = env->FindClass(java::kIntegerClass);
    if (integer_class == nullptr) return;
    jclass string_class = env->FindClass(java::kStringClass);
    if (string_class == nullptr) return;

    DWORD type;
    const BYTE* data;
    DWORD size;
    BYTE dword[4];
    if (env->IsAssignableFrom(value_class, string_class)) {
        if (!text.take(static_cast<jstring>(value))) return;
        type = REG_SZ;
        data = reinterpret_cast<const BYTE*>(text.c_str());
        size = static_cast<DWORD>(std::strlen(text.c_str()) + 1);  // with the terminating NUL
    } else if (env->IsAssignableFrom(value_class, integer_class)) {
        jmethodID int_value = env->GetMethodID(integer_class, java::kIntegerIntValue.name,
                                               java::kIntegerIntValue.signature);
        if (int_value == nullptr) return;
        const jint number = env->CallIntMethod(value, int_value);
        // A Java call may raise; the VM requires a look before any further JNI call.
        if (env->ExceptionCheck()) return;
        dword_to_bytes(number, dword);
        type = REG_DWORD;
        data = dword;
        size = sizeof dword;
    } else {
        jclass byte_array_class = env->FindClass(java::kByteArrayClass);
        if (byte_array_class == nullptr) return;
        if (!env->IsAssignableFrom(value_class, byte_array_class)) {
            raise_registry_error(env, kUnsupportedValueType);
            return;
        }
        const jsize length = env->GetArrayLength(static_cast<jarray>(value));
        if (!bytes.take(static_cast<jbyteArray>(value))) return;
        type = REG_BINARY;
        data = bytes.bytes();
        size = static_cast<DWORD>(length);
    }

    if (RegSetValueExA(key.get(), name.c_str(), 0, type, data, size) != ERROR_SUCCESS) {
        raise_registry_error(env, kQueryValueFailed);  // a failed write shares the query's text
    }
}

}  // namespace cvsreg
