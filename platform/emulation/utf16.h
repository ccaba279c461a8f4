// The emulation's narrow form (UTF-8) and UTF-16, as registry files and Windows' stored form
// hold text. A byte that is not part of standard UTF-8 becomes U+DC00 plus the byte (a lone
// surrogate, which text does not hold), and back, so any bytes survive a trip through a file.
#ifndef REGEMU_UTF16_H
#define REGEMU_UTF16_H

#include <cstddef>
#include <string>
#include <string_view>

namespace regemu {

// UTF-16 code units of the narrow text, in order.
std::u16string narrowToUtf16(std::string_view narrow);
// Back to the narrow form; a lone surrogate U+DC80..U+DCFF becomes its byte again, any other
// lone surrogate U+FFFD.
std::string utf16ToNarrow(std::u16string_view units);
// UTF-16LE bytes to units; an odd last byte is dropped.
std::u16string unitsOfUtf16Le(std::string_view bytes);
void appendUtf16Le(std::string &out, std::u16string_view units);

}  // namespace regemu

#endif
