// The benchmark's own native methods (class torvane.plexide.scm.cvs.bench.BenchNative): an empty
// call, the JNI calls of a getValue without the registry, the registry calls of a getValue
// without JNI, a memcpy, and fixtures written straight into the emulated registry.
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "regemu.h"

namespace {

// What registryWork reads in each slot, fixed beforehand so that the timed call converts
// nothing. One slot per thread of the thread rows, so that threads read different keys.
constexpr int kSlots = 8;
struct RegistryTarget {
    HKEY root = nullptr;
    std::string path;
    std::string name;
};
RegistryTarget g_targets[kSlots];

// What jniWork returns: the text a getValue of the same value returns.
std::string g_result_text;

unsigned char* g_copy_from = nullptr;
unsigned char* g_copy_to = nullptr;
size_t g_copy_size = 0;

HKEY root_of(jint root) { return reinterpret_cast<HKEY>(static_cast<intptr_t>(root)); }

std::string text_of(JNIEnv* env, jstring string) {
    if (string == nullptr) return std::string();
    const char* chars = env->GetStringUTFChars(string, nullptr);
    std::string text(chars != nullptr ? chars : "");
    if (chars != nullptr) env->ReleaseStringUTFChars(string, chars);
    return text;
}

LONG create_key(HKEY root, const std::string& path, HKEY* key) {
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key,
                           nullptr);
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_empty(JNIEnv*, jclass) {}

// Exactly the JNI calls of a getValue of a short REG_SZ, in its order, and nothing else.
JNIEXPORT jstring JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_jniWork(JNIEnv* env,
                                                                                jclass,
                                                                                jobject host,
                                                                                jstring name) {
    jclass host_class = env->GetObjectClass(host);
    jfieldID root_field = env->GetFieldID(host_class, "m_root", "I");
    if (root_field == nullptr) return nullptr;
    jfieldID path_field = env->GetFieldID(host_class, "m_path", "Ljava/lang/String;");
    if (path_field == nullptr) return nullptr;
    volatile jint root = env->GetIntField(host, root_field);
    (void)root;
    jstring path = static_cast<jstring>(env->GetObjectField(host, path_field));
    const char* path_chars = env->GetStringUTFChars(path, nullptr);
    if (path_chars == nullptr) return nullptr;
    env->ReleaseStringUTFChars(path, path_chars);
    const char* name_chars = env->GetStringUTFChars(name, nullptr);
    if (name_chars == nullptr) return nullptr;
    jstring result = env->NewStringUTF(g_result_text.c_str());
    env->ReleaseStringUTFChars(name, name_chars);
    return result;
}

// Only the field lookups of a getValue: to show, with threads, what they cost when shared.
JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_fieldIds(JNIEnv* env, jclass,
                                                                              jobject host) {
    jclass host_class = env->GetObjectClass(host);
    jfieldID root_field = env->GetFieldID(host_class, "m_root", "I");
    jfieldID path_field = env->GetFieldID(host_class, "m_path", "Ljava/lang/String;");
    return (root_field != nullptr) + (path_field != nullptr);
}

JNIEXPORT void JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_prepareJniWork(
    JNIEnv* env, jclass, jstring result_text) {
    g_result_text = text_of(env, result_text);
}

JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_prepareRegistryWork(
    JNIEnv* env, jclass, jint slot, jint root, jstring path, jstring name) {
    if (slot < 0 || slot >= kSlots) return ERROR_INVALID_PARAMETER;
    g_targets[slot].root = root_of(root);
    g_targets[slot].path = text_of(env, path);
    g_targets[slot].name = text_of(env, name);
    return ERROR_SUCCESS;
}

// Exactly the registry calls of a getValue (open, size, buffer, data, close) and nothing else.
JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_registryWork(JNIEnv*,
                                                                                  jclass,
                                                                                  jint slot) {
    const RegistryTarget& target = g_targets[slot & (kSlots - 1)];
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(target.root, target.path.c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExA(key, target.name.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        BYTE* buffer = static_cast<BYTE*>(std::malloc(size == 0 ? 1 : size));
        if (buffer == nullptr) {
            status = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            status = RegQueryValueExA(key, target.name.c_str(), nullptr, &type, buffer, &size);
            std::free(buffer);
        }
    }
    RegCloseKey(key);
    return status;
}

JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_prepareMemcpy(JNIEnv*,
                                                                                   jclass,
                                                                                   jint size) {
    std::free(g_copy_from);
    std::free(g_copy_to);
    g_copy_size = static_cast<size_t>(size);
    g_copy_from = static_cast<unsigned char*>(std::malloc(g_copy_size ? g_copy_size : 1));
    g_copy_to = static_cast<unsigned char*>(std::malloc(g_copy_size ? g_copy_size : 1));
    if (g_copy_from == nullptr || g_copy_to == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    // Touched once, so the timed copies meet no first-use page faults.
    std::memset(g_copy_from, 0x5A, g_copy_size);
    std::memset(g_copy_to, 0, g_copy_size);
    return ERROR_SUCCESS;
}

JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_memcpyOnce(JNIEnv*, jclass) {
    std::memcpy(g_copy_to, g_copy_from, g_copy_size);
    return g_copy_size ? g_copy_to[g_copy_size - 1] : 0;
}

// Creates the key if need be and writes one value.
JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_putValue(
    JNIEnv* env, jclass, jint root, jstring path, jstring name, jint type, jbyteArray data) {
    HKEY key = nullptr;
    LONG status = create_key(root_of(root), text_of(env, path), &key);
    if (status != ERROR_SUCCESS) return status;
    const jsize length = env->GetArrayLength(data);
    jbyte* bytes = env->GetByteArrayElements(data, nullptr);
    const std::string value_name = text_of(env, name);
    status = RegSetValueExA(key, value_name.c_str(), 0, static_cast<DWORD>(type),
                            reinterpret_cast<const BYTE*>(bytes), static_cast<DWORD>(length));
    env->ReleaseByteArrayElements(data, bytes, JNI_ABORT);
    RegCloseKey(key);
    return status;
}

// Creates the key if need be and fills it with `count` REG_DWORD values named v000000, v000001...
JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_fillKey(JNIEnv* env,
                                                                              jclass, jint root,
                                                                              jstring path,
                                                                              jint count) {
    HKEY key = nullptr;
    LONG status = create_key(root_of(root), text_of(env, path), &key);
    for (jint i = 0; status == ERROR_SUCCESS && i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "v%06d", static_cast<int>(i));
        const BYTE data[4] = {BYTE(i), BYTE(i >> 8), BYTE(i >> 16), BYTE(i >> 24)};
        status = RegSetValueExA(key, name, 0, REG_DWORD, data, sizeof data);
    }
    if (key != nullptr) RegCloseKey(key);
    return status;
}

JNIEXPORT jint JNICALL Java_torvane_plexide_scm_cvs_bench_BenchNative_openHandleCount(JNIEnv*,
                                                                                     jclass) {
    return static_cast<jint>(RegEmuOpenHandleCount());
}

}  // extern "C"
