// RegEmuImportFile on a file of any bytes, over a registry that already holds keys and values.
// A file is imported whole or not at all: when the import fails, every key the file names (and
// every key above it, and the roots) reads exactly as before, and the message names a line of
// the file ("line N: ..."). No key handle is left open either way. When it succeeds, the
// registry it made goes through export and import again and comes back the same.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <regex>
#include <set>
#include <utility>

#include "fuzz_common.h"

namespace {

const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                       HKEY_USERS,        HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG};
// Full and short names of the roots, in the order of kRoots.
const char* const kRootNames[][2] = {{"HKEY_CLASSES_ROOT", "HKCR"},   {"HKEY_CURRENT_USER", "HKCU"},
                                     {"HKEY_LOCAL_MACHINE", "HKLM"},  {"HKEY_USERS", "HKU"},
                                     {"HKEY_PERFORMANCE_DATA", ""},   {"HKEY_CURRENT_CONFIG", "HKCC"}};

char g_path[64];
char g_exportPath[80];

void removeFile() {
    unlink(g_path);
    unlink(g_exportPath);
}

std::string readAll(const char* path) {
    std::string bytes;
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr) return bytes;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, got);
    std::fclose(in);
    return bytes;
}

// The whole registry as its export file; empty if the export failed.
std::string exportAll() {
    std::string all;
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG}) {
        const LONG status = RegEmuExportFile(root, nullptr, g_exportPath);
        fuzz::require(status == ERROR_SUCCESS, "exporting a root returned " + std::to_string(status));
        all += readAll(g_exportPath);
    }
    return all;
}

// Export, empty the registry, import each root's file again: the export must not change.
void checkRoundTrip() {
    std::vector<std::string> files;
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG}) {
        fuzz::require(RegEmuExportFile(root, nullptr, g_exportPath) == ERROR_SUCCESS, "export failed");
        files.push_back(readAll(g_exportPath));
    }
    RegEmuReset();
    std::string before;
    for (const std::string& file : files) {
        before += file;
        FILE* out = std::fopen(g_exportPath, "wb");
        if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size())
            fuzz::fail("cannot write the export file");
        std::fclose(out);
        const LONG status = RegEmuImportFile(g_exportPath);
        fuzz::require(status == ERROR_SUCCESS, std::string("an export did not import: ") +
                                                   RegEmuLastImportError());
    }
    const std::string after = exportAll();
    fuzz::require(after == before, "export, import and export again changed the file");
}

bool sameIgnoringCase(const std::string& a, const char* b) {
    return a.size() == std::strlen(b) &&
           std::equal(a.begin(), a.end(), b, [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

int rootIndex(const std::string& name) {
    for (int i = 0; i < 6; ++i) {
        if (sameIgnoringCase(name, kRootNames[i][0]) ||
            (*kRootNames[i][1] && sameIgnoringCase(name, kRootNames[i][1]))) {
            return i;
        }
    }
    return -1;
}

// The file's text as the importer reads it, near enough to find its key lines: UTF-16LE
// (after its byte order mark) brought down to bytes, a UTF-8 mark dropped.
std::string text(const std::string& file) {
    if (file.size() >= 2 && static_cast<unsigned char>(file[0]) == 0xFF &&
        static_cast<unsigned char>(file[1]) == 0xFE) {
        std::u16string units;
        for (size_t i = 2; i + 1 < file.size(); i += 2) {
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(file[i]) |
                                                  (static_cast<unsigned char>(file[i + 1]) << 8)));
        }
        std::string out;
        for (char16_t u : units) out.push_back(u < 0x80 ? static_cast<char>(u) : '?');
        return out;
    }
    if (file.compare(0, 3, "\xEF\xBB\xBF") == 0) return file.substr(3);
    return file;
}

// Every key a file names in its [key] and [-key] lines, and every key above one: what an
// import could change. The roots themselves and the keys made beforehand are always in.
std::set<std::pair<int, std::string>> keysNamed(const std::string& file) {
    std::set<std::pair<int, std::string>> keys;
    for (int root = 0; root < 6; ++root) keys.insert({root, ""});
    keys.insert({1, "Software\\Fuzz\\Existing"});
    keys.insert({2, "Software\\Fuzz"});
    const std::string body = text(file);
    size_t start = 0;
    while (start < body.size() && keys.size() < 80) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(" \t"));
        if (line.empty() || line[0] != '[') continue;
        std::string inside = line.substr(1, line.rfind(']') == std::string::npos
                                                ? std::string::npos
                                                : line.rfind(']') - 1);
        if (!inside.empty() && inside[0] == '-') inside.erase(0, 1);
        const size_t slash = inside.find('\\');
        const int root = rootIndex(inside.substr(0, slash));
        if (root < 0 || slash == std::string::npos) continue;
        const std::string path = inside.substr(slash + 1);
        for (size_t cut = path.find('\\'); cut != std::string::npos; cut = path.find('\\', cut + 1)) {
            keys.insert({root, path.substr(0, cut)});
        }
        keys.insert({root, path});
    }
    return keys;
}

// The key's values (names, types, data) and subkey count, or "absent".
std::string dumpKey(int root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(kRoots[root], path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "absent";
    }
    DWORD subkeys = 0, values = 0, longestName = 0, longestData = 0;
    std::string out;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        out = "no info";
    } else {
        out = std::to_string(subkeys) + " subkeys";
        std::vector<char> name(longestName + 1);
        std::vector<BYTE> data(longestData + 1);
        for (DWORD i = 0; i < values; ++i) {
            DWORD nameSize = static_cast<DWORD>(name.size());
            DWORD dataSize = static_cast<DWORD>(data.size());
            DWORD type = 0;
            if (RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(),
                              &dataSize) != ERROR_SUCCESS) {
                out += "; value " + std::to_string(i) + " unreadable";
                continue;
            }
            out += "; \"" + std::string(name.data(), nameSize) + "\" " + std::to_string(type) +
                   ":" + harness::toHex({data.begin(), data.begin() + dataSize});
        }
    }
    RegCloseKey(key);
    return out;
}

std::string dump(const std::set<std::pair<int, std::string>>& keys) {
    std::string out;
    for (const auto& [root, path] : keys) {
        out += kRootNames[root][0] + std::string("\\") + path + ": " + dumpKey(root, path) + "\n";
    }
    return out;
}

void prepare() {
    RegEmuReset();
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Fuzz\\Existing", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    RegSetValueExA(key, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>("old"), 4);
    const BYTE one[4] = {1, 0, 0, 0};
    RegSetValueExA(key, "number", 0, REG_DWORD, one, 4);
    RegSetValueExA(key, nullptr, 0, REG_BINARY, one, 2);
    RegCloseKey(key);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Fuzz\\Below", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key, nullptr);
    RegCloseKey(key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUpProcess();
    const char* dir = std::getenv("TMPDIR");
    std::snprintf(g_path, sizeof g_path, "%s/cvsreg-fuzz-XXXXXX.reg",
                  dir && std::strlen(dir) < 32 ? dir : "/tmp");
    const int fd = mkstemps(g_path, 4);
    if (fd < 0) fuzz::fail("no temporary file");
    close(fd);
    std::snprintf(g_exportPath, sizeof g_exportPath, "%s.export", g_path);
    std::atexit(removeFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string file(reinterpret_cast<const char*>(bytes), size);
    FILE* out = std::fopen(g_path, "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size()) {
        fuzz::fail("cannot write the temporary file");
    }
    std::fclose(out);

    prepare();
    const auto keys = keysNamed(file);
    const std::string before = dump(keys);
    const LONG status = RegEmuImportFile(g_path);
    fuzz::requireHandles(0, "after the import");
    if (status == ERROR_SUCCESS) {
        checkRoundTrip();
        return 0;
    }

    fuzz::require(status == ERROR_INVALID_PARAMETER,
                  "a failed import returned " + std::to_string(status));
    const std::string after = dump(keys);
    fuzz::require(after == before, "a failed import changed the registry:\nbefore:\n" + before +
                                       "after:\n" + after);
    const std::string message = RegEmuLastImportError();
    std::smatch match;
    fuzz::require(std::regex_search(message, match, std::regex("^line ([0-9]{1,9}): .")),
                  "a failed import said \"" + message + "\"");
    const long line = std::stol(match[1]);
    // Lines end in CR LF, LF or a lone CR.
    const std::string body = text(file);
    long lines = 1;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\n' || (body[i] == '\r' && (i + 1 >= body.size() || body[i + 1] != '\n'))) ++lines;
    }
    fuzz::require(line >= 1 && line <= lines, "\"" + message + "\" names no line of a file of " +
                                                  std::to_string(lines) + " lines");
    return 0;
}
