#include "registry/value_kinds.h"

#include <climits>
#include <cstring>

#include "host/java_names.h"
#include "registry/call_frame.h"

namespace cvsreg {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid modified UTF-8 sequence at `p`, or 0 when there is none. Modified
// UTF-8 allows only the shortest forms, except C0 80 for U+0000, and encodes every UTF-16 unit
// (surrogates included, paired or not) in at most three bytes.
std::size_t modified_utf8_length(const unsigned char* p, std::size_t left) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return lead != 0 ? 1 : 0;
    if (lead >= 0xC0 && lead <= 0xDF) {
        if (left < 2 || !is_continuation(p[1])) return 0;
        return (lead >= 0xC2 || (lead == 0xC0 && p[1] == 0x80)) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return 0;
        return (lead > 0xE0 || p[1] >= 0xA0) ? 3 : 0;
    }
    return 0;
}

// The code point of the well-formed 4-byte UTF-8 sequence at `p`, or 0 when there is none.
uint32_t four_byte_code_point(const unsigned char* p, std::size_t left) {
    if (left < 4 || p[0] < 0xF0 || p[0] > 0xF4) return 0;
    if (!is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3])) return 0;
    const uint32_t code = (uint32_t(p[0] & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) |
                          (uint32_t(p[2] & 0x3F) << 6) | uint32_t(p[3] & 0x3F);
    return (code >= 0x10000 && code <= 0x10FFFF) ? code : 0;
}

char* put_unit(char* out, uint32_t unit) {
    if (unit >= 0x01 && unit < 0x80) {
        *out++ = static_cast<char>(unit);
    } else if (unit < 0x800) {
        *out++ = static_cast<char>(0xC0 | (unit >> 6));
        *out++ = static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        *out++ = static_cast<char>(0xE0 | (unit >> 12));
        *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (unit & 0x3F));
    }
    return out;
}

bool is_modified_utf8(const unsigned char* text, std::size_t length) {
    for (std::size_t i = 0; i < length;) {
        const std::size_t step = modified_utf8_length(text + i, length - i);
        if (step == 0) return false;
        i += step;
    }
    return true;
}

// Rewrites `length` bytes of `text` as modified UTF-8 into `out` (room for 2 * length + 1
// bytes: no input byte grows to more than two) and terminates it.
void recode_as_modified_utf8(const unsigned char* text, std::size_t length, char* out) {
    for (std::size_t i = 0; i < length;) {
        if (const std::size_t step = modified_utf8_length(text + i, length - i)) {
            std::memcpy(out, text + i, step);
            out += step;
            i += step;
        } else if (const uint32_t code = four_byte_code_point(text + i, length - i)) {
            const uint32_t offset = code - 0x10000;
            out = put_unit(out, 0xD800 + (offset >> 10));
            out = put_unit(out, 0xDC00 + (offset & 0x3FF));
            i += 4;
        } else {
            out = put_unit(out, text[i]);
            i += 1;
        }
    }
    *out = '\0';
}

jobject new_integer(JNIEnv* env, jint number) {
    jclass integer_class = env->FindClass(java::kIntegerClass);
    if (integer_class == nullptr) return nullptr;
    jmethodID constructor = env->GetMethodID(integer_class, java::kIntegerConstructor.name,
                                             java::kIntegerConstructor.signature);
    if (constructor == nullptr) return nullptr;
    return env->NewObject(integer_class, constructor, number);
}

jobject new_byte_array(JNIEnv* env, const BYTE* data, std::size_t size) {
    if (size > static_cast<std::size_t>(INT32_MAX)) {
        raise_out_of_memory(env);
        return nullptr;
    }
    const jsize length = static_cast<jsize>(size);
    jbyteArray array = env->NewByteArray(length);
    if (array == nullptr) return nullptr;
    env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(data));
    return array;
}

}  // namespace

jstring text_to_java(JNIEnv* env, const char* bytes, std::size_t size) {
    const auto* text = reinterpret_cast<const unsigned char*>(bytes);
    const void* nul = std::memchr(text, 0, size);
    const std::size_t length = nul ? static_cast<const unsigned char*>(nul) - text : size;

    if (is_modified_utf8(text, length)) {
        if (nul != nullptr) return env->NewStringUTF(bytes);
        // The text fills its data without a terminator: copy it out to add one.
        HeapBuffer terminated;
        if (!terminated.allocate(length + 1)) {
            raise_out_of_memory(env);
            return nullptr;
        }
        std::memcpy(terminated.data(), text, length);
        terminated.data()[length] = 0;
        return env->NewStringUTF(terminated.chars());
    }

    HeapBuffer recoded;
    if (length > (SIZE_MAX - 1) / 2 || !recoded.allocate(2 * length + 1)) {
        raise_out_of_memory(env);
        return nullptr;
    }
    recode_as_modified_utf8(text, length, recoded.chars());
    return env->NewStringUTF(recoded.chars());
}

int32_t dword_from_bytes(const BYTE* data, std::size_t size) {
    uint32_t number = 0;
    for (std::size_t i = 0; i < 4 && i < size; ++i) number |= uint32_t(data[i]) << (8 * i);
    return static_cast<int32_t>(number);
}

void dword_to_bytes(int32_t number, BYTE out[4]) {
    const auto bits = static_cast<uint32_t>(number);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(bits >> (8 * i));
}

jobject value_to_java(JNIEnv* env, DWORD type, const BYTE* data, std::size_t size) {
    if (type == REG_SZ) return text_to_java(env, reinterpret_cast<const char*>(data), size);
    if (type == REG_DWORD) return new_integer(env, dword_from_bytes(data, size));
    if (type == REG_BINARY) return new_byte_array(env, data, size);
    raise_registry_error(env, kUnsupportedValueType);
    return nullptr;
}

}  // namespace cvsreg
