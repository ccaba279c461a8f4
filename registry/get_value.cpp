#include "registry/call_frame.h"
#include "registry/operations.h"
#include "registry/value_kinds.h"

namespace cvsreg {

jobject get_value(JNIEnv* env, jobject host, jstring value_name) {
    ScopedUtfChars name(env);  // released last, after the key is closed
    ScopedKey key = open_key(env, host, env->GetObjectClass(host), KEY_READ);
    if (!key) return nullptr;
    if (!name.take(value_name)) return nullptr;

    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
        raise_registry_error(env, kQueryValueFailed);
        return nullptr;
    }

    HeapBuffer buffer;
    if (!buffer.allocate(size)) {
        raise_out_of_memory(env);
        return nullptr;
    }
    // The type is asked for again: the value may have been replaced since the sizing query, and
    // the data must be read as what it now is. A value that grew since then fails here.
    if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, buffer.data(), &size) !=
        ERROR_SUCCESS) {
        raise_registry_error(env, kQueryValueFailed);
        return nullptr;
    }
    return value_to_java(env, type, buffer.data(), size);
}

}  // namespace cvsreg
