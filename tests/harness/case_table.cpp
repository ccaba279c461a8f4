#include "case_table.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "modified_utf8.h"

namespace harness {

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// "Kind:rest" split at the first colon only, since the rest may hold colons.
bool splitTag(const std::string& s, std::string* tag, std::string* rest) {
    std::size_t at = s.find(':');
    if (at == std::string::npos) return false;
    *tag = s.substr(0, at);
    *rest = s.substr(at + 1);
    return true;
}

std::optional<std::int64_t> parseInteger(const std::string& s, std::int64_t lo, std::int64_t hi) {
    if (s.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size() || n < lo || n > hi) return std::nullopt;
    return n;
}

template <typename T>
std::optional<std::int64_t> parseAs(const std::string& s) {
    return parseInteger(s, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
}

// Standard UTF-8 of the table file into UTF-16 units.
bool appendUtf8(const std::string& s, std::size_t* i, std::u16string* out) {
    unsigned char b = static_cast<unsigned char>(s[*i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || *i + extra >= s.size()) return false;
    std::uint32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
    for (int k = 1; k <= extra; ++k) {
        unsigned char c = static_cast<unsigned char>(s[*i + k]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    *i += extra + 1;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        *out += static_cast<char16_t>(0xD800 + (cp >> 10));
        *out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        *out += static_cast<char16_t>(cp);
    }
    return true;
}

std::optional<StoredValue> parseStored(const std::string& s, std::string* problem) {
    std::string type, hex;
    if (!splitTag(s, &type, &hex)) {
        *problem = "stored value '" + s + "' is not TYPE:HEX";
        return std::nullopt;
    }
    auto code = parseAs<std::uint32_t>(type);
    auto data = parseHex(hex);
    if (!code || !data) {
        *problem = "stored value '" + s + "' is not TYPE:HEX";
        return std::nullopt;
    }
    return StoredValue{static_cast<std::uint32_t>(*code), *data};
}

// A get result or a set input: String:TEXT, Integer:N, Bytes:HEX and, for inputs, the rest.
std::optional<JavaValue> parseValue(const std::string& s, bool inputKinds, std::string* problem) {
    using Kind = JavaValue::Kind;
    JavaValue v;
    if (inputKinds && s == "null") return JavaValue::null();
    if (inputKinds && s == "Object") {
        v.kind = Kind::Object;
        return v;
    }
    std::string tag, rest;
    if (!splitTag(s, &tag, &rest)) {
        *problem = "value '" + s + "' has no KIND: prefix";
        return std::nullopt;
    }
    std::optional<std::int64_t> n;
    if (tag == "String" || (inputKinds && tag == "char[]")) {
        auto text = parseText(rest, problem);
        if (!text) return std::nullopt;
        v.kind = tag == "String" ? Kind::String : Kind::CharArray;
        v.text = *text;
        return v;
    }
    if (tag == "Bytes") {
        auto bytes = parseHex(rest);
        if (!bytes) {
            *problem = "'" + rest + "' is not hex";
            return std::nullopt;
        }
        v.kind = Kind::Bytes;
        v.bytes = *bytes;
        return v;
    }
    if (tag == "Integer") {
        v.kind = Kind::Integer;
        n = parseAs<std::int32_t>(rest);
    } else if (inputKinds && tag == "Long") {
        v.kind = Kind::Long;
        n = parseAs<std::int64_t>(rest);
    } else if (inputKinds && tag == "Short") {
        v.kind = Kind::Short;
        n = parseAs<std::int16_t>(rest);
    } else if (inputKinds && tag == "Boolean") {
        v.kind = Kind::Boolean;
        if (rest == "true" || rest == "false") n = rest == "true" ? 1 : 0;
    } else if (inputKinds && tag == "int[]") {
        v.kind = Kind::IntArray;
        if (!rest.empty()) {
            for (const std::string& part : split(rest, ',')) {
                auto element = parseAs<std::int32_t>(part);
                if (!element) {
                    *problem = "int[] element '" + part + "' is not an int";
                    return std::nullopt;
                }
                v.ints.push_back(static_cast<std::int32_t>(*element));
            }
        }
        return v;
    } else {
        *problem = "unknown value kind '" + tag + "'";
        return std::nullopt;
    }
    if (!n) {
        *problem = "'" + rest + "' is not a valid " + tag;
        return std::nullopt;
    }
    v.number = *n;
    return v;
}

std::optional<Expectation> parseExpectation(const std::string& s, bool isSet, std::string* problem) {
    Expectation e;
    std::string tag, rest;
    if (splitTag(s, &tag, &rest) && tag == "throws") {
        std::string cls, message;
        if (!splitTag(rest, &cls, &message) ||
            (cls != "CVSWin32RegKeyException" && cls != "NoSuchElementException" &&
             cls != "OutOfMemoryError")) {
            *problem = "expectation '" + s + "' is not throws:CLASS:MESSAGE with a known CLASS";
            return std::nullopt;
        }
        auto text = parseText(message, problem);
        if (!text) return std::nullopt;
        e.kind = Expectation::Kind::Throws;
        e.exceptionClass = cls;
        e.message = *text;
        return e;
    }
    if (isSet) {
        if (s == "absent") {
            e.kind = Expectation::Kind::Absent;
            return e;
        }
        if (tag == "stored") {
            auto stored = parseStored(rest, problem);
            if (!stored) return std::nullopt;
            e.kind = Expectation::Kind::Stored;
            e.stored = *stored;
            return e;
        }
        *problem = "set expectation '" + s + "' is not stored:TYPE:HEX, absent or throws:...";
        return std::nullopt;
    }
    auto value = parseValue(s, false, problem);
    if (!value) return std::nullopt;
    e.kind = Expectation::Kind::Value;
    e.value = *value;
    return e;
}

std::optional<Hook> parseHook(const std::string& s, std::string* problem) {
    Hook h;
    if (s == "-") return h;
    if (s == "deny:read" || s == "deny:write") {
        h.kind = s == "deny:read" ? Hook::Kind::DenyRead : Hook::Kind::DenyWrite;
        return h;
    }
    std::vector<std::string> parts = split(s, ':');
    if (parts.size() == 4 && parts[0] == "fail" && !parts[1].empty()) {
        auto skip = parseAs<std::uint32_t>(parts[2]);
        auto error = parseAs<std::int32_t>(parts[3]);
        if (skip && error) {
            h.kind = Hook::Kind::Fail;
            h.function = parts[1];
            h.skip = static_cast<std::uint32_t>(*skip);
            h.error = static_cast<std::int32_t>(*error);
            return h;
        }
    }
    *problem = "hook '" + s + "' is not -, fail:FUNCTION:SKIP:ERROR, deny:read or deny:write";
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> parseHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::optional<std::u16string> parseText(const std::string& text, std::string* problem) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '\\') {
            if (!appendUtf8(text, &i, &out)) {
                *problem = "text '" + text + "' is not valid UTF-8";
                return std::nullopt;
            }
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += u'\\';
            i += 2;
        } else if (i + 1 < text.size() && text[i + 1] == 't') {
            out += u'\t';
            i += 2;
        } else if (i + 5 < text.size() && text[i + 1] == 'u' &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 4])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 5]))) {
            out += static_cast<char16_t>(std::stoul(text.substr(i + 2, 4), nullptr, 16));
            i += 6;
        } else {
            *problem = "text '" + text + "' has a bad escape at offset " + std::to_string(i);
            return std::nullopt;
        }
    }
    return out;
}

Case parseCaseLine(const std::string& line, int lineNumber) {
    Case c;
    c.line = lineNumber;
    std::vector<std::string> cols = split(line, '\t');
    c.id = cols[0];
    auto fail = [&](const std::string& why) {
        c.problem = "line " + std::to_string(lineNumber) + ": " + why;
        return c;
    };
    if (cols.size() != 8) {
        return fail("expected 8 TAB-separated columns, found " + std::to_string(cols.size()));
    }
    const std::string& op = cols[1];
    if (op != "get" && op != "set") return fail("op '" + op + "' is neither get nor set");
    c.isSet = op == "set";
    if (cols[2] != "present" && cols[2] != "missing") {
        return fail("key '" + cols[2] + "' is neither present nor missing");
    }
    c.keyPresent = cols[2] == "present";
    std::string problem;
    if (cols[3] != "-") {
        c.stored = parseStored(cols[3], &problem);
        if (!c.stored) return fail(problem);
        if (!c.keyPresent) return fail("a value is stored under a missing key");
    }
    if (cols[4] == "<null>") {
        c.nullName = true;
    } else {
        auto name = parseText(cols[4], &problem);
        if (!name) return fail(problem);
        c.name = *name;
    }
    auto hook = parseHook(cols[5], &problem);
    if (!hook) return fail(problem);
    c.hook = *hook;
    if (!c.isSet) {
        if (cols[6] != "-") return fail("a get case takes no input (use -)");
    } else {
        auto input = parseValue(cols[6], true, &problem);
        if (!input) return fail(problem);
        c.input = *input;
    }
    auto expect = parseExpectation(cols[7], c.isSet, &problem);
    if (!expect) return fail(problem);
    c.expect = *expect;
    return c;
}

std::vector<Case> readCaseTable(const std::string& path) {
    std::vector<Case> cases;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Case c;
        c.id = c.testName = "case_table_unreadable";
        c.problem = "cannot read the case table " + path;
        cases.push_back(c);
        return cases;
    }
    std::set<std::string> names;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Case c = parseCaseLine(line, number);
        std::string name;
        for (char ch : c.id) {
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        if (name.empty()) name = "line_" + std::to_string(number);
        if (!names.insert(name).second) {
            if (c.problem.empty()) {
                c.problem = "line " + std::to_string(number) + ": id '" + c.id +
                            "' is not unique in the table";
            }
            name += "_line" + std::to_string(number);
            names.insert(name);
        }
        c.testName = name;
        cases.push_back(c);
    }
    return cases;
}

std::string describe(const std::optional<StoredValue>& stored) {
    if (!stored) return "absent";
    return "stored:" + std::to_string(stored->type) + ":" + toHex(stored->data);
}

std::string toHex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string describe(const JavaValue& value) {
    using Kind = JavaValue::Kind;
    switch (value.kind) {
        case Kind::Null: return "null";
        case Kind::String: return "String:" + printable(value.text);
        case Kind::Integer: return "Integer:" + std::to_string(value.number);
        case Kind::Bytes: return "Bytes:" + toHex(value.bytes);
        case Kind::Long: return "Long:" + std::to_string(value.number);
        case Kind::Short: return "Short:" + std::to_string(value.number);
        case Kind::Boolean: return value.number != 0 ? "Boolean:true" : "Boolean:false";
        case Kind::CharArray: return "char[]:" + printable(value.text);
        case Kind::IntArray: {
            std::string out = "int[]:";
            for (std::size_t i = 0; i < value.ints.size(); ++i) {
                out += (i == 0 ? "" : ",") + std::to_string(value.ints[i]);
            }
            return out;
        }
        case Kind::Object: return "Object";
    }
    return "?";
}

}  // namespace harness
