#include "export.h"

#include "utf16.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace regemu {

namespace {

// Windows' editor ends a hex line once it reaches this many characters.
constexpr size_t kHexLineWidth = 77;

void appendEscaped(std::string &out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
}

// A REG_SZ that a quoted string gives back exactly: text, then its one NUL.
bool isPlainString(const Value &value) {
    const auto &data = value.data;
    return value.type == REG_SZ && !data.empty() && data.back() == 0 &&
           std::find(data.begin(), data.end() - 1, BYTE{0}) == data.end() - 1;
}

void appendHex(std::string &out, size_t lineLength, const BYTE *bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
        if (i + 1 == size) break;
        out += ',';
        lineLength += 3;
        if (lineLength >= kHexLineWidth) {
            out += "\\\r\n  ";
            lineLength = 2;
        }
    }
}

void appendValue(std::string &out, const Value &value) {
    const size_t start = out.size();
    if (value.name.empty()) {
        out += "@=";
    } else {
        out += '"';
        appendEscaped(out, value.name);
        out += "\"=";
    }
    const size_t prefixLength = narrowToUtf16(std::string_view(out).substr(start)).size();
    if (isPlainString(value)) {
        out += '"';
        appendEscaped(out, std::string_view(reinterpret_cast<const char *>(value.data.data()),
                                            value.data.size() - 1));
        out += "\"\r\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char number[16];
        const BYTE *d = value.data.data();
        std::snprintf(number, sizeof number, "dword:%08x",
                      static_cast<unsigned>(d[0] | d[1] << 8 | d[2] << 16) |
                          static_cast<unsigned>(d[3]) << 24);
        out += number;
        out += "\r\n";
        return;
    }
    char kind[24];
    if (value.type == REG_BINARY) {
        std::snprintf(kind, sizeof kind, "hex:");
    } else {
        std::snprintf(kind, sizeof kind, "hex(%x):", static_cast<unsigned>(value.type));
    }
    out += kind;
    const size_t lineLength = prefixLength + std::strlen(kind);
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
        // Text types are written in the UTF-16 form Windows stores.
        std::string utf16;
        appendUtf16Le(utf16, narrowToUtf16(std::string_view(
                                 reinterpret_cast<const char *>(value.data.data()), value.data.size())));
        appendHex(out, lineLength, reinterpret_cast<const BYTE *>(utf16.data()), utf16.size());
    } else {
        appendHex(out, lineLength, value.data.data(), value.data.size());
    }
    out += "\r\n";
}

// A name as Windows orders subkeys: its UTF-16 units through the uppercase table.
std::vector<uint32_t> sortKey(std::string_view name) {
    std::vector<uint32_t> key;
    key.reserve(name.size());
    for (FoldedUnits units(name); !units.done();) key.push_back(units.next());
    return key;
}

// One [key] block per key, depth first, children in name order; no recursion, so any depth
// is fine.
void appendTree(std::string &out, const std::string &topPath, Key &top) {
    struct Pending {
        Key *key;
        std::string path;
    };
    std::vector<Pending> pending;
    pending.push_back({&top, topPath});
    while (!pending.empty()) {
        Pending item = std::move(pending.back());
        pending.pop_back();
        out += '[';
        out += item.path;
        out += "]\r\n";
        {
            ValuesLock::Shared values(item.key->valuesLock);
            for (const auto &value : item.key->values) appendValue(out, *value);
        }
        out += "\r\n";
        std::vector<std::pair<std::vector<uint32_t>, Key *>> children;
        children.reserve(item.key->children.size());
        item.key->children.forEach([&](const std::shared_ptr<Key> &child) {
            children.emplace_back(sortKey(child->name), child.get());
        });
        std::sort(children.begin(), children.end());
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back({it->second, item.path + "\\" + it->second->name});
    }
}

std::string toFileBytes(const std::string &document) {
    std::string bytes = "\xFF\xFE";
    appendUtf16Le(bytes, narrowToUtf16(document));
    return bytes;
}

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

}  // namespace

std::string exportDocument(State &s, Key &top) {
    std::string document = kHeader;
    appendTree(document, keyPath(s, top), top);
    return toFileBytes(document);
}

std::string exportEverything(State &s) {
    std::string document = kHeader;
    TreeLock::Shared lock(s.tree);
    for (int root = 0; root < kRootCount; ++root) {
        Key &key = *s.roots[root];
        bool empty;
        {
            ValuesLock::Shared values(key.valuesLock);
            empty = key.values.empty() && key.children.empty();
        }
        if (!empty) appendTree(document, rootName(root), key);
    }
    return toFileBytes(document);
}

namespace {

// REGEMU_EXPORT=file: the whole registry is written there when the process exits normally.
void exportAtExit() {
    const char *path = std::getenv("REGEMU_EXPORT");
    if (!path || !*path) return;
    try {
        std::string message;
        if (writeExportFile(path, exportEverything(state()), message) != ERROR_SUCCESS)
            std::fprintf(stderr, "regemu: REGEMU_EXPORT file %s: %s\n", path, message.c_str());
    } catch (...) {
        std::fprintf(stderr, "regemu: REGEMU_EXPORT file %s: out of memory\n", path);
    }
}

struct ExportAtExit {
    ExportAtExit() {
        const char *path = std::getenv("REGEMU_EXPORT");
        if (path && *path) std::atexit(exportAtExit);
    }
} exportAtExitRegistration;

}  // namespace

LONG writeExportFile(const char *path, const std::string &bytes, std::string &message) {
    std::FILE *file = std::fopen(path, "wb");
    if (!file) {
        const int error = errno;
        message = std::string("cannot create ") + path + ": " + std::strerror(error);
        if (error == EACCES || error == EPERM || error == EROFS) return ERROR_ACCESS_DENIED;
        if (error == ENOENT || error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
        return ERROR_WRITE_FAULT;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int error = errno;
    if (std::fclose(file) != 0 || !written) {
        std::remove(path);
        message = std::string("cannot write ") + path + ": " + std::strerror(written ? errno : error);
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

}  // namespace regemu
