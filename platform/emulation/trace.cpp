#include "trace.h"

#include "state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace regemu {

std::atomic<bool> traceOn{false};

bool &insideTracedCall() {
    thread_local bool inside = false;
    return inside;
}

namespace {

// Where the lines go. Each line is written with one call under the lock, and flushed, so a
// crash loses no line that was written.
class TraceFile {
public:
    LONG open(const char *path) {
        std::FILE *file = nullptr;
        const bool toStderr = path && std::string(path) == "-";
        if (path && !toStderr) {
            file = std::fopen(path, "a");
            if (!file) {
                const int error = errno;
                if (error == EACCES || error == EPERM || error == EROFS) return ERROR_ACCESS_DENIED;
                if (error == ENOENT || error == ENOTDIR) return ERROR_PATH_NOT_FOUND;
                return ERROR_WRITE_FAULT;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_ && file_ != stderr) std::fclose(file_);
        file_ = toStderr ? stderr : file;
        traceOn.store(file_ != nullptr, std::memory_order_relaxed);
        return ERROR_SUCCESS;
    }

    void write(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_) return;
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }

private:
    std::mutex mutex_;
    std::FILE *file_ = nullptr;
};

TraceFile &traceFile() {
    // Left reachable at exit: calls made while the process ends may still trace.
    static TraceFile *const file = new TraceFile();
    return *file;
}

struct StartFromEnvironment {
    StartFromEnvironment() {
        const char *path = std::getenv("REGEMU_TRACE");
        if (path && *path && traceFile().open(path) != ERROR_SUCCESS)
            std::fprintf(stderr, "regemu: REGEMU_TRACE file %s cannot be opened\n", path);
    }
} startFromEnvironment;

unsigned long threadId() {
    thread_local const unsigned long id = static_cast<unsigned long>(syscall(SYS_gettid));
    return id;
}

// Backslashes stay as they are, so paths read as paths; quotes and control characters are
// escaped.
void appendQuoted(std::string &out, const char *text, size_t length) {
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += "\\\"";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void appendName(std::string &out, const char *name) {
    if (name) {
        appendQuoted(out, name, std::string(name).size());
    } else {
        out += "NULL";
    }
}

void appendAccess(std::string &out, REGSAM access) {
    static const struct {
        REGSAM bits;
        const char *name;
    } kRights[] = {
        {KEY_ALL_ACCESS, "KEY_ALL_ACCESS"}, {KEY_READ, "KEY_READ"}, {KEY_WRITE, "KEY_WRITE"},
        {KEY_QUERY_VALUE, "KEY_QUERY_VALUE"}, {KEY_SET_VALUE, "KEY_SET_VALUE"},
        {KEY_CREATE_SUB_KEY, "KEY_CREATE_SUB_KEY"}, {KEY_ENUMERATE_SUB_KEYS, "KEY_ENUMERATE_SUB_KEYS"},
        {KEY_NOTIFY, "KEY_NOTIFY"}, {KEY_CREATE_LINK, "KEY_CREATE_LINK"},
        {KEY_WOW64_64KEY, "KEY_WOW64_64KEY"}, {KEY_WOW64_32KEY, "KEY_WOW64_32KEY"},
        {DELETE, "DELETE"}, {READ_CONTROL, "READ_CONTROL"}, {WRITE_DAC, "WRITE_DAC"},
        {WRITE_OWNER, "WRITE_OWNER"}, {MAXIMUM_ALLOWED, "MAXIMUM_ALLOWED"},
        {GENERIC_ALL, "GENERIC_ALL"}, {GENERIC_EXECUTE, "GENERIC_EXECUTE"},
        {GENERIC_WRITE, "GENERIC_WRITE"}, {GENERIC_READ, "GENERIC_READ"},
    };
    if (access == 0) {
        out += '0';
        return;
    }
    REGSAM left = access;
    bool first = true;
    for (const auto &right : kRights) {
        if ((left & right.bits) != right.bits) continue;
        if (!first) out += '|';
        out += right.name;
        first = false;
        left &= ~right.bits;
    }
    if (left) {
        char number[16];
        std::snprintf(number, sizeof number, "%s0x%x", first ? "" : "|", static_cast<unsigned>(left));
        out += number;
    }
}

void appendResult(std::string &out, LONG result) {
    switch (result) {
    case 0: out += "ERROR_SUCCESS"; return;
    case 2: out += "ERROR_FILE_NOT_FOUND"; return;
    case 3: out += "ERROR_PATH_NOT_FOUND"; return;
    case 5: out += "ERROR_ACCESS_DENIED"; return;
    case 6: out += "ERROR_INVALID_HANDLE"; return;
    case 8: out += "ERROR_NOT_ENOUGH_MEMORY"; return;
    case 87: out += "ERROR_INVALID_PARAMETER"; return;
    case 161: out += "ERROR_BAD_PATHNAME"; return;
    case 234: out += "ERROR_MORE_DATA"; return;
    case 259: out += "ERROR_NO_MORE_ITEMS"; return;
    case 998: out += "ERROR_NOACCESS"; return;
    case 1018: out += "ERROR_KEY_DELETED"; return;
    case 1021: out += "ERROR_CHILD_MUST_BE_VOLATILE"; return;
    default: out += "error " + std::to_string(result);
    }
}

void appendType(std::string &out, DWORD type) {
    static const char *const kTypes[] = {
        "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN",
        "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
        "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    if (type < sizeof kTypes / sizeof kTypes[0]) {
        out += kTypes[type];
    } else {
        char number[16];
        std::snprintf(number, sizeof number, "0x%x", static_cast<unsigned>(type));
        out += number;
    }
}

// The key a handle stands for, by its full path.
std::string describeKey(HKEY handle) {
    State &s = state();
    Ref ref;
    if (resolve(s, handle, ref) != ERROR_SUCCESS) {
        char text[48];
        std::snprintf(text, sizeof text, "<invalid handle %p>", static_cast<void *>(handle));
        return text;
    }
    TreeLock::Shared lock(s.tree);
    if (ref.gone()) return "<deleted key>";
    std::string path = keyPath(s, *ref.key);
    return path.empty() ? "<deleted key>" : path;
}

}  // namespace

LONG tracedCall(Function function, const TraceCall &call, const std::function<LONG()> &run) noexcept {
    std::string line;
    try {
        line = "thread " + std::to_string(threadId()) + " " + functionName(function) +
               " key=" + describeKey(call.key);
        switch (call.nameKind) {
        case TraceCall::Name::Subkey: line += " subkey="; appendName(line, call.name); break;
        case TraceCall::Name::Value: line += " value="; appendName(line, call.name); break;
        case TraceCall::Name::Index: line += " index=" + std::to_string(call.index); break;
        case TraceCall::Name::None: break;
        }
        if (call.hasAccess) {
            line += " access=";
            appendAccess(line, call.access);
        }
        if (call.isWrite) {
            line += " type=";
            appendType(line, call.type);
            line += " size=" + std::to_string(call.size);
        }
    } catch (...) {
        line.clear();
    }
    const LONG result = run();
    if (line.empty()) return result;
    try {
        line += " -> ";
        appendResult(line, result);
        const bool reported = result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
        if (reported && call.nameOut && call.nameLengthOut && result == ERROR_SUCCESS) {
            line += " value=";
            appendQuoted(line, call.nameOut, *call.nameLengthOut);
        }
        if (reported && call.typeOut) {
            line += " type=";
            appendType(line, *call.typeOut);
        }
        if (reported && call.sizeOut) line += " size=" + std::to_string(*call.sizeOut);
        line += '\n';
        traceFile().write(line);
    } catch (...) {
        // The call's result stands whatever happens to its line.
    }
    return result;
}

LONG traceTo(const char *path) { return traceFile().open(path); }

}  // namespace regemu
