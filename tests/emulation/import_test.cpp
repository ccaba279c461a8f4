// Importing registry files.
#include "registry_fixture.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace regemu_test {
namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

// A file in the test's temporary directory, removed afterwards.
class TempFile {
public:
    explicit TempFile(const std::string &contents) {
        std::string pattern = ::testing::TempDir() + "regemu_import_XXXXXX";
        int fd = mkstemp(pattern.data());
        EXPECT_GE(fd, 0);
        if (fd >= 0) {
            EXPECT_EQ(static_cast<ssize_t>(contents.size()), write(fd, contents.data(), contents.size()));
            close(fd);
        }
        path_ = pattern;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

class ImportTest : public RegistryTest {
protected:
    static LONG import(const std::string &contents) {
        TempFile file(contents);
        return RegEmuImportFile(file.path());
    }
    // The value root\path\name, read without keeping a handle.
    static ReadResult valueAt(HKEY root, const char *path, const char *name) {
        KeyHandle key;
        ReadResult result;
        result.status = RegOpenKeyExA(root, path, 0, KEY_READ, key.out());
        if (result.status == ERROR_SUCCESS) result = query(key, name);
        return result;
    }
};

struct Expected {
    HKEY root;
    const char *path;
    const char *name;
    DWORD type;
    Bytes data;
};

struct GoodFile {
    const char *what;
    std::string contents;
    std::vector<Expected> values;
    std::vector<std::pair<const char *, bool>> keys;  // under HKEY_CURRENT_USER: there or not
};

TEST_F(ImportTest, ImportsWellFormedFiles) {
    const Bytes abc = stringData("abc");
    const GoodFile files[] = {
        {"header only", "Windows Registry Editor Version 5.00", {}, {}},
        {"REGEDIT4 with a string", "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"s\"=\"abc\"\n",
         {{HKEY_CURRENT_USER, "A", "s", REG_SZ, abc}}, {}},
        {"UTF-8 byte order mark", "\xEF\xBB\xBF" + kHeader + "[HKEY_CURRENT_USER\\A]\n\"s\"=\"abc\"\n",
         {{HKEY_CURRENT_USER, "A", "s", REG_SZ, abc}}, {}},
        {"CRLF line ends", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"s\"=\"abc\"\r\n",
         {{HKEY_CURRENT_USER, "A", "s", REG_SZ, abc}}, {}},
        {"escapes in names and strings",
         kHeader + "[HKEY_CURRENT_USER\\A]\n\"a \\\"quoted\\\" = name\"=\"back\\\\slash \\\"q\\\" ]\"\n",
         {{HKEY_CURRENT_USER, "A", "a \"quoted\" = name", REG_SZ, stringData("back\\slash \"q\" ]")}}, {}},
        {"UTF-8 text kept as bytes", kHeader + "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\n\"n\xC3\xA9\"=\"\xE2\x82\xAC\"\n",
         {{HKEY_CURRENT_USER, "Caf\xC3\xA9", "n\xC3\xA9", REG_SZ, stringData("\xE2\x82\xAC")}}, {}},
        {"default value and empty string", kHeader + "[HKEY_CURRENT_USER\\A]\n@=\"def\"\n\"e\"=\"\"\n",
         {{HKEY_CURRENT_USER, "A", "", REG_SZ, stringData("def")}, {HKEY_CURRENT_USER, "A", "e", REG_SZ, Bytes{0}}}, {}},
        {"dwords", kHeader + "[HKEY_CURRENT_USER\\A]\n\"d\"=dword:0000abcd\n\"m\"=dword:FFFFFFFF\n\"s\"=dword:7\n",
         {{HKEY_CURRENT_USER, "A", "d", REG_DWORD, Bytes{0xCD, 0xAB, 0, 0}},
          {HKEY_CURRENT_USER, "A", "m", REG_DWORD, Bytes{0xFF, 0xFF, 0xFF, 0xFF}},
          {HKEY_CURRENT_USER, "A", "s", REG_DWORD, Bytes{7, 0, 0, 0}}}, {}},
        {"hex of each kind",
         kHeader + "[HKEY_CURRENT_USER\\A]\n\"b\"=hex:01,02,ff\n\"x\"=hex(2):25,00,00,00\n\"m\"=hex(7):61,00,00\n"
                   "\"q\"=hex(b):01,00,00,00,00,00,00,00\n\"n\"=hex(0):\n\"big\"=hex(100):AB\n\"e\"=hex:\n",
         {{HKEY_CURRENT_USER, "A", "b", REG_BINARY, Bytes{1, 2, 0xFF}},
          {HKEY_CURRENT_USER, "A", "x", REG_EXPAND_SZ, Bytes{0x25, 0, 0, 0}},
          {HKEY_CURRENT_USER, "A", "m", REG_MULTI_SZ, Bytes{0x61, 0, 0}},
          {HKEY_CURRENT_USER, "A", "q", REG_QWORD, Bytes{1, 0, 0, 0, 0, 0, 0, 0}},
          {HKEY_CURRENT_USER, "A", "n", REG_NONE, Bytes{}},
          {HKEY_CURRENT_USER, "A", "big", 0x100, Bytes{0xAB}},
          {HKEY_CURRENT_USER, "A", "e", REG_BINARY, Bytes{}}}, {}},
        {"continued hex lines",
         kHeader + "[HKEY_CURRENT_USER\\A]\n\"b\"=hex:01,02,\\\n  03,04,\\\n\t05\n\"after\"=dword:00000001\n",
         {{HKEY_CURRENT_USER, "A", "b", REG_BINARY, Bytes{1, 2, 3, 4, 5}},
          {HKEY_CURRENT_USER, "A", "after", REG_DWORD, Bytes{1, 0, 0, 0}}}, {}},
        {"every root by long and short name",
         kHeader + "[HKEY_CLASSES_ROOT\\K]\n\"v\"=\"abc\"\n[HKCU\\K]\n\"v\"=\"abc\"\n[HKLM\\K]\n\"v\"=\"abc\"\n"
                   "[HKU\\K]\n\"v\"=\"abc\"\n[hkey_current_config\\K]\n\"v\"=\"abc\"\n[HKCR\\K2]\n\"v\"=\"abc\"\n"
                   "[HKEY_PERFORMANCE_DATA\\K]\n\"v\"=\"abc\"\n",
         {{HKEY_CLASSES_ROOT, "K", "v", REG_SZ, abc}, {HKEY_CURRENT_USER, "K", "v", REG_SZ, abc},
          {HKEY_LOCAL_MACHINE, "K", "v", REG_SZ, abc}, {HKEY_USERS, "K", "v", REG_SZ, abc},
          {HKEY_CURRENT_CONFIG, "K", "v", REG_SZ, abc}, {HKEY_CLASSES_ROOT, "K2", "v", REG_SZ, abc},
          {HKEY_PERFORMANCE_DATA, "K", "v", REG_SZ, abc}}, {}},
        {"values on a root", kHeader + "[HKEY_CURRENT_USER]\n\"r\"=\"abc\"\n",
         {{HKEY_CURRENT_USER, nullptr, "r", REG_SZ, abc}}, {}},
        {"comments, blank and indented lines",
         kHeader + "; a comment\n\n   [HKEY_CURRENT_USER\\A]  \n  ; another\n\t\"s\" = \"abc\"\n\n",
         {{HKEY_CURRENT_USER, "A", "s", REG_SZ, abc}}, {}},
        {"intermediate keys are created", kHeader + "[HKEY_CURRENT_USER\\A\\B\\C]\n",
         {}, {{"A", true}, {"A\\B", true}, {"A\\B\\C", true}, {"B", false}}},
        {"later lines replace and delete",
         kHeader + "[HKEY_CURRENT_USER\\A]\n\"s\"=\"one\"\n\"gone\"=\"x\"\n\"S\"=\"abc\"\n\"gone\"=-\n\"never\"=-\n",
         {{HKEY_CURRENT_USER, "A", "s", REG_SZ, abc}}, {}},
        {"deleting a key tree, and the values under it ignored",
         kHeader + "[HKEY_CURRENT_USER\\A\\B\\C]\n[HKEY_CURRENT_USER\\Keep]\n\"s\"=\"abc\"\n"
                   "[-HKEY_CURRENT_USER\\A\\B]\n\"ignored\"=\"x\"\n[-HKEY_CURRENT_USER\\NotThere]\n",
         {{HKEY_CURRENT_USER, "Keep", "s", REG_SZ, abc}}, {{"A", true}, {"A\\B", false}, {"A\\B\\C", false}}},
        {"a key path containing ']'", kHeader + "[HKEY_CURRENT_USER\\A]B]\n\"s\"=\"abc\"\n",
         {{HKEY_CURRENT_USER, "A]B", "s", REG_SZ, abc}}, {}},
    };
    for (const GoodFile &file : files) {
        RegEmuReset();
        ASSERT_EQ(ERROR_SUCCESS, import(file.contents)) << file.what << ": " << RegEmuLastImportError();
        for (const Expected &e : file.values) {
            ReadResult read = valueAt(e.root, e.path, e.name);
            EXPECT_EQ(ERROR_SUCCESS, read.status) << file.what << ": " << e.name;
            EXPECT_EQ(e.type, read.type) << file.what << ": " << e.name;
            EXPECT_EQ(e.data, read.data) << file.what << ": " << e.name;
        }
        for (const auto &[path, present] : file.keys)
            EXPECT_EQ(present, exists(HKEY_CURRENT_USER, path)) << file.what << ": " << path;
    }
}

TEST_F(ImportTest, CreatesIntermediateKeysAndKeepsWhatTheFileDoesNotMention) {
    {
        KeyHandle key = create(HKEY_CURRENT_USER, "A");
        setString(key, "existing", "kept");
    }
    const char *const functions[] = {"RegCreateKeyExA", "RegSetValueExA", "RegOpenKeyExA", "RegCloseKey"};
    std::vector<DWORD> before;
    for (const char *function : functions) before.push_back(RegEmuCallCount(function));
    ASSERT_EQ(ERROR_SUCCESS, import(kHeader + "[HKEY_CURRENT_USER\\A\\B\\C]\n\"new\"=\"v\"\n"));
    for (size_t i = 0; i < std::size(functions); ++i)
        EXPECT_EQ(before[i], RegEmuCallCount(functions[i])) << "importing called " << functions[i];
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, "A\\B"));
    EXPECT_EQ(stringData("kept"), valueAt(HKEY_CURRENT_USER, "A", "existing").data);
    EXPECT_EQ(stringData("v"), valueAt(HKEY_CURRENT_USER, "A\\B\\C", "new").data);
}

TEST_F(ImportTest, ConvertsUtf16FilesToUtf8) {
    const std::string text = kHeader + "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\n\"s\"=\"\xE2\x82\xAC \xF0\x9F\x98\x80\"\n";
    std::string utf16 = "\xFF\xFE";
    // Encodes the UTF-8 above, including one character outside the BMP.
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        cp = length == 1 ? c : c & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        auto unit = [&](uint32_t u) { utf16 += static_cast<char>(u & 0xFF); utf16 += static_cast<char>(u >> 8); };
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    ASSERT_EQ(ERROR_SUCCESS, import(utf16)) << RegEmuLastImportError();
    EXPECT_EQ(stringData("\xE2\x82\xAC \xF0\x9F\x98\x80"), valueAt(HKEY_CURRENT_USER, "Caf\xC3\xA9", "s").data);
}

struct BadFile {
    const char *what;
    std::string contents;
    size_t line;
    const char *reasonContains;
};

TEST_F(ImportTest, RejectsMalformedFilesWholeAndNamesTheLine) {
    // Line 3 creates a key and line 4 sets a value, so a partial import would show.
    const std::string start = kHeader + "[HKEY_CURRENT_USER\\Partial]\n\"v\"=\"1\"\n";
    const BadFile files[] = {
        {"empty file", "", 1, "header"},
        {"wrong header", "Windows Registry Editor Version 4.00\n[HKEY_CURRENT_USER\\Partial]\n", 1, "header"},
        {"header not first", "\n" + kHeader + "[HKEY_CURRENT_USER\\Partial]\n", 1, "header"},
        {"value before any key", kHeader + "\"v\"=\"1\"\n[HKEY_CURRENT_USER\\Partial]\n", 3, "before any"},
        {"unknown root", start + "[HKEY_NOWHERE\\A]\n", 5, "root"},
        {"missing ']'", start + "[HKEY_CURRENT_USER\\A\n", 5, "]"},
        {"text after ']'", start + "[HKEY_CURRENT_USER\\A] x\n", 5, "]"},
        {"path starting with a backslash", start + "[HKEY_CURRENT_USER\\\\B]\n", 5, "empty"},
        {"key name too long", start + "[HKEY_CURRENT_USER\\" + std::string(256, 'k') + "]\n", 5, "255"},
        {"deleting a root", start + "[-HKCU]\n", 5, "root"},
        {"unterminated string", start + "\"s\"=\"abc\n", 5, "unterminated string"},
        {"unterminated name", start + "\"s=abc\n", 5, "unterminated value name"},
        {"unknown escape", start + "\"s\"=\"a\\nb\"\n", 5, "escape"},
        {"text after a string", start + "\"s\"=\"abc\" x\n", 5, "after string"},
        {"no '='", start + "\"s\" \"abc\"\n", 5, "="},
        {"unknown data", start + "\"s\"=str:abc\n", 5, "data"},
        {"bad dword digits", start + "\"d\"=dword:xyz\n", 5, "dword"},
        {"dword too long", start + "\"d\"=dword:123456789\n", 5, "dword"},
        {"empty dword", start + "\"d\"=dword:\n", 5, "dword"},
        {"bad hex byte", start + "\"b\"=hex:01,zz\n", 5, "zz"},
        {"hex byte too wide", start + "\"b\"=hex:01,123\n", 5, "123"},
        {"trailing comma", start + "\"b\"=hex:01,\n", 5, "hex byte"},
        {"bad hex on a continuation line", start + "\"b\"=hex:01,\\\n  02,\\\n  0g\n", 7, "0g"},
        {"continuation at the end", start + "\"b\"=hex:01,\\", 5, "end of the file"},
        {"bad hex type", start + "\"b\"=hex(zz):01\n", 5, "type"},
        {"unclosed hex type", start + "\"b\"=hex(2:01\n", 5, "type"},
        {"hex without ':'", start + "\"b\"=hex 01\n", 5, "':'"},
        {"garbage line", start + "garbage\n", 5, "unrecognised"},
        {"value name too long", start + "\"" + std::string(16384, 'n') + "\"=\"x\"\n", 5, "16383"},
    };
    for (const BadFile &file : files) {
        RegEmuReset();
        {
            KeyHandle existing = create(HKEY_CURRENT_USER, "Existing");
            setString(existing, "v", "before");
        }
        EXPECT_EQ(ERROR_INVALID_PARAMETER, import(file.contents)) << file.what;
        const std::string message = RegEmuLastImportError();
        const std::string expectedStart = "line " + std::to_string(file.line) + ": ";
        EXPECT_EQ(expectedStart, message.substr(0, expectedStart.size())) << file.what << ": " << message;
        EXPECT_NE(std::string::npos, message.find(file.reasonContains)) << file.what << ": " << message;
        EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Partial")) << file.what << ": imported in part";
        EXPECT_EQ(stringData("before"), valueAt(HKEY_CURRENT_USER, "Existing", "v").data) << file.what;
    }
}

TEST_F(ImportTest, AMissingFileIsReportedWithItsName) {
    const std::string path = ::testing::TempDir() + "regemu_no_such_file.reg";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegEmuImportFile(path.c_str()));
    EXPECT_NE(std::string::npos, std::string(RegEmuLastImportError()).find(path));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEmuImportFile(nullptr));
    EXPECT_STRNE("", RegEmuLastImportError());
}

TEST_F(ImportTest, TheLastErrorBelongsToTheThreadThatImported) {
    ASSERT_EQ(ERROR_INVALID_PARAMETER, import(kHeader + "garbage\n"));
    ASSERT_EQ("line 3: unrecognised line", std::string(RegEmuLastImportError()));
    std::string otherBefore, otherAfter;
    std::thread other([&] {
        otherBefore = RegEmuLastImportError();
        import("not a registry file");
        otherAfter = RegEmuLastImportError();
    });
    other.join();
    EXPECT_EQ("", otherBefore);
    EXPECT_EQ("line 1: not a registry file (bad header)", otherAfter);
    EXPECT_EQ("line 3: unrecognised line", std::string(RegEmuLastImportError()));
}

}  // namespace
}  // namespace regemu_test
