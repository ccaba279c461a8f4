#include "state.h"

#include "regfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace regemu {

namespace {

constexpr REGSAM kAllKeyRights = KEY_ALL_ACCESS;

State *createState() {
    auto *s = new State();
    const char *path = std::getenv("REGEMU_IMPORT");
    if (path && *path) {
        std::string message;
        if (importFile(*s, path, message) != ERROR_SUCCESS)
            std::fprintf(stderr, "regemu: REGEMU_IMPORT file %s: %s\n", path, message.c_str());
    }
    return s;
}

void applyImport(State &s, std::vector<ImportOp> &ops) {
    TreeLock::Exclusive lock(s.tree);
    Key *current = nullptr;
    for (ImportOp &op : ops) {
        switch (op.kind) {
        case ImportOp::Kind::OpenKey: {
            Key *key = s.roots[op.root].get();
            for (const std::string &part : op.path) {
                const std::shared_ptr<Key> *child = findChild(*key, part);
                key = child ? child->get() : addChild(*key, part).get();
            }
            current = key;
            break;
        }
        case ImportOp::Kind::DeleteKey: {
            Path path(op.path.begin(), op.path.end());
            Walk walk = walkPath(*s.roots[op.root], path);
            if (walk.matched == path.size() && walk.deepest->parent)
                deleteChild(*walk.deepest->parent, walk.deepest->name);
            current = nullptr;
            break;
        }
        case ImportOp::Kind::SetValue: {
            std::unique_lock<ValuesLock> values(current->valuesLock);
            current->setValue(op.name, op.type, std::move(op.data));
            break;
        }
        case ImportOp::Kind::DeleteValue: {
            std::unique_lock<ValuesLock> values(current->valuesLock);
            current->deleteValue(op.name);
            break;
        }
        }
    }
}

}  // namespace

State::State() {
    for (auto &root : roots) root = std::make_shared<Key>(std::string(), nullptr, true);
}

State &state() {
    static State *const instance = createState();
    return *instance;
}

int rootIndex(HKEY handle) {
    // Only the sign-extended form names a root, as on 64-bit Windows.
    const auto value = static_cast<intptr_t>(reinterpret_cast<uintptr_t>(handle));
    const intptr_t first = static_cast<int32_t>(0x80000000u);
    return value >= first && value < first + kRootCount ? static_cast<int>(value - first) : -1;
}

LONG resolve(State &s, HKEY handle, Ref &out) {
    const int root = rootIndex(handle);
    if (root >= 0) {
        out.key = s.roots[root].get();
        out.access = ~REGSAM{0};
        out.root = root;
        return ERROR_SUCCESS;
    }
    if (!s.handles.use(handle, out.use)) return ERROR_INVALID_HANDLE;
    out.key = out.use.key();
    out.access = out.use.access();
    out.era = out.use.era();
    out.root = -1;
    return ERROR_SUCCESS;
}

REGSAM keyRights(REGSAM rights) {
    REGSAM result = rights & kAllKeyRights;
    if (rights & GENERIC_READ) result |= KEY_READ;
    if (rights & GENERIC_WRITE) result |= KEY_WRITE;
    if (rights & GENERIC_EXECUTE) result |= KEY_EXECUTE;
    if (rights & GENERIC_ALL) result |= kAllKeyRights;
    return result;
}

LONG grantAccess(REGSAM desired, REGSAM denied, REGSAM &granted) {
    REGSAM wanted = keyRights(desired);
    if (wanted & denied) return ERROR_ACCESS_DENIED;
    if (desired & MAXIMUM_ALLOWED) wanted |= kAllKeyRights & ~denied;
    granted = wanted;
    return ERROR_SUCCESS;
}

const char *rootName(int root) {
    static const char *const kNames[kRootCount] = {
        "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",     "HKEY_LOCAL_MACHINE",
        "HKEY_USERS",        "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG"};
    return root >= 0 && root < kRootCount ? kNames[root] : "";
}

std::string keyPath(State &s, const Key &key) {
    std::vector<const Key *> chain;
    const Key *at = &key;
    for (; !at->isRoot; at = at->parent) {
        if (!at->parent) return std::string();
        chain.push_back(at);
    }
    int root = 0;
    while (root < kRootCount && s.roots[root].get() != at) ++root;
    std::string path = rootName(root);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += '\\';
        path += (*it)->name;
    }
    return path;
}

LONG importFile(State &s, const char *path, std::string &message) {
    if (!path) {
        message = "no file name given";
        return ERROR_INVALID_PARAMETER;
    }
    std::FILE *file = std::fopen(path, "rb");
    if (!file) {
        const bool denied = errno == EACCES;
        message = std::string("cannot open ") + path + (denied ? ": permission denied" : ": no such file");
        return denied ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
    std::string bytes;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) {
        message = std::string("cannot read ") + path;
        return ERROR_ACCESS_DENIED;
    }
    std::vector<ImportOp> ops;
    ImportProblem problem;
    if (!parseRegFile(bytes, ops, problem)) {
        message = "line " + std::to_string(problem.line) + ": " + problem.reason;
        return ERROR_INVALID_PARAMETER;
    }
    applyImport(s, ops);
    return ERROR_SUCCESS;
}

}  // namespace regemu
