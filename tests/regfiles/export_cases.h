// The registry that the export checks hold, in one table for both sides: the emulation's
// export of it must equal wine-import.reg byte for byte (Linux), and Windows' editor, run on
// wine-import.reg under Wine, must give back the same values (Windows suite).
#ifndef CVSREG_TESTS_EXPORT_CASES_H
#define CVSREG_TESTS_EXPORT_CASES_H

#include <string>
#include <vector>

namespace export_cases {

// Below HKEY_CURRENT_USER; names and text are UTF-8.
constexpr const char *kTop = "Software\\CVSWin32RegKeyTests\\ExportCheck";

struct Value {
    const char *key;  // below kTop, "" for kTop itself
    std::string name;
    unsigned long type;
    std::string data;  // the narrow form, as RegSetValueExA takes it
};

inline std::vector<Value> values() {
    const std::string longName(300, 'n');
    const std::string longData(100, '\x5a');
    return {
        {"", "", 1, std::string("Plexide CVS client\0", 19)},
        {"", "Plain", 1, std::string("text\0", 5)},
        {"", "Quote \"and\" back\\slash", 1, std::string("C:\\Program Files\\\"x\"\0", 21)},
        {"", "Line breaks", 1, std::string("one\ntwo\r\nthree\0", 15)},
        {"", "Non-ASCII \xC3\xA9\xE2\x82\xAC", 1, std::string("na\xC3\xAFve \xF0\x9F\x98\x80\0", 12)},
        {"", "Empty string", 1, std::string()},
        {"", "Embedded NUL", 1, std::string("abc\0def\0", 8)},
        {"", "Expand", 2, std::string("%USERPROFILE%\\Plexide\0", 22)},
        {"", "Multi", 7, std::string("cvs.example.org\0cvs.example.net\0\0", 33)},
        {"", "Number", 4, std::string("\x2a\x00\x00\x00", 4)},
        {"", "Short number", 4, std::string("\x01\x02", 2)},
        {"", "Big", 11, std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
        {"", "Nothing", 0, std::string()},
        {"", "Odd type", 0x100, std::string("%PATH%\0", 7)},
        {"", longName, 3, longData},
        {"Caf\xC3\xA9\\Gr\xC3\xB6\xC3\x9F" "e", "Wert", 1, std::string("\xC3\xBC\0", 3)},
        {"Empty key", "", 3, std::string("\x00\xff", 2)},
    };
}

}  // namespace export_cases

#endif
