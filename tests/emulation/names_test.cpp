// Names as Windows compares and counts them: case folding through Windows' uppercase
// table, lengths in UTF-16 units, and the parts of a path.
#include "registry_fixture.h"

#include <cctype>
#include <string>

namespace regemu_test {
namespace {

std::string repeat(const std::string &text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

const std::string kEAcute = "\xC3\xA9";                           // é, one unit
const std::string kCjk = "\xE4\xB8\xAD";                           // 中, one unit
const std::string kGrin = "\xF0\x9F\x98\x80";                      // U+1F600, two units
const std::string kGrinModified = "\xED\xA0\xBD\xED\xB8\x80";      // the same, as two surrogates

struct CaseRow {
    const char *what;
    std::string first, second;
    bool same;  // whether Windows takes the two spellings for one name
};

const CaseRow kCaseRows[] = {
    {"Latin-1 letters", "Caf\xC3\xA9", "CAF\xC3\x89", true},
    {"diaeresis", "na\xC3\xAFve", "NA\xC3\x8FVE", true},
    {"Greek", "\xCE\xB1\xCE\xB2\xCE\xB3", "\xCE\x91\xCE\x92\xCE\x93", true},
    {"Cyrillic", "\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87", "\xD0\x9A\xD0\x9B\xD0\xAE\xD0\xA7", true},
    {"fullwidth letters", "\xEF\xBD\x81", "\xEF\xBC\xA1", true},
    {"ASCII next to a modified UTF-8 NUL", "a\xC0\x80z", "A\xC0\x80Z", true},
    {"a supplementary character in either form", "x" + kGrin, "X" + kGrinModified, true},
    // Windows' table has no one-way mappings and no mappings to more than one unit.
    {"dotless i is not I", "\xC4\xB1x", "Ix", false},
    {"micro sign is not Mu", "\xC2\xB5", "\xCE\x9C", false},
    {"final sigma is not Sigma", "\xCF\x82", "\xCE\xA3", false},
    {"sharp s is not capital sharp s", "stra\xC3\x9F" "e", "STRA\xE1\xBA\x9E" "E", false},
    {"Kelvin sign is not K", "\xE2\x84\xAA", "K", false},
    // Only units of the Basic Multilingual Plane fold.
    {"Deseret letters", "\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", false},
    // An invalid byte is a character of its own, folded by nothing.
    {"invalid byte is not the letter of its value", "caf\xE9", "caf" + kEAcute, false},
    {"invalid bytes do not fold", "\xE9", "\xC9", false},
};

using NameCaseTest = RegistryTest;

TEST_F(NameCaseTest, KeyNamesFoldAsWindowsFoldsThem) {
    for (const CaseRow &row : kCaseRows) {
        SCOPED_TRACE(row.what);
        KeyHandle parent = create(HKEY_CURRENT_USER, "Software\\Fold");
        KeyHandle first = create(parent, row.first.c_str());
        EXPECT_EQ(row.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, tryOpen(parent, row.second.c_str()));
        DWORD disposition = 0;
        KeyHandle second;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, row.second.c_str(), 0, nullptr, 0, KEY_READ,
                                                 nullptr, second.out(), &disposition));
        EXPECT_EQ(row.same ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY, disposition);
        EXPECT_EQ(row.same ? 1u : 2u, info(parent).subKeys);
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, row.second.c_str()));
        EXPECT_EQ(!row.same, exists(parent, row.first.c_str()));
        first.reset();
        second.reset();
        parent.reset();
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Fold"));
    }
}

TEST_F(NameCaseTest, ValueNamesFoldAsWindowsFoldsThem) {
    for (const CaseRow &row : kCaseRows) {
        SCOPED_TRACE(row.what);
        KeyHandle key = create(HKEY_CURRENT_USER, "Software\\Fold");
        setString(key, row.first.c_str(), "first");
        ReadResult viaSecond = query(key, row.second.c_str());
        EXPECT_EQ(row.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, viaSecond.status);
        setString(key, row.second.c_str(), "second");
        EXPECT_EQ(row.same ? 1u : 2u, info(key).values);
        EXPECT_EQ(stringData(row.same ? "second" : "first"), query(key, row.first.c_str()).data);
        EXPECT_EQ(row.first, valueNames(key).front()) << "the first spelling is kept";
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, row.second.c_str()));
        EXPECT_EQ(row.same ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS, query(key, row.first.c_str()).status);
        key.reset();
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Fold"));
    }
}

// ASCII names of every length up to two words and a half, folded and compared a word and a
// tail at a time: each matches its other case and no name that differs in one character.
TEST_F(NameCaseTest, AsciiNamesOfEveryLengthMatchOnlyThemselves) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Software\\Lengths");
    const std::string letters = "aBcDeFgHiJkLmNoPqRsTuVwXyZ";
    for (size_t length = 1; length <= 20; ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string name = letters.substr(0, length);
        setString(key, name.c_str(), name);
        std::string swapped = name;
        for (char &c : swapped) c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
        EXPECT_EQ(stringData(name), query(key, swapped.c_str()).data);
        for (size_t at = 0; at < length; ++at) {
            std::string other = swapped;
            other[at] = '_';
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, query(key, other.c_str()).status) << other;
        }
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, query(key, (swapped + "_").c_str()).status);
    }
    EXPECT_EQ(20u, info(key).values);
}

using NameLengthTest = RegistryTest;

// Limits count UTF-16 units: 255 for a key name, 16,383 for a value name.
TEST_F(NameLengthTest, KeyNamesUpTo255UnitsWhateverTheirBytes) {
    struct Row {
        const char *what;
        std::string name;
        LONG expected;
        DWORD units;
    };
    const Row rows[] = {
        {"200 two-byte characters", repeat(kEAcute, 200), ERROR_SUCCESS, 200},
        {"255 two-byte characters", repeat(kEAcute, 255), ERROR_SUCCESS, 255},
        {"256 two-byte characters", repeat(kEAcute, 256), ERROR_INVALID_PARAMETER, 0},
        {"255 three-byte characters", repeat(kCjk, 255), ERROR_SUCCESS, 255},
        {"254 units of surrogate pairs and one more", repeat(kGrin, 127) + "x", ERROR_SUCCESS, 255},
        {"256 units of surrogate pairs", repeat(kGrinModified, 128), ERROR_INVALID_PARAMETER, 0},
        {"255 invalid bytes", std::string(255, '\xFF'), ERROR_SUCCESS, 255},
        {"256 invalid bytes", std::string(256, '\xFF'), ERROR_INVALID_PARAMETER, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string path = "Software\\" + row.name;
        KeyHandle key;
        EXPECT_EQ(row.expected, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                                KEY_READ, nullptr, key.out(), nullptr));
        EXPECT_EQ(row.expected, tryOpen(HKEY_CURRENT_USER, path.c_str()));
        key.reset();
        KeyHandle software = create(HKEY_CURRENT_USER, "Software");
        EXPECT_EQ(row.units, info(software).maxSubKeyLength);
        software.reset();
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software"));
    }
}

TEST_F(NameLengthTest, ValueNamesUpTo16383UnitsWhateverTheirBytes) {
    struct Row {
        const char *what;
        std::string name;
        LONG expected;
    };
    const Row rows[] = {
        {"16,383 two-byte characters", repeat(kEAcute, 16383), ERROR_SUCCESS},
        {"16,384 two-byte characters", repeat(kEAcute, 16384), ERROR_INVALID_PARAMETER},
        {"16,383 three-byte characters", repeat(kCjk, 16383), ERROR_SUCCESS},
        {"16,384 three-byte characters", repeat(kCjk, 16384), ERROR_INVALID_PARAMETER},
        {"16,382 units of surrogate pairs and one more", repeat(kGrin, 8191) + "x", ERROR_SUCCESS},
        {"16,384 units of surrogate pairs", repeat(kGrin, 8192), ERROR_INVALID_PARAMETER},
    };
    KeyHandle key = create(HKEY_CURRENT_USER, "Software\\Long");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const BYTE data[4] = {1, 2, 3, 4};
        EXPECT_EQ(row.expected, RegSetValueExA(key, row.name.c_str(), 0, REG_DWORD, data, 4));
        const bool stored = row.expected == ERROR_SUCCESS;
        // A name too long to store is one that is not there.
        EXPECT_EQ(stored ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, query(key, row.name.c_str()).status);
        EXPECT_EQ(stored ? 16383u : 0u, info(key).maxValueNameLength);
        EXPECT_EQ(stored ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, row.name.c_str()));
        EXPECT_EQ(0u, info(key).values);
    }
}

using EmptyPathPartTest = RegistryTest;

// Windows skips empty names inside a path and at its end; a leading backslash is an error.
TEST_F(EmptyPathPartTest, EmptyPartsInsideOrAtTheEndAreSkipped) {
    struct Row {
        const char *path;
        LONG expected;  // of open and of create, under HKEY_CURRENT_USER
    };
    const Row rows[] = {
        {"Software\\Vendor", ERROR_SUCCESS},
        {"Software\\Vendor\\", ERROR_SUCCESS},
        {"Software\\Vendor\\\\", ERROR_SUCCESS},
        {"Software\\\\Vendor", ERROR_SUCCESS},
        {"Software\\\\\\Vendor\\\\\\", ERROR_SUCCESS},
        {"\\Software\\Vendor", ERROR_BAD_PATHNAME},
        {"\\\\Software\\Vendor", ERROR_BAD_PATHNAME},
        {"\\", ERROR_BAD_PATHNAME},
        {"\\\\", ERROR_BAD_PATHNAME},
    };
    KeyHandle vendor = create(HKEY_CURRENT_USER, "Software\\Vendor");
    setString(vendor, "v", "reached");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        KeyHandle opened;
        ASSERT_EQ(row.expected, RegOpenKeyExA(HKEY_CURRENT_USER, row.path, 0, KEY_READ, opened.out()));
        if (row.expected == ERROR_SUCCESS) {
            EXPECT_EQ(stringData("reached"), query(opened, "v").data);
        }
        KeyHandle created;
        DWORD disposition = 0;
        ASSERT_EQ(row.expected, RegCreateKeyExA(HKEY_CURRENT_USER, row.path, 0, nullptr, 0, KEY_READ,
                                                nullptr, created.out(), &disposition));
        if (row.expected == ERROR_SUCCESS) {
            EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
            EXPECT_EQ(stringData("reached"), query(created, "v").data);
        }
    }
    KeyHandle software = open(HKEY_CURRENT_USER, "Software");
    EXPECT_EQ(1u, info(software).subKeys) << "a path with empty parts made a key of its own";
    EXPECT_EQ(0u, info(vendor).subKeys);
}

TEST_F(EmptyPathPartTest, NewKeysAndDeletionsSkipThemToo) {
    KeyHandle created;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "New\\\\Deeper\\\\", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, created.out(), &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    created.reset();
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, "New\\Deeper"));
    KeyHandle fresh = open(HKEY_CURRENT_USER, "New");
    EXPECT_EQ(1u, info(fresh).subKeys);
    EXPECT_EQ(6u, info(fresh).maxSubKeyLength);
    fresh.reset();
    // "New\\" names New itself, which still has a subkey.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "New\\\\"));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegDeleteKeyA(HKEY_CURRENT_USER, "\\New\\Deeper"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "New\\\\Deeper\\"));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "New\\Deeper"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "New\\"));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "New"));
}

// Windows opens HKEY_CLASSES_ROOT's subkeys by their full path, so one leading backslash
// opens there; it creates nothing, and everywhere else it is an error.
TEST_F(EmptyPathPartTest, OneLeadingBackslashOpensUnderClassesRoot) {
    KeyHandle clsid = create(HKEY_CLASSES_ROOT, "CLSID");
    EXPECT_EQ(ERROR_SUCCESS, tryOpen(HKEY_CLASSES_ROOT, "\\CLSID"));
    EXPECT_EQ(ERROR_BAD_PATHNAME, tryOpen(HKEY_CLASSES_ROOT, "\\\\CLSID"));
    EXPECT_EQ(ERROR_BAD_PATHNAME, tryOpen(clsid, "\\Sub"));
    KeyHandle created;
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(HKEY_CLASSES_ROOT, "\\Other", 0, nullptr, 0,
                                                  KEY_READ, nullptr, created.out(), nullptr));
    EXPECT_EQ(1u, info(HKEY_CLASSES_ROOT).subKeys);
}

}  // namespace
}  // namespace regemu_test
