// Windows' registry editor imports the file the emulation exports: runs "regedit /s FILE" on
// the real registry (Wine's, in the Windows suite) and checks every value of the table in
// export_cases.h, read back with the wide functions, against what the emulation held.
#include <windows.h>

#include <cstdio>
#include <string>

#include "export_cases.h"

namespace {

std::wstring wide(const std::string &utf8) {
    if (utf8.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], length);
    return out;
}

// The data as Windows stores it: string types in UTF-16, the others as given.
std::string stored(const export_cases::Value &value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) return value.data;
    const std::wstring text = wide(value.data);
    return std::string(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
}

std::string hex(const std::string &bytes) {
    std::string out;
    char digits[4];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x ", c);
        out += digits;
    }
    return out;
}

bool runRegedit(const std::wstring &file) {
    std::wstring command = L"regedit.exe /s \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    const DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return waited == WAIT_OBJECT_0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: regedit_import_check FILE.reg\n");
        return 2;
    }
    const std::wstring top = wide(export_cases::kTop);
    RegDeleteTreeW(HKEY_CURRENT_USER, top.c_str());
    if (!runRegedit(wide(argv[1]))) {
        std::fprintf(stderr, "cannot run regedit\n");
        return 1;
    }
    int failures = 0, compared = 0;
    for (const export_cases::Value &value : export_cases::values()) {
        const std::string path = std::string(export_cases::kTop) + (*value.key ? "\\" : "") + value.key;
        const std::string where = path + " \"" + value.name + "\"";
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wide(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            std::printf("FAIL %s: key missing\n", where.c_str());
            ++failures;
            continue;
        }
        const std::wstring name = wide(value.name);
        DWORD type = 0, size = 0;
        LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
        std::string data(size, '\0');
        if (status == ERROR_SUCCESS && size)
            status = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &size);
        RegCloseKey(key);
        ++compared;
        const std::string expected = stored(value);
        if (status != ERROR_SUCCESS || type != value.type || data != expected) {
            std::printf("FAIL %s: status %ld, type %lu (want %lu), data %s(want %s)\n", where.c_str(), status,
                        type, value.type, hex(data).c_str(), hex(expected).c_str());
            ++failures;
        }
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, top.c_str());
    std::printf("%d values compared, %d differ\n", compared, failures);
    return failures == 0 && compared > 0 ? 0 : 1;
}
