// The walk over a key's value names. Its whole state lives in the iterator object's fields:
//   m_index  -1 before the walk is opened, then the index of the next name
//   m_count  the number of values when the walk was opened
//   m_hkey   the key, open while 0 <= m_index < m_count
//   m_maxsize the longest value name at opening plus its terminator: the name buffer's size
#include <algorithm>

#include "registry/call_frame.h"
#include "registry/operations.h"
#include "registry/value_kinds.h"

namespace cvsreg {
namespace {

struct WalkFields {
    jfieldID key = nullptr;
    jfieldID max_size = nullptr;
    jfieldID index = nullptr;
    jfieldID count = nullptr;
};

bool find_position_fields(JNIEnv* env, jclass host_class, WalkFields& fields) {
    fields.index = field_id(env, host_class, java::kWalkIndexField);
    if (fields.index == nullptr) return false;
    fields.count = field_id(env, host_class, java::kWalkCountField);
    return fields.count != nullptr;
}

bool find_walk_fields(JNIEnv* env, jclass host_class, WalkFields& fields) {
    if (!find_position_fields(env, host_class, fields)) return false;
    fields.key = field_id(env, host_class, java::kWalkKeyField);
    if (fields.key == nullptr) return false;
    fields.max_size = field_id(env, host_class, java::kWalkMaxSizeField);
    return fields.max_size != nullptr;
}

// Opens the walk: the key, its value count and longest name, stored in the host's fields.
// Returns the count, or -1 with an exception pending; the walk then stays unopened.
jint open_iteration(JNIEnv* env, jobject host, jclass host_class) {
    KeyFields key_fields;
    if (!find_key_fields(env, host_class, key_fields)) return -1;
    WalkFields fields;
    fields.key = field_id(env, host_class, java::kWalkKeyField);
    if (fields.key == nullptr) return -1;
    fields.max_size = field_id(env, host_class, java::kWalkMaxSizeField);
    if (fields.max_size == nullptr) return -1;
    if (!find_position_fields(env, host_class, fields)) return -1;

    ScopedKey key = open_key(env, host, key_fields, KEY_READ);
    if (!key) return -1;

    DWORD count = 0;
    DWORD longest_name = 0;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longest_name, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        raise_registry_error(env, kQueryInfoFailed);
        return -1;
    }

    // A key without values is exhausted at once: nothing would ever close it, so it goes now.
    const HKEY kept = count > 0 ? key.release() : nullptr;
    env->SetIntField(host, fields.key, key_to_java(kept));
    env->SetIntField(host, fields.max_size, static_cast<jint>(longest_name + 1));
    env->SetIntField(host, fields.index, 0);
    env->SetIntField(host, fields.count, static_cast<jint>(count));
    return static_cast<jint>(count);
}

// Where the walk stands: the index of the next name and the count, opening the walk first
// when it is unopened. The count is -1 when that opening failed, with its exception pending.
struct Position {
    jint index;
    jint count;
};

Position current_position(JNIEnv* env, jobject host, jclass host_class,
                          const WalkFields& fields) {
    const jint index = env->GetIntField(host, fields.index);
    if (index == -1) return {0, open_iteration(env, host, host_class)};
    return {index, env->GetIntField(host, fields.count)};
}

}  // namespace

jboolean walk_has_next(JNIEnv* env, jobject host) {
    jclass host_class = env->GetObjectClass(host);
    WalkFields fields;
    if (!find_position_fields(env, host_class, fields)) return JNI_FALSE;

    const Position position = current_position(env, host, host_class, fields);
    return position.index < position.count ? JNI_TRUE : JNI_FALSE;
}

jstring walk_next(JNIEnv* env, jobject host) {
    jclass host_class = env->GetObjectClass(host);
    WalkFields fields;
    if (!find_walk_fields(env, host_class, fields)) return nullptr;

    const auto [index, count] = current_position(env, host, host_class, fields);
    if (count == -1) return nullptr;
    if (index >= count) {
        raise_java_exception(env, java::kNoSuchElementExceptionClass, kPastEndOfEnumeration);
        return nullptr;
    }

    const jint buffer_size = env->GetIntField(host, fields.max_size);
    const HKEY key = key_from_java(env->GetIntField(host, fields.key));
    HeapBuffer buffer;
    if (buffer_size <= 0 || !buffer.allocate(static_cast<std::size_t>(buffer_size))) {
        raise_out_of_memory(env);  // the walk stays where it is and may be tried again
        return nullptr;
    }

    DWORD length = static_cast<DWORD>(buffer_size);
    if (RegEnumValueA(key, static_cast<DWORD>(index), buffer.chars(), &length, nullptr, nullptr,
                      nullptr, nullptr) != ERROR_SUCCESS) {
        env->SetIntField(host, fields.index, count);  // the walk is over
        ScopedKey{key}.reset();
        raise_registry_error(env, kEnumValueFailed);
        return nullptr;
    }

    // The name's terminator is passed along, so it need not be copied to get one.
    jstring name = text_to_java(env, buffer.chars(), std::min<std::size_t>(length + 1, buffer_size));
    if (name == nullptr) return nullptr;
    env->SetIntField(host, fields.index, index + 1);
    if (index + 1 == count) ScopedKey{key}.reset();  // the last name: the walk is over
    return name;
}

void walk_close(JNIEnv* env, jobject host) {
    jclass host_class = env->GetObjectClass(host);
    WalkFields fields;
    if (!find_position_fields(env, host_class, fields)) return;
    fields.key = field_id(env, host_class, java::kWalkKeyField);
    if (fields.key == nullptr) return;

    const jint index = env->GetIntField(host, fields.index);
    const jint count = env->GetIntField(host, fields.count);
    if (index >= 0 && index < count) {
        ScopedKey{key_from_java(env->GetIntField(host, fields.key))}.reset();
        env->SetIntField(host, fields.index, count);
    } else if (index == -1) {
        // Never opened: end it without opening, so that it stays empty.
        env->SetIntField(host, fields.count, 0);
        env->SetIntField(host, fields.index, 0);
    }
}

}  // namespace cvsreg
