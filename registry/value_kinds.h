// The registry value kinds the library converts, and the text form shared by values and names.
//
//   REG_SZ     <-> String   the text's modified UTF-8 bytes and one terminating NUL
//   REG_DWORD  <-> Integer  four bytes, little-endian
//   REG_BINARY <-> byte[]   the array's bytes
#ifndef CVSREG_REGISTRY_VALUE_KINDS_H
#define CVSREG_REGISTRY_VALUE_KINDS_H

#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "platform/registry_api.h"

namespace cvsreg {

// Makes a Java String of registry text: the bytes up to the first NUL, or all `size` of them
// when there is none. Valid modified UTF-8 is taken as it stands. Anything else is decoded
// without losing a byte: a well-formed 4-byte UTF-8 sequence becomes its supplementary
// character, and every other byte that cannot be decoded becomes the one character U+0000 +
// byte (so text in ISO-8859-1 reads as itself). Null with an exception pending on failure.
jstring text_to_java(JNIEnv* env, const char* bytes, std::size_t size);

// The REG_DWORD number of `data`: its first four bytes as a signed little-endian number. Shorter
// data is read as far as it goes and zero-extended, so nothing past it is read (empty data is 0).
int32_t dword_from_bytes(const BYTE* data, std::size_t size);

// The four little-endian bytes of a REG_DWORD, whatever the host's byte order.
void dword_to_bytes(int32_t number, BYTE out[4]);

// Converts `size` bytes of registry data of `type` to its Java form: String, Integer or byte[].
// Raises "unsupported value type" for any type outside the table and returns null.
jobject value_to_java(JNIEnv* env, DWORD type, const BYTE* data, std::size_t size);

}  // namespace cvsreg

#endif
