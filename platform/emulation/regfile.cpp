#include "regfile.h"

#include "names.h"
#include "state.h"
#include "utf16.h"

#include <cstdint>

namespace regemu {

namespace {

// The short forms registry files may use, in the order of the predefined keys (rootName's).
const char *const kShortRootNames[kRootCount] = {"HKCR", "HKCU", "HKLM", "HKU",
                                                 "HKEY_PERFORMANCE_DATA", "HKCC"};

const char kHeader5[] = "Windows Registry Editor Version 5.00";
const char kHeader4[] = "REGEDIT4";

int rootByName(std::string_view name) {
    for (int i = 0; i < kRootCount; ++i) {
        if (equalsIgnoreCase(name, rootName(i)) || equalsIgnoreCase(name, kShortRootNames[i]))
            return i;
    }
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1..maxDigits hex digits and nothing else.
bool parseHex(std::string_view digits, size_t maxDigits, uint32_t &out) {
    if (digits.empty() || digits.size() > maxDigits) return false;
    out = 0;
    for (char c : digits) {
        int d = hexDigit(c);
        if (d < 0) return false;
        out = out * 16 + static_cast<uint32_t>(d);
    }
    return true;
}

// What may follow a value's data on its line, as Windows' editor reads it: blanks, then
// nothing or a ';' comment ('#' starts a comment only at the start of a line).
bool onlyCommentLeft(std::string_view rest) {
    rest = trimLeft(rest);
    return rest.empty() || rest.front() == ';';
}

bool isTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

class Parser {
public:
    Parser(std::string_view text, std::vector<ImportOp> &ops, ImportProblem &problem)
        : ops_(ops), problem_(problem) {
        // Lines end in CR LF, LF or a lone CR, all of which Windows' editor reads.
        size_t start = 0;
        while (true) {
            size_t end = text.find_first_of("\r\n", start);
            if (end == std::string_view::npos) {
                lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
        }
    }

    bool run() {
        std::string_view header = trim(lines_[0]);
        if (header == kHeader5) {
            utf16Data_ = true;
        } else if (header != kHeader4) {
            return fail(0, "not a registry file (bad header)");
        }
        for (size_t i = 1; i < lines_.size(); ++i) {
            std::string_view line = trimLeft(lines_[i]);
            if (line.empty() || line.front() == ';' || line.front() == '#') continue;
            bool ok;
            if (line.front() == '[') {
                ok = section(i, line);
            } else if (line.front() == '"' || line.front() == '@') {
                ok = value(i, line);
            } else {
                ok = fail(i, "unrecognised line");
            }
            if (!ok) return false;
        }
        return true;
    }

private:
    static std::string_view trim(std::string_view s) { return trimRight(trimLeft(s)); }

    bool fail(size_t index, std::string reason) {
        problem_.line = index + 1;
        problem_.reason = std::move(reason);
        return false;
    }

    bool section(size_t i, std::string_view line) {
        size_t close = line.rfind(']');
        if (close == std::string_view::npos) return fail(i, "missing ']' after key path");
        if (!trim(line.substr(close + 1)).empty()) return fail(i, "unexpected text after ']'");
        std::string_view body = line.substr(1, close - 1);
        bool remove = !body.empty() && body.front() == '-';
        if (remove) body.remove_prefix(1);
        size_t slash = body.find('\\');
        std::string_view rootName = body.substr(0, slash);
        int root = rootByName(rootName);
        if (root < 0) return fail(i, "unknown root key '" + std::string(rootName) + "'");
        Path path;
        if (slash != std::string_view::npos) {
            LONG error = splitPath(body.substr(slash + 1), path);
            if (error == ERROR_BAD_PATHNAME) return fail(i, "empty key name in path");
            if (error != ERROR_SUCCESS) return fail(i, "key name longer than 255 characters");
        }
        if (remove && path.empty()) return fail(i, "a root key cannot be deleted");
        ImportOp op;
        op.kind = remove ? ImportOp::Kind::DeleteKey : ImportOp::Kind::OpenKey;
        op.root = root;
        for (size_t part = 0; part < path.size(); ++part) op.path.emplace_back(path[part]);
        ops_.push_back(std::move(op));
        inSection_ = true;
        sectionDeleted_ = remove;
        return true;
    }

    // A quoted string starting at line[pos] == '"'. Escapes: \\ \" and \n \r for line breaks.
    bool quoted(size_t i, std::string_view line, size_t &pos, std::string &out, const char *what) {
        out.clear();
        for (++pos; pos < line.size(); ++pos) {
            char c = line[pos];
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c == '\\') {
                if (pos + 1 >= line.size()) break;
                char next = line[++pos];
                switch (next) {
                case '\\':
                case '"': c = next; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                default: return fail(i, std::string("bad escape '\\") + next + "' in " + what);
                }
            }
            out += c;
        }
        return fail(i, std::string("unterminated ") + what);
    }

    bool value(size_t &i, std::string_view line) {
        if (!inSection_) return fail(i, "value before any [key] line");
        ImportOp op;
        op.kind = ImportOp::Kind::SetValue;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!quoted(i, line, pos, op.name, "value name")) {
            return false;
        }
        if (longerThan(op.name, kMaxValueNameLength))
            return fail(i, "value name longer than 16383 characters");
        while (pos < line.size() && isSpace(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') return fail(i, "expected '=' after value name");
        ++pos;
        while (pos < line.size() && isSpace(line[pos])) ++pos;
        std::string_view data = line.substr(pos);

        if (!data.empty() && data.front() == '"') {
            std::string text;
            if (!quoted(i, line, pos, text, "string")) return false;
            if (!onlyCommentLeft(line.substr(pos))) return fail(i, "unexpected text after string");
            op.type = REG_SZ;
            op.data.assign(text.begin(), text.end());
            op.data.push_back(0);
        } else if (!data.empty() && data.front() == '-') {
            if (!onlyCommentLeft(data.substr(1))) return fail(i, "unexpected text after '-'");
            op.kind = ImportOp::Kind::DeleteValue;
        } else if (startsWithIgnoreCase(data, "dword:")) {
            std::string_view digits = trimLeft(data.substr(6));
            size_t end = 0;
            while (end < digits.size() && hexDigit(digits[end]) >= 0) ++end;
            uint32_t number;
            if (!parseHex(digits.substr(0, end), 8, number) || !onlyCommentLeft(digits.substr(end)))
                return fail(i, "bad dword (want 1 to 8 hex digits)");
            op.type = REG_DWORD;
            for (int b = 0; b < 4; ++b) op.data.push_back(static_cast<BYTE>(number >> (8 * b)));
        } else if (startsWithIgnoreCase(data, "hex")) {
            data.remove_prefix(3);
            op.type = REG_BINARY;
            if (!data.empty() && data.front() == '(') {
                size_t close = data.find(')');
                if (close == std::string_view::npos ||
                    !parseHex(data.substr(1, close - 1), 8, op.type))
                    return fail(i, "bad type in hex(...)");
                data.remove_prefix(close + 1);
            }
            if (data.empty() || data.front() != ':') return fail(i, "expected ':' after hex");
            data.remove_prefix(1);
            if (!hexBytes(i, data, op.data)) return false;
            if (isTextType(op.type)) storeText(op.data);
        } else {
            return fail(i, "unknown value data");
        }
        if (!sectionDeleted_) ops_.push_back(std::move(op));
        return true;
    }

    // Text types written as hex: UTF-16LE under the 5.00 header, narrow bytes under REGEDIT4.
    // Either way the value is stored in the narrow form, with a terminating NUL added when the
    // data has some and lacks one, as Windows' editor stores it.
    void storeText(std::vector<BYTE> &data) const {
        if (utf16Data_) {
            std::string_view bytes(reinterpret_cast<const char *>(data.data()), data.size());
            std::string narrow = utf16ToNarrow(unitsOfUtf16Le(bytes));
            data.assign(narrow.begin(), narrow.end());
        }
        if (!data.empty() && data.back() != 0) data.push_back(0);
    }

    // Comma-separated bytes, as Windows' editor reads them. A '\' at the start of the data or
    // after a comma continues the data on the next line that is not blank or a ';' comment;
    // the end of the file also ends the data. A trailing comma is allowed, and a ';' comment
    // may follow the bytes or the '\'. Advances `i` past the continuation lines.
    bool hexBytes(size_t &i, std::string_view text, std::vector<BYTE> &out) {
        bool continuationAllowed = true;  // at the start of the data, or after a comma
        size_t pos = 0;
        while (true) {
            while (pos < text.size() && isSpace(text[pos])) ++pos;
            if (pos >= text.size() || text[pos] == ';') return true;
            const char c = text[pos];
            if (c == '\\') {
                if (!continuationAllowed) return fail(i, "'\\' must follow a comma in hex data");
                if (!onlyCommentLeft(text.substr(pos + 1)))
                    return fail(i, "unexpected text after '\\' in hex data");
                if (!nextContinuation(i)) return true;  // the file ends the data
                text = trimLeft(lines_[i]);
                pos = 0;
                continuationAllowed = false;
                continue;
            }
            size_t end = text.find_first_of(", \t;\\", pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view token = text.substr(pos, end - pos);
            uint32_t byte;
            if (!parseHex(token, 2, byte)) return fail(i, "bad hex byte '" + std::string(token) + "'");
            out.push_back(static_cast<BYTE>(byte));
            pos = end;
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continuationAllowed = true;
                continue;
            }
            if (pos < text.size() && text[pos] == '\\')
                return fail(i, "'\\' must follow a comma in hex data");
            if (!onlyCommentLeft(text.substr(pos)))
                return fail(i, "unexpected text after hex byte '" + std::string(token) + "'");
            return true;
        }
    }

    // Moves `i` to the next line that continues hex data, skipping blank lines and ';'
    // comments; false at the end of the file. A '#' line there is an error in Windows'
    // editor: it is taken as data and fails as a bad byte.
    bool nextContinuation(size_t &i) const {
        while (++i < lines_.size()) {
            std::string_view line = trimLeft(lines_[i]);
            if (line.empty() || line.front() == ';') continue;
            return true;
        }
        i = lines_.size() - 1;
        return false;
    }

    std::vector<std::string_view> lines_;
    std::vector<ImportOp> &ops_;
    ImportProblem &problem_;
    bool utf16Data_ = false;
    bool inSection_ = false;
    bool sectionDeleted_ = false;
};

}  // namespace

bool parseRegFile(std::string_view bytes, std::vector<ImportOp> &ops, ImportProblem &problem) {
    ops.clear();
    std::string converted;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        converted = utf16ToNarrow(unitsOfUtf16Le(bytes.substr(2)));
        bytes = converted;
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    return Parser(bytes, ops, problem).run();
}

}  // namespace regemu
