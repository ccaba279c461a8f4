// The walk over a key's value names. Its whole state lives in the iterator object's fields:
//   m_index  -1 before the walk is opened, then the index of the next name
//   m_count  the number of values when the walk was opened
//   m_hkey   the key while it is open (0 <= m_index < m_count), and 0 whenever it is not
//   m_maxsize the longest value name at opening, in characters, plus its terminator
//
// Java code can change these fields (reflection, a subclass, a walk shared by mistake), so the
// walk trusts them only as far as they describe a walk: it never enumerates or closes handle 0,
// and fields that describe no walk end it with an exception. Since m_hkey is cleared whenever
// the key is closed, a rewound walk cannot reach a handle value that now belongs to another key.
#include <algorithm>
#include <cstddef>

#include "registry/call_frame.h"
#include "registry/operations.h"
#include "registry/value_kinds.h"

namespace cvsreg {
namespace {

// The narrow form of a name takes up to three bytes per UTF-16 unit (the UTF-8 code page; a
// double-byte code page takes two), while the registry counts names in UTF-16 units.
constexpr std::size_t kNarrowBytesPerUnit = 3;
// The first buffer stays within what the narrow functions hand out for one name.
constexpr std::size_t kNarrowNameLimit = 32767;
// The widest narrow form of the longest name the registry holds (16,383 units), terminated:
// a buffer grown for a name that did not fit stops here.
constexpr std::size_t kLongestNarrowName = 16383 * kNarrowBytesPerUnit + 1;

// Field identifiers are looked up as a call needs them: every call checks where the walk stands
// and its key, but only opening or ending a walk needs m_root and m_path. Each lookup searches
// the class, on every call.
struct WalkFields {
    jclass host_class = nullptr;
    jfieldID key = nullptr;
    jfieldID max_size = nullptr;
    jfieldID index = nullptr;
    jfieldID count = nullptr;
};

bool find_position_fields(JNIEnv* env, WalkFields& fields) {
    fields.index = field_id(env, fields.host_class, java::kWalkIndexField);
    if (fields.index == nullptr) return false;
    fields.count = field_id(env, fields.host_class, java::kWalkCountField);
    return fields.count != nullptr;
}

bool find_key_handle_fields(JNIEnv* env, WalkFields& fields) {
    fields.key = field_id(env, fields.host_class, java::kWalkKeyField);
    if (fields.key == nullptr) return false;
    fields.max_size = field_id(env, fields.host_class, java::kWalkMaxSizeField);
    return fields.max_size != nullptr;
}

// The walk's fields as they stand.
struct WalkState {
    jint index = 0;
    jint count = 0;
    jint max_size = 0;
    HKEY key = nullptr;
};

void read_position(JNIEnv* env, jobject host, const WalkFields& fields, WalkState& state) {
    state.index = env->GetIntField(host, fields.index);
    state.count = env->GetIntField(host, fields.count);
}

void read_key_handle(JNIEnv* env, jobject host, const WalkFields& fields, WalkState& state) {
    state.max_size = env->GetIntField(host, fields.max_size);
    state.key = key_from_java(env->GetIntField(host, fields.key));
}

// Whether the fields describe a walk: unopened, open with a key and a buffer size, or exhausted.
bool describes_a_walk(const WalkState& state) {
    if (state.index == -1) return true;
    if (state.index < -1 || state.count < 0 || state.index > state.count) return false;
    if (state.index == state.count) return true;
    return state.key != nullptr && state.max_size > 0;
}

// Gives up the walk's key, if it holds one: closed unless it is the root, and m_hkey cleared.
// False, with the VM's error pending, when m_root cannot be found: the key then stays as it is.
bool release_walk_key(JNIEnv* env, jobject host, const WalkFields& fields, WalkState& state) {
    if (state.key == nullptr) return true;
    const jfieldID root = field_id(env, fields.host_class, java::kRootField);
    if (root == nullptr) return false;
    close_key(state.key, key_from_java(env->GetIntField(host, root)));
    state.key = nullptr;
    env->SetIntField(host, fields.key, 0);
    return true;
}

// Ends the walk where it stands: no key held, m_index at m_count. A walk never opened, or one
// whose count is no count, ends empty.
bool end_walk(JNIEnv* env, jobject host, const WalkFields& fields, WalkState& state) {
    if (!release_walk_key(env, host, fields, state)) return false;
    if (state.index == -1 || state.count < 0) {
        state.count = 0;
        env->SetIntField(host, fields.count, 0);
    }
    state.index = state.count;
    env->SetIntField(host, fields.index, state.count);
    return true;
}

// Opens the walk: the key, its value count and longest name, stored in the host's fields.
// Returns the count, or -1 with an exception pending; the walk then stays unopened.
jint open_iteration(JNIEnv* env, jobject host, const WalkFields& fields, WalkState& state) {
    // A walk rewound to -1 while open still holds its key: give it up before opening anew.
    if (!release_walk_key(env, host, fields, state)) return -1;

    KeyFields key_fields;
    if (!find_key_fields(env, fields.host_class, key_fields)) return -1;
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
    state.key = count > 0 ? key.release() : nullptr;
    state.max_size = static_cast<jint>(longest_name + 1);
    state.index = 0;
    state.count = static_cast<jint>(count);
    env->SetIntField(host, fields.key, key_to_java(state.key));
    env->SetIntField(host, fields.max_size, state.max_size);
    env->SetIntField(host, fields.index, state.index);
    env->SetIntField(host, fields.count, state.count);
    return state.count;
}

// Brings the walk to where a name can be asked for: opens it when unopened, ends it with
// "enum value failed" when its fields describe no walk. False with an exception pending when
// either fails.
bool prepare_walk(JNIEnv* env, jobject host, const WalkFields& fields, WalkState& state) {
    if (state.index == -1) return open_iteration(env, host, fields, state) != -1;
    if (describes_a_walk(state)) return true;
    if (end_walk(env, host, fields, state)) raise_registry_error(env, kEnumValueFailed);
    return false;
}

// The first buffer for a name of up to `max_size` - 1 UTF-16 units in its narrow form.
std::size_t first_name_buffer_size(jint max_size) {
    const std::size_t units = static_cast<std::size_t>(max_size) - 1;
    if (units >= (kNarrowNameLimit - 1) / kNarrowBytesPerUnit) return kNarrowNameLimit;
    return units * kNarrowBytesPerUnit + 1;
}

}  // namespace

jboolean walk_has_next(JNIEnv* env, jobject host) {
    WalkFields fields;
    fields.host_class = env->GetObjectClass(host);
    if (!find_position_fields(env, fields) || !find_key_handle_fields(env, fields)) return JNI_FALSE;

    WalkState state;
    read_position(env, host, fields, state);
    read_key_handle(env, host, fields, state);
    if (!prepare_walk(env, host, fields, state)) return JNI_FALSE;
    return state.index < state.count ? JNI_TRUE : JNI_FALSE;
}

jstring walk_next(JNIEnv* env, jobject host) {
    WalkFields fields;
    fields.host_class = env->GetObjectClass(host);
    if (!find_position_fields(env, fields) || !find_key_handle_fields(env, fields)) return nullptr;

    WalkState state;
    read_position(env, host, fields, state);
    read_key_handle(env, host, fields, state);
    if (!prepare_walk(env, host, fields, state)) return nullptr;
    if (state.index >= state.count) {
        raise_java_exception(env, java::kNoSuchElementExceptionClass, kPastEndOfEnumeration);
        return nullptr;
    }

    // A name that does not fit (one added since the walk was opened, or a narrow form longer
    // than reckoned) is asked for again with a larger buffer rather than ending the walk.
    HeapBuffer buffer;
    std::size_t buffer_size = first_name_buffer_size(state.max_size);
    DWORD length;
    LONG status;
    for (;;) {
        if (!buffer.allocate(buffer_size)) {
            raise_out_of_memory(env);  // the walk stays where it is and may be tried again
            return nullptr;
        }
        length = static_cast<DWORD>(buffer_size);
        status = RegEnumValueA(state.key, static_cast<DWORD>(state.index), buffer.chars(), &length,
                               nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_MORE_DATA || buffer_size >= kLongestNarrowName) break;
        buffer_size = std::min(buffer_size * 2, kLongestNarrowName);
    }
    if (status != ERROR_SUCCESS) {
        if (end_walk(env, host, fields, state)) raise_registry_error(env, kEnumValueFailed);
        return nullptr;
    }

    // The name's terminator is passed along, so it need not be copied to get one.
    jstring name =
        text_to_java(env, buffer.chars(), std::min<std::size_t>(std::size_t{length} + 1, buffer_size));
    if (name == nullptr) return nullptr;
    state.index += 1;
    env->SetIntField(host, fields.index, state.index);
    // The last name: the walk is over. Should m_root be missing, its error is pending and the
    // name is not handed out.
    if (state.index == state.count && !release_walk_key(env, host, fields, state)) return nullptr;
    return name;
}

void walk_close(JNIEnv* env, jobject host) {
    WalkFields fields;
    fields.host_class = env->GetObjectClass(host);
    if (!find_position_fields(env, fields) || !find_key_handle_fields(env, fields)) return;

    WalkState state;
    read_position(env, host, fields, state);
    read_key_handle(env, host, fields, state);
    if (state.index == state.count && state.key == nullptr) return;  // already ended
    end_walk(env, host, fields, state);
}

}  // namespace cvsreg
