// The getValue/setValue case table shared with the Java tests (tests/cases/value_cases.tsv;
// its header comment gives the format).
#ifndef CVSREG_HARNESS_CASE_TABLE_H
#define CVSREG_HARNESS_CASE_TABLE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "java_value.h"

namespace harness {

struct StoredValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;

    friend bool operator==(const StoredValue& a, const StoredValue& b) {
        return a.type == b.type && a.data == b.data;
    }
};

std::string describe(const std::optional<StoredValue>& stored);

struct Hook {
    enum class Kind { None, Fail, DenyRead, DenyWrite };
    Kind kind = Kind::None;
    std::string function;  // Fail: the registry function to fail
    std::uint32_t skip = 0;
    std::int32_t error = 0;
};

struct Expectation {
    enum class Kind { Value, Throws, Stored, Absent };
    Kind kind = Kind::Value;
    JavaValue value;             // Value (get)
    std::string exceptionClass;  // Throws: the simple class name
    std::u16string message;      // Throws
    StoredValue stored;          // Stored (set)
};

struct Case {
    int line = 0;
    std::string id;
    std::string testName;  // id made into a test name, unique in the table
    std::string problem;   // set when the row could not be read; the case then fails with it
    bool isSet = false;
    bool keyPresent = true;
    std::optional<StoredValue> stored;
    bool nullName = false;
    std::u16string name;
    Hook hook;
    JavaValue input;  // set only
    Expectation expect;
};

// Every case row of the table at `path`. A row that cannot be read still yields a case, with
// `problem` set, so that it shows up as a failing test rather than vanishing; an unreadable
// file yields one such case.
std::vector<Case> readCaseTable(const std::string& path);

// Parses one line; exposed for the table reader's own tests.
Case parseCaseLine(const std::string& line, int lineNumber);

// TEXT in the table: literal UTF-8, except \uXXXX (one UTF-16 unit), \\ and \t.
std::optional<std::u16string> parseText(const std::string& text, std::string* problem);
std::optional<std::vector<std::uint8_t>> parseHex(const std::string& hex);

}  // namespace harness

#endif
