#include "registry/call_frame.h"

#include <cstdlib>

namespace cvsreg {

HeapBuffer::~HeapBuffer() { std::free(data_); }

bool HeapBuffer::allocate(std::size_t size) {
    std::free(data_);
    data_ = static_cast<BYTE*>(std::malloc(size == 0 ? 1 : size));
    return data_ != nullptr;
}

bool find_key_fields(JNIEnv* env, jclass host_class, KeyFields& fields) {
    fields.root = field_id(env, host_class, java::kRootField);
    if (fields.root == nullptr) return false;
    fields.path = field_id(env, host_class, java::kPathField);
    return fields.path != nullptr;
}

ScopedKey open_key(JNIEnv* env, jobject host, const KeyFields& fields, REGSAM access) {
    const HKEY root = key_from_java(env->GetIntField(host, fields.root));
    HKEY key = nullptr;
    LONG status;
    {
        ScopedUtfChars path(env);
        if (!path.take(static_cast<jstring>(env->GetObjectField(host, fields.path)))) {
            return ScopedKey();
        }
        status = RegOpenKeyExA(root, path.c_str(), 0, access, &key);
    }
    if (status != ERROR_SUCCESS) {
        raise_registry_error(env, kOpenKeyFailed);
        return ScopedKey();
    }
    return ScopedKey(key, root);
}

ScopedKey open_key(JNIEnv* env, jobject host, jclass host_class, REGSAM access) {
    KeyFields fields;
    if (!find_key_fields(env, host_class, fields)) return ScopedKey();
    return open_key(env, host, fields, access);
}

void raise_java_exception(JNIEnv* env, const char* class_name, const char* message) {
    jclass exception_class = env->FindClass(class_name);
    if (exception_class == nullptr) return;  // FindClass's own error is pending
    env->ThrowNew(exception_class, message);
}

void raise_registry_error(JNIEnv* env, const char* message) {
    raise_java_exception(env, java::kRegistryExceptionClass, message);
}

void raise_out_of_memory(JNIEnv* env) {
    raise_java_exception(env, java::kOutOfMemoryErrorClass, kBufferUnavailable);
}

}  // namespace cvsreg
