// Writing the registry out as a registry file, and reading it back.
#include "registry_fixture.h"

#include "../regfiles/export_cases.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

namespace regemu_test {
namespace {

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The text as Windows' editor writes it: UTF-16LE after a byte order mark. ASCII only.
std::string asUtf16File(const std::string &ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

class ExportTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        path_ = ::testing::TempDir() + "regemu_export_" + std::to_string(getpid()) + ".reg";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        RegistryTest::TearDown();
    }
    std::string exported(HKEY key, const char *subkey) {
        EXPECT_EQ(ERROR_SUCCESS, RegEmuExportFile(key, subkey, path_.c_str()));
        return readFile(path_);
    }
    std::string path_;
};

// The registry of the export test that Wine's editor tests run on Windows, and the file
// Windows' editor writes for it there.
TEST_F(ExportTest, WritesWhatWindowsEditorWrites) {
    const char *const base = "Software\\Wine\\regedit_test";
    {
        KeyHandle key = create(HKEY_CURRENT_USER, base);
        set(key, "DWORD", REG_DWORD, Bytes{0, 1, 0, 0});
        setString(key, "String", "Your text here...");
        KeyHandle sub1 = create(key, "Subkey1");
        set(sub1, "Binary", REG_BINARY, Bytes{0x11, 0x22, 0x33, 0x44});
        set(sub1, "Undefined hex", 0x100, stringData("%PATH%"));
        KeyHandle sub2a = create(key, "Subkey2a");
        setString(sub2a, "double\"quote", "\"Hello, World!\"");
        set(sub2a, "single'quote", REG_DWORD, Bytes{8, 0, 0, 0});
        KeyHandle sub2b = create(key, "Subkey2a\\Subkey2b");
        setString(sub2b, nullptr, "Default value name");
        set(sub2b, "Multiple strings", REG_MULTI_SZ, bytesOf(std::string("Line1\0Line2\0Line3\0\0", 19)));
        KeyHandle sub3a = create(key, "Subkey3a");
        setString(sub3a, "Backslash", "Use \\\\ to escape a backslash");
        KeyHandle sub3c = create(key, "Subkey3a\\Subkey3b\\Subkey3c");
        set(sub3c, "String expansion", REG_EXPAND_SZ, stringData("%HOME%\\%PATH%"));
        set(sub3c, "Zero data type", REG_NONE, stringData("Value"));
        KeyHandle sub4 = create(key, "Subkey4");
        set(sub4, nullptr, REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12});
        set(sub4, "43981", 0xabcd, stringData("Value"));
    }
    const std::string expected =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test]\r\n"
        "\"DWORD\"=dword:00000100\r\n"
        "\"String\"=\"Your text here...\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey1]\r\n"
        "\"Binary\"=hex:11,22,33,44\r\n"
        "\"Undefined hex\"=hex(100):25,50,41,54,48,25,00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey2a]\r\n"
        "\"double\\\"quote\"=\"\\\"Hello, World!\\\"\"\r\n"
        "\"single'quote\"=dword:00000008\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey2a\\Subkey2b]\r\n"
        "@=\"Default value name\"\r\n"
        "\"Multiple strings\"=hex(7):4c,00,69,00,6e,00,65,00,31,00,00,00,4c,00,69,00,6e,\\\r\n"
        "  00,65,00,32,00,00,00,4c,00,69,00,6e,00,65,00,33,00,00,00,00,00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey3a]\r\n"
        "\"Backslash\"=\"Use \\\\\\\\ to escape a backslash\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey3a\\Subkey3b]\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey3a\\Subkey3b\\Subkey3c]\r\n"
        "\"String expansion\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,5c,00,25,00,50,\\\r\n"
        "  00,41,00,54,00,48,00,25,00,00,00\r\n"
        "\"Zero data type\"=hex(0):56,61,6c,75,65,00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\regedit_test\\Subkey4]\r\n"
        "@=dword:12345678\r\n"
        "\"43981\"=hex(abcd):56,61,6c,75,65,00\r\n\r\n";
    EXPECT_EQ(asUtf16File(expected), exported(HKEY_CURRENT_USER, base));
}

TEST_F(ExportTest, WritesKeysInNameOrderAndValuesInCreationOrder) {
    {
        KeyHandle key = create(HKEY_CURRENT_USER, "K");
        create(key, "b");
        create(key, "A");
        create(key, "C");
        setString(key, "Value 2", "first");
        setString(key, "Value 1", "second");
    }
    EXPECT_EQ(asUtf16File("Windows Registry Editor Version 5.00\r\n\r\n"
                          "[HKEY_CURRENT_USER\\K]\r\n\"Value 2\"=\"first\"\r\n\"Value 1\"=\"second\"\r\n\r\n"
                          "[HKEY_CURRENT_USER\\K\\A]\r\n\r\n[HKEY_CURRENT_USER\\K\\b]\r\n\r\n"
                          "[HKEY_CURRENT_USER\\K\\C]\r\n\r\n"),
              exported(HKEY_CURRENT_USER, "K"));
}

// Hex lines end once they reach 77 characters, counting the value name in UTF-16 units;
// the lines here are those Wine's editor wrote for the same values.
TEST_F(ExportTest, WrapsHexDataAsWindowsEditorDoes) {
    {
        KeyHandle key = create(HKEY_CURRENT_USER, "K");
        Bytes bytes;
        for (int i = 0; i < 32; ++i) bytes.push_back(static_cast<BYTE>((i % 16) * 0x11));
        set(key, "Bin", REG_BINARY, bytes);
        set(key, "Exp", REG_EXPAND_SZ, stringData("%ProgramFiles%\\Caf\xC3\xA9"));
        set(key, "\xC3\xA9\xC3\xA9", REG_BINARY, bytes);
    }
    EXPECT_EQ(asUtf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"
                          "\"Bin\"=hex:00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33,44,55,66,\\\r\n"
                          "  77,88,99,aa,bb,cc,dd,ee,ff\r\n"
                          "\"Exp\"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,6c,00,\\\r\n"
                          "  65,00,73,00,25,00,5c,00,43,00,61,00,66,00,e9,00,00,00\r\n"
                          "\"\xE9\xE9\"=hex:00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33,44,55,66,\\\r\n"
                          "  77,88,99,aa,bb,cc,dd,ee,ff\r\n\r\n"),
              exported(HKEY_CURRENT_USER, "K"));
}

// Strings a quoted form would not give back exactly are written as hex(1), which Windows'
// editor imports to the same data; a DWORD of another size as hex(4).
TEST_F(ExportTest, WritesStringsAQuotedFormCannotHoldAsHex) {
    {
        KeyHandle key = create(HKEY_CURRENT_USER, "K");
        set(key, "empty", REG_SZ, Bytes{});
        set(key, "embedded", REG_SZ, Bytes{'a', 0, 'b', 0});
        setString(key, "lines", "one\ntwo\rthree \"q\" \\");
        set(key, "short", REG_DWORD, Bytes{1, 2});
    }
    EXPECT_EQ(asUtf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"
                          "\"empty\"=hex(1):\r\n"
                          "\"embedded\"=hex(1):61,00,00,00,62,00,00,00\r\n"
                          "\"lines\"=\"one\\ntwo\\rthree \\\"q\\\" \\\\\"\r\n"
                          "\"short\"=hex(4):01,02\r\n\r\n"),
              exported(HKEY_CURRENT_USER, "K"));
}

TEST_F(ExportTest, ExportsThroughAHandleAndReportsErrors) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Software\\Vendor\\App");
    setString(key, "v", "x");
    const std::string expected = asUtf16File("Windows Registry Editor Version 5.00\r\n\r\n"
                                             "[HKEY_CURRENT_USER\\Software\\Vendor\\App]\r\n\"v\"=\"x\"\r\n\r\n");
    EXPECT_EQ(expected, exported(key, nullptr));
    EXPECT_EQ(expected, exported(HKEY_CURRENT_USER, "software\\VENDOR\\app"));

    std::remove(path_.c_str());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegEmuExportFile(HKEY_CURRENT_USER, "Software\\Nowhere", path_.c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEmuExportFile(HKEY_CURRENT_USER, "Software", nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegEmuExportFile(handleFromValue(0x7ffc), nullptr, path_.c_str()));
    const std::string noFolder = ::testing::TempDir() + "regemu_no_such_folder/out.reg";
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RegEmuExportFile(HKEY_CURRENT_USER, "Software", noFolder.c_str()));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Vendor"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEmuExportFile(key, nullptr, path_.c_str()));
    EXPECT_NE(0, access(path_.c_str(), F_OK)) << "a failed export left a file";
}

// The file the Windows suite gives Wine's editor is what the export writes today.
TEST_F(ExportTest, WritesTheFileTheWindowsSuiteImports) {
    for (const export_cases::Value &value : export_cases::values()) {
        const std::string path = std::string(export_cases::kTop) + (*value.key ? "\\" : "") + value.key;
        KeyHandle key = create(HKEY_CURRENT_USER, path.c_str());
        set(key, value.name.c_str(), static_cast<DWORD>(value.type), bytesOf(value.data));
    }
    const std::string actual = exported(HKEY_CURRENT_USER, export_cases::kTop);
    const std::string golden = readFile(CVSREG_REGFILES_DATA "/wine-import.reg");
    if (actual != golden) {
        std::ofstream(::testing::TempDir() + "wine-import.reg", std::ios::binary) << actual;
        ADD_FAILURE() << "the export differs from tests/regfiles/wine-import.reg; it is now in "
                      << ::testing::TempDir() << "wine-import.reg";
    }
}

// Random registries: every key, value, type and byte comes back from its own export.
struct ModelValue {
    std::string name;
    DWORD type;
    Bytes data;
};
struct ModelKey {
    std::string name;
    std::vector<ModelValue> values;
    std::vector<ModelKey> children;
};

class RandomRegistry {
public:
    explicit RandomRegistry(unsigned seed) : random_(seed) {}

    ModelKey key(const std::string &name, int depth) {
        ModelKey key{name, {}, {}};
        std::set<std::string> names;
        const int values = pick(0, 5);
        for (int i = 0; i < values; ++i) {
            ModelValue value{valueName(), type(), {}};
            if (!names.insert(value.name).second) continue;
            value.data = data(value.type);
            key.values.push_back(std::move(value));
        }
        std::set<std::string> keyNames;
        const int children = depth < 3 ? pick(0, 3) : 0;
        for (int i = 0; i < children; ++i) {
            std::string child = keyName();
            if (keyNames.insert(child).second) key.children.push_back(this->key(child, depth + 1));
        }
        return key;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    // Pieces of names and text: ASCII, characters that need escaping, non-ASCII in one to four
    // bytes, and bytes that are not UTF-8 at all. No case variants, so names stay distinct.
    std::string piece(bool forKey) {
        static const char *const kPieces[] = {
            "a", "q", "z", "0", "9", " ", "-", "=", "@", "[", "]", ";", "#", ",", "'", "%",
            "\xC3\xA9", "\xE2\x82\xAC", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\x80", "\xBF", "\xFF",
            "\"", "\\", "\n", "\r", "\t"};
        const int last = forKey ? 22 : 27;  // key names hold no quote, backslash or line break
        return kPieces[pick(0, last)];
    }
    std::string text(int pieces, bool forKey) {
        std::string out;
        for (int i = 0; i < pieces; ++i) out += piece(forKey);
        return out;
    }
    std::string keyName() {
        if (pick(0, 20) == 0) {
            std::string longest;  // 255 characters in 510 bytes
            for (int i = 0; i < 255; ++i) longest += "\xC3\xA9";
            return longest;
        }
        return text(pick(1, 8), true);
    }
    std::string valueName() {
        const int kind = pick(0, 30);
        if (kind == 0) return "";  // the default value
        if (kind == 1) return std::string(16383, 'v');
        if (kind == 2) {
            std::string name;
            for (int i = 0; i < 8191; ++i) name += "\xC3\xA9";  // 8191 characters in 16382 bytes
            return name + "!";
        }
        return text(pick(1, 10), false);
    }
    DWORD type() {
        static const DWORD kTypes[] = {REG_SZ,    REG_SZ,   REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY,
                                       REG_DWORD, REG_QWORD, REG_NONE,     REG_LINK,     0x100,
                                       0xabcd,    0xFFFFFFFF};
        if (pick(0, 20) == 0) return static_cast<DWORD>(random_());
        return kTypes[pick(0, 11)];
    }
    Bytes data(DWORD type) {
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            // Text as stored through RegSetValueExA with its NUL, or empty.
            if (pick(0, 8) == 0) return Bytes{};
            std::string value = text(pick(0, 12), false);
            if (type == REG_MULTI_SZ) value += std::string(1, '\0') + text(pick(0, 4), false) + '\0';
            return stringData(value);
        }
        if (type == REG_DWORD && pick(0, 4) != 0) return randomBytes(4);
        const int size = pick(0, 40) == 0 ? pick(60000, 120000) : pick(0, 64);
        return randomBytes(static_cast<size_t>(size));
    }
    Bytes randomBytes(size_t size) {
        Bytes bytes(size);
        for (BYTE &b : bytes) b = static_cast<BYTE>(random_());
        return bytes;
    }

    std::mt19937 random_;
};

void build(HKEY parent, const ModelKey &model) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, model.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    for (const ModelValue &value : model.values) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, value.name.c_str(), 0, value.type,
                                                value.data.empty() ? nullptr : value.data.data(),
                                                static_cast<DWORD>(value.data.size())));
    }
    for (const ModelKey &child : model.children) build(key, child);
    RegCloseKey(key);
}

// Whether the registry under `parent` holds exactly the model: keys, values in order, types
// and data, and no key or value more.
void expectHolds(HKEY parent, const ModelKey &model, const std::string &where) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(parent, model.name.c_str(), 0, KEY_READ, &key)) << where;
    DWORD subkeys = 0, values = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(model.children.size(), subkeys) << where;
    EXPECT_EQ(model.values.size(), values) << where;
    for (DWORD i = 0; i < model.values.size() && i < values; ++i) {
        std::vector<char> name(16384);
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0, size = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key, i, name.data(), &nameLength, nullptr, &type, nullptr, &size))
            << where;
        Bytes data(size);
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.data(), nullptr, &type, size ? data.data() : nullptr, &size));
        const ModelValue &expected = model.values[i];
        EXPECT_EQ(expected.name, std::string(name.data(), nameLength)) << where << " value " << i;
        EXPECT_EQ(expected.type, type) << where << " value " << i;
        EXPECT_TRUE(expected.data == data) << where << " value " << i << " (" << expected.data.size()
                                           << " bytes, read " << data.size() << ")";
    }
    for (const ModelKey &child : model.children) expectHolds(key, child, where + "\\" + child.name);
    RegCloseKey(key);
}

TEST_F(ExportTest, ImportGivesBackWhatWasExported) {
    for (unsigned seed = 1; seed <= 150; ++seed) {
        RegEmuReset();
        RandomRegistry random(seed);
        const ModelKey model = random.key("RoundTrip", 0);
        build(HKEY_CURRENT_USER, model);
        const std::string first = exported(HKEY_CURRENT_USER, "RoundTrip");
        RegEmuReset();
        ASSERT_EQ(ERROR_SUCCESS, RegEmuImportFile(path_.c_str())) << "seed " << seed << ": " << RegEmuLastImportError();
        expectHolds(HKEY_CURRENT_USER, model, "seed " + std::to_string(seed) + ": RoundTrip");
        EXPECT_TRUE(first == exported(HKEY_CURRENT_USER, "RoundTrip")) << "seed " << seed << ": the export changed";
        if (HasFailure()) break;
    }
}

// REGEMU_EXPORT: the test binary runs itself again with the variable set, and then, before
// any test, writes a key and exits normally.
const char kChildFlag[] = "REGEMU_EXPORT_TEST_CHILD";

struct ExportChild {
    ExportChild() {
        if (!std::getenv(kChildFlag)) return;
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\AtExit", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<const BYTE *>("\x2a\0\0\0"), 4);
        RegCloseKey(key);
        std::exit(0);
    }
} exportChild;

// The child's exit status and what it wrote to standard error.
std::pair<int, std::string> runChild(const std::string &exportPath) {
    const std::string command = std::string(kChildFlag) + "=1 REGEMU_EXPORT='" + exportPath +
                                "' /proc/" + std::to_string(getpid()) +
                                "/exe 2>&1 >/dev/null";
    FILE *child = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    size_t got;
    while (child && (got = fread(buffer, 1, sizeof buffer, child)) > 0) output.append(buffer, got);
    const int status = child ? pclose(child) : -1;
    return {status, output};
}

TEST(ExportAtExit, WritesTheRegistryAtExitOrSaysWhyNot) {
    const std::string path = ::testing::TempDir() + "regemu_at_exit_" + std::to_string(getpid()) + ".reg";
    auto [status, output] = runChild(path);
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ(asUtf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\AtExit]\r\n\"n\"=dword:0000002a\r\n\r\n"),
              readFile(path));
    std::remove(path.c_str());

    const std::string unwritable = ::testing::TempDir() + "regemu_no_such_folder/at_exit.reg";
    std::tie(status, output) = runChild(unwritable);
    EXPECT_EQ(0, status) << "a failed export changed the exit status";
    EXPECT_NE(std::string::npos, output.find("regemu: REGEMU_EXPORT file " + unwritable)) << output;
}

}  // namespace
}  // namespace regemu_test
