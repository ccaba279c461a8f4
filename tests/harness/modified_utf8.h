// Java's modified UTF-8, the encoding of every char* that crosses JNI: UTF-16 units one by
// one (a surrogate pair is two 3-byte sequences), U+0000 as C0 80, never a 0 byte or a 4-byte
// sequence.
#ifndef CVSREG_HARNESS_MODIFIED_UTF8_H
#define CVSREG_HARNESS_MODIFIED_UTF8_H

#include <optional>
#include <string>
#include <string_view>

namespace harness {

std::string encodeModifiedUtf8(std::u16string_view text);

// The UTF-16 units the bytes encode, or nothing when they are not valid modified UTF-8;
// `problem` then says where and why.
std::optional<std::u16string> decodeModifiedUtf8(std::string_view bytes, std::string* problem);

// For messages: printable ASCII as is, everything else as \uXXXX.
std::string printable(std::u16string_view text);

}  // namespace harness

#endif
