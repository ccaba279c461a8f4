#include "regfile.h"

#include "names.h"

#include <cstdint>

namespace regemu {

namespace {

struct RootName {
    const char *full;
    const char *shortName;
};

// In the order of the predefined keys 0x80000000..0x80000005.
const RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"},   {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_LOCAL_MACHINE", "HKLM"},  {"HKEY_USERS", "HKU"},
    {"HKEY_PERFORMANCE_DATA", "HKEY_PERFORMANCE_DATA"}, {"HKEY_CURRENT_CONFIG", "HKCC"},
};

int rootByName(std::string_view name) {
    for (int i = 0; i < static_cast<int>(sizeof kRoots / sizeof kRoots[0]); ++i) {
        if (equalsIgnoreCase(name, kRoots[i].full) || equalsIgnoreCase(name, kRoots[i].shortName))
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

std::string_view trim(std::string_view s) { return trimRight(trimLeft(s)); }

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

void appendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE (after its byte order mark) to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
    };
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
            u = 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            u = 0xFFFD;
        }
        appendUtf8(out, u);
    }
    return out;
}

class Parser {
public:
    Parser(std::string_view text, std::vector<ImportOp> &ops, ImportProblem &problem)
        : ops_(ops), problem_(problem) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.push_back(line);
            start = end + 1;
        }
    }

    bool run() {
        std::string_view header = trimRight(lines_[0]);
        if (header != "Windows Registry Editor Version 5.00" && header != "REGEDIT4")
            return fail(0, "not a registry file (bad header)");
        for (size_t i = 1; i < lines_.size(); ++i) {
            std::string_view line = trimLeft(lines_[i]);
            if (line.empty() || line.front() == ';') continue;
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

    // A quoted string starting at line[pos] == '"'; `\\` and `\"` are the only escapes.
    bool quoted(size_t i, std::string_view line, size_t &pos, std::string &out,
                const char *what) {
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
                if (next != '\\' && next != '"')
                    return fail(i, std::string("bad escape '\\") + next + "' in " + what);
                c = next;
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
            if (!trim(line.substr(pos)).empty()) return fail(i, "unexpected text after string");
            op.type = REG_SZ;
            op.data.assign(text.begin(), text.end());
            op.data.push_back(0);
        } else if (trimRight(data) == "-") {
            op.kind = ImportOp::Kind::DeleteValue;
        } else if (startsWithIgnoreCase(data, "dword:")) {
            uint32_t number;
            if (!parseHex(trimRight(data.substr(6)), 8, number))
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
        } else {
            return fail(i, "unknown value data");
        }
        if (!sectionDeleted_) ops_.push_back(std::move(op));
        return true;
    }

    // Comma-separated bytes; a line ending in '\' continues on the next line. Advances `i`
    // past the continuation lines.
    bool hexBytes(size_t &i, std::string_view text, std::vector<BYTE> &out) {
        while (true) {
            std::string_view rest = trim(text);
            bool continued = !rest.empty() && rest.back() == '\\';
            if (continued) rest = trimRight(rest.substr(0, rest.size() - 1));
            size_t start = 0;
            while (!rest.empty() && start <= rest.size()) {
                size_t comma = rest.find(',', start);
                bool last = comma == std::string_view::npos;
                std::string_view token = trim(rest.substr(start, last ? rest.npos : comma - start));
                uint32_t byte;
                if (token.empty() && last && continued) break;  // "01,02,\" before a new line
                if (!parseHex(token, 2, byte)) return fail(i, "bad hex byte '" + std::string(token) + "'");
                out.push_back(static_cast<BYTE>(byte));
                if (last) break;
                start = comma + 1;
            }
            if (!continued) return true;
            if (++i >= lines_.size()) return fail(i - 1, "hex data continues past the end of the file");
            text = lines_[i];
        }
    }

    std::vector<std::string_view> lines_;
    std::vector<ImportOp> &ops_;
    ImportProblem &problem_;
    bool inSection_ = false;
    bool sectionDeleted_ = false;
};

}  // namespace

bool parseRegFile(std::string_view bytes, std::vector<ImportOp> &ops, ImportProblem &problem) {
    ops.clear();
    std::string converted;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        converted = utf16ToUtf8(bytes.substr(2));
        bytes = converted;
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    return Parser(bytes, ops, problem).run();
}

}  // namespace regemu
