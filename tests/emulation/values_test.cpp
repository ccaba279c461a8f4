// Values: storing, reading with the sizing protocol, enumeration, deletion, key info and
// the access rights each call needs.
#include "registry_fixture.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

namespace regemu_test {
namespace {

class ValueTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        key_ = create(HKEY_CURRENT_USER, "Software\\Values");
    }
    void TearDown() override {
        key_.reset();
        RegistryTest::TearDown();
    }
    KeyHandle key_;
};

TEST_F(ValueTest, DataOfAnyTypeRoundTripsAsRawBytes) {
    struct Case {
        const char *name;
        DWORD type;
        Bytes data;
    };
    const Case cases[] = {
        {"string without terminator", REG_SZ, bytesOf("no NUL here")},
        {"string with inner NULs", REG_SZ, Bytes{'a', 0, 'b', 0, 0}},
        {"high bytes, no code page", REG_EXPAND_SZ, Bytes{0xC3, 0xA9, 0xFF, 0x80, 0x00}},
        {"binary", REG_BINARY, Bytes{0x00, 0x01, 0xFE, 0xFF}},
        {"dword", REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12}},
        {"qword", REG_QWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
        {"multi", REG_MULTI_SZ, Bytes{'a', 0, 'b', 0, 0}},
        {"unknown type code", 0xDEADBEEF, Bytes{42}},
        {"empty", REG_NONE, Bytes{}},
        {"large", REG_BINARY, Bytes(1 << 20, 0x5A)},
    };
    for (const Case &c : cases) set(key_, c.name, c.type, c.data);
    for (const Case &c : cases) {
        ReadResult read = query(key_, c.name);
        EXPECT_EQ(ERROR_SUCCESS, read.status) << c.name;
        EXPECT_EQ(c.type, read.type) << c.name;
        EXPECT_EQ(c.data, read.data) << c.name;
    }
}

TEST_F(ValueTest, NullAndEmptyNamesAreBothTheDefaultValue) {
    setString(key_, nullptr, "via null");
    EXPECT_EQ(stringData("via null"), query(key_, "").data);
    setString(key_, "", "via empty");
    EXPECT_EQ(stringData("via empty"), query(key_, nullptr).data);
    EXPECT_EQ(std::vector<std::string>{""}, valueNames(key_));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key_, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, query(key_, "").status);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key_, ""));
}

TEST_F(ValueTest, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    setString(key_, "MixedCase", "first");
    setString(key_, "MIXEDCASE", "second");
    EXPECT_EQ(stringData("second"), query(key_, "mixedcase").data);
    EXPECT_EQ(std::vector<std::string>{"MixedCase"}, valueNames(key_));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key_, "mIxEdCaSe"));
    EXPECT_TRUE(valueNames(key_).empty());
}

TEST_F(ValueTest, QueryFollowsTheSizingProtocol) {
    const Bytes data = bytesOf("0123456789");
    set(key_, "v", REG_BINARY, data);

    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "v", nullptr, &type, nullptr, &size));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ(data.size(), size);

    Bytes buffer(data.size() - 1);
    size = static_cast<DWORD>(buffer.size());
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key_, "v", nullptr, &type, buffer.data(), &size));
    EXPECT_EQ(data.size(), size) << "a short buffer reports the size needed";

    buffer.assign(data.size() + 5, 0xEE);
    size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "v", nullptr, nullptr, buffer.data(), &size));
    EXPECT_EQ(data.size(), size);
    EXPECT_EQ(data, Bytes(buffer.begin(), buffer.begin() + size));
    EXPECT_EQ(0xEE, buffer[size]) << "no terminator is added";

    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "v", nullptr, nullptr, nullptr, nullptr))
        << "no outputs at all still says whether the value exists";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key_, "w", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(ValueTest, QueryRejectsBadParametersAndLeavesOutputsAloneOnFailure) {
    set(key_, "v", REG_BINARY, Bytes{1, 2, 3});
    DWORD reserved = 0, type = 77, size = 99;
    BYTE buffer[8] = {};
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key_, "v", &reserved, &type, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key_, "v", nullptr, &type, buffer, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key_, "missing", nullptr, &type, buffer, &size));
    EXPECT_EQ(77u, type);
    EXPECT_EQ(99u, size);
}

TEST_F(ValueTest, SetRejectsBadParameters) {
    const BYTE one = 1;
    const std::string longest(16383, 'n');
    const std::string tooLong(16384, 'n');
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key_, "v", 1, REG_BINARY, &one, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key_, tooLong.c_str(), 0, REG_BINARY, &one, 1));
    EXPECT_TRUE(valueNames(key_).empty());
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "empty", 0, REG_BINARY, nullptr, 0));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, longest.c_str(), 0, REG_BINARY, &one, 1));
    EXPECT_EQ(Bytes{1}, query(key_, longest.c_str()).data);
    EXPECT_EQ(16383u, info(key_).maxValueNameLength);
}

TEST_F(ValueTest, NullDataWithACountIsAnAccessFaultForEveryType) {
    for (DWORD type : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD}) {
        EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(key_, "v", 0, type, nullptr, 4)) << "type " << type;
        EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(key_, "v", 0, type, nullptr, 1)) << "type " << type;
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "v", 0, type, nullptr, 0)) << "type " << type;
        EXPECT_EQ(Bytes{}, query(key_, "v").data);
        EXPECT_EQ(type, query(key_, "v").type);
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key_, "w", 1, REG_BINARY, nullptr, 4))
        << "a reserved argument is checked first";
    EXPECT_EQ(std::vector<std::string>{"v"}, valueNames(key_));
}

TEST_F(ValueTest, AMissingValueZeroesTheSizeAskedForOnlyWithoutABuffer) {
    KeyHandle readOnly = open(HKEY_CURRENT_USER, "Software\\Values", KEY_SET_VALUE);
    struct Case {
        const char *what;
        HKEY key;
        bool withBuffer;
        LONG status;
        DWORD size;  // afterwards, from 99
    };
    const Case cases[] = {
        {"missing, size only", key_, false, ERROR_FILE_NOT_FOUND, 0},
        {"missing, with a buffer", key_, true, ERROR_FILE_NOT_FOUND, 99},
        {"no right to read, size only", readOnly, false, ERROR_ACCESS_DENIED, 0},
        {"no right to read, with a buffer", readOnly, true, ERROR_ACCESS_DENIED, 99},
        {"bad handle, size only", handleFromValue(0x7FFFFFF0), false, ERROR_INVALID_HANDLE, 99},
    };
    for (const Case &c : cases) {
        DWORD type = 77, size = 99;
        BYTE buffer[128];
        EXPECT_EQ(c.status, RegQueryValueExA(c.key, "missing", nullptr, &type,
                                             c.withBuffer ? buffer : nullptr, &size)) << c.what;
        EXPECT_EQ(c.size, size) << c.what;
        EXPECT_EQ(77u, type) << c.what;
    }
}

TEST_F(ValueTest, AStringCountThatLeavesOutAFollowingNulStoresTheNul) {
    static const char kText[] = "FullString";  // 10 characters and a NUL
    struct Case {
        const char *what;
        DWORD type;
        DWORD count;
        DWORD stored;
    };
    const Case cases[] = {
        {"REG_SZ, NUL left out", REG_SZ, 10, 11},
        {"REG_EXPAND_SZ, NUL left out", REG_EXPAND_SZ, 10, 11},
        {"REG_MULTI_SZ, NUL left out", REG_MULTI_SZ, 10, 11},
        {"REG_SZ, NUL counted", REG_SZ, 11, 11},
        {"REG_SZ, two short: a letter follows", REG_SZ, 9, 9},
        {"REG_SZ, empty", REG_SZ, 0, 0},
        {"REG_BINARY, NUL left out", REG_BINARY, 10, 10},
        {"REG_DWORD-sized REG_NONE", REG_NONE, 10, 10},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "v", 0, c.type, reinterpret_cast<const BYTE *>(kText), c.count))
            << c.what;
        ReadResult got = query(key_, "v");
        EXPECT_EQ(c.stored, got.data.size()) << c.what;
        EXPECT_EQ(Bytes(kText, kText + c.stored), got.data) << c.what;
    }
    // An interior NUL at the end of the count stops nothing: "A\0B" counted 2 ends in NUL.
    const BYTE interior[] = {'A', 0, 'B', 0};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "v", 0, REG_SZ, interior, 2));
    EXPECT_EQ((Bytes{'A', 0}), query(key_, "v").data);
}

TEST_F(ValueTest, UnterminatedStringDataGetsANulWhenTheBufferHasRoom) {
    set(key_, "text", REG_SZ, bytesOf("FullStrin"));          // 9 bytes, no NUL
    set(key_, "terminated", REG_SZ, stringData("abc"));       // ends in NUL already
    set(key_, "binary", REG_BINARY, bytesOf("FullStrin"));    // not a string type
    set(key_, "empty", REG_SZ, Bytes{});
    struct Case {
        const char *name;
        DWORD room;
        LONG status;
        DWORD size;
        int after;  // the byte after the data: -1 untouched (0xBD)
    };
    const Case cases[] = {
        {"text", 9, ERROR_SUCCESS, 9, -1},   // exactly fits: no room for a NUL
        {"text", 10, ERROR_SUCCESS, 9, 0},   // room: NUL added, size stays 9
        {"text", 16, ERROR_SUCCESS, 9, 0},
        {"text", 8, ERROR_MORE_DATA, 9, -1},
        {"terminated", 16, ERROR_SUCCESS, 4, -1},
        {"binary", 16, ERROR_SUCCESS, 9, -1},
        {"empty", 16, ERROR_SUCCESS, 0, -1},
    };
    for (const Case &c : cases) {
        const std::string what = std::string(c.name) + " in " + std::to_string(c.room);
        BYTE buffer[17];
        // Through RegQueryValueExA and RegEnumValueA alike.
        for (int through = 0; through < 2; ++through) {
            std::memset(buffer, 0xBD, sizeof buffer);
            DWORD size = c.room;
            LONG status;
            if (through == 0) {
                status = RegQueryValueExA(key_, c.name, nullptr, nullptr, buffer, &size);
            } else {
                const std::vector<std::string> names = valueNames(key_);
                const DWORD index = static_cast<DWORD>(std::find(names.begin(), names.end(), c.name) - names.begin());
                char name[16];
                DWORD nameLength = sizeof name;
                status = RegEnumValueA(key_, index, name, &nameLength, nullptr, nullptr, buffer, &size);
            }
            const std::string how = what + (through == 0 ? " (query)" : " (enum)");
            EXPECT_EQ(c.status, status) << how;
            EXPECT_EQ(c.size, size) << how;
            if (c.status != ERROR_SUCCESS) continue;
            EXPECT_EQ(c.after < 0 ? 0xBD : c.after, buffer[c.size]) << how;
            EXPECT_EQ(0xBD, buffer[c.size + 1]) << how << ": wrote past the terminator";
        }
    }
}

TEST_F(ValueTest, ReplacingAValueKeepsItsPlaceAndTakesTheNewType) {
    setString(key_, "a", "1");
    setString(key_, "b", "2");
    setString(key_, "c", "3");
    set(key_, "B", REG_DWORD, Bytes{9, 0, 0, 0});
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), valueNames(key_));
    ReadResult b = query(key_, "b");
    EXPECT_EQ(REG_DWORD, b.type);
    EXPECT_EQ((Bytes{9, 0, 0, 0}), b.data);
}

TEST_F(ValueTest, DeletingAValueClosesTheGapInEnumeration) {
    for (const char *name : {"a", "b", "c", "d"}) setString(key_, name, name);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key_, "B"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key_, "b"));
    EXPECT_EQ((std::vector<std::string>{"a", "c", "d"}), valueNames(key_));
    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key_, 3, name, &length, nullptr, nullptr, nullptr, nullptr));
    // Values after the gap are still found by name.
    EXPECT_EQ(stringData("d"), query(key_, "d").data);
    setString(key_, "b", "back");
    EXPECT_EQ((std::vector<std::string>{"a", "c", "d", "b"}), valueNames(key_));
}

TEST_F(ValueTest, ManyValuesStayFindableThroughDeletions) {
    constexpr int kCount = 5000;
    auto nameOf = [](int i) { return "Value" + std::to_string(i); };
    for (int i = 0; i < kCount; ++i) setString(key_, nameOf(i).c_str(), std::to_string(i * 7));
    for (int i = 0; i < kCount; i += 3) {
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key_, nameOf(i).c_str()));
    }

    std::vector<std::string> expected;
    for (int i = 0; i < kCount; ++i) {
        ReadResult read = query(key_, ("VALUE" + std::to_string(i)).c_str());
        if (i % 3 == 0) {
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, read.status) << i;
        } else {
            expected.push_back(nameOf(i));
            EXPECT_EQ(stringData(std::to_string(i * 7)), read.data) << i;
        }
    }
    EXPECT_EQ(expected, valueNames(key_));
}

TEST_F(ValueTest, EnumerationReportsNamesTypesAndData) {
    set(key_, "First", REG_DWORD, Bytes{1, 0, 0, 0});
    set(key_, "Second", REG_BINARY, Bytes{2, 2});
    char name[32];
    DWORD length = sizeof name, type = 0, size = 16;
    BYTE data[16];
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key_, 1, name, &length, nullptr, &type, data, &size));
    EXPECT_STREQ("Second", name);
    EXPECT_EQ(6u, length) << "the length excludes the terminator";
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ((Bytes{2, 2}), Bytes(data, data + size));

    length = sizeof name;
    size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(4u, size) << "a NULL data buffer asks for the size";

    length = sizeof name;
    size = 3;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key_, 0, name, &length, nullptr, &type, data, &size));
    EXPECT_EQ(4u, size);
}

TEST_F(ValueTest, EnumerationNeedsRoomForTheNameAndItsTerminator) {
    setString(key_, "Name5", "x");
    char name[8];
    for (DWORD room = 0; room <= 7; ++room) {
        DWORD length = room;
        std::memset(name, '#', sizeof name);
        LONG status = RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (room <= 5) {
            EXPECT_EQ(ERROR_MORE_DATA, status) << "room " << room;
        } else {
            EXPECT_EQ(ERROR_SUCCESS, status) << "room " << room;
            EXPECT_EQ(5u, length);
            EXPECT_STREQ("Name5", name);
        }
    }
}

TEST_F(ValueTest, EnumerationWithAShortBufferReportsTypeAndSizeAndWritesNothingElse) {
    setString(key_, "Test", "foobar");
    struct Case {
        const char *what;
        DWORD nameRoom;
        DWORD dataRoom;  // 0xFFFF: no data buffer
        LONG status;
    };
    const Case cases[] = {
        {"both too small", 2, 2, ERROR_MORE_DATA},
        {"name too small", 3, 20, ERROR_MORE_DATA},
        {"name without room for its terminator", 4, 20, ERROR_MORE_DATA},
        {"no room for a name", 0, 20, ERROR_MORE_DATA},
        {"name too small, no data buffer", 3, 0xFFFF, ERROR_MORE_DATA},
        {"data too small", 20, 2, ERROR_MORE_DATA},
        {"data one byte short", 20, 6, ERROR_MORE_DATA},
        {"both fit exactly", 5, 7, ERROR_SUCCESS},
    };
    for (const Case &c : cases) {
        char name[24];
        BYTE data[24];
        std::memset(name, 'x', sizeof name);
        std::memset(data, 'x', sizeof data);
        DWORD nameLength = c.nameRoom, size = c.dataRoom, type = 1234;
        const bool withData = c.dataRoom != 0xFFFF;
        EXPECT_EQ(c.status, RegEnumValueA(key_, 0, name, &nameLength, nullptr, &type,
                                          withData ? data : nullptr, &size)) << c.what;
        EXPECT_EQ(REG_SZ, type) << c.what;
        EXPECT_EQ(7u, size) << c.what;
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(4u, nameLength);
            EXPECT_STREQ("Test", name);
            EXPECT_STREQ("foobar", reinterpret_cast<const char *>(data));
        } else {
            EXPECT_EQ(c.nameRoom, nameLength) << c.what << ": the name's length was changed";
            EXPECT_EQ(std::string(sizeof name, 'x'), std::string(name, sizeof name)) << c.what;
            EXPECT_EQ(Bytes(sizeof data, 'x'), Bytes(data, data + sizeof data)) << c.what;
        }
    }
}

TEST_F(ValueTest, EnumerationRejectsBadParameters) {
    setString(key_, "v", "x");
    char name[8];
    DWORD length = sizeof name, reserved = 0, size = 0;
    BYTE data[4];
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key_, 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key_, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key_, 0, name, &length, &reserved, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, data, nullptr));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key_, 1, name, &length, nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key_, 0xFFFFFFFF, name, &length, nullptr, nullptr, nullptr, &size));
}

TEST_F(ValueTest, KeyInfoTracksCountsAndLongestNamesAndData) {
    struct Step {
        const char *what;
        std::function<void()> change;
        DWORD subKeys, maxSubKeyLength, values, maxValueNameLength, maxDataSize;
    };
    const Step steps[] = {
        {"empty", [] {}, 0, 0, 0, 0, 0},
        {"two values", [&] { set(key_, "abc", REG_BINARY, Bytes(10)); set(key_, "abcdefg", REG_BINARY, Bytes(3)); }, 0, 0, 2, 7, 10},
        {"default value", [&] { set(key_, nullptr, REG_BINARY, Bytes(40)); }, 0, 0, 3, 7, 40},
        {"shrink the largest", [&] { set(key_, "", REG_BINARY, Bytes(1)); }, 0, 0, 3, 7, 10},
        {"delete the longest name", [&] { RegDeleteValueA(key_, "ABCDEFG"); }, 0, 0, 2, 3, 10},
        {"subkeys", [&] { create(key_, "k"); create(key_, "Longer\\Grandchild"); }, 2, 6, 2, 3, 10},
        {"delete the longest subkey", [&] { RegDeleteTreeA(key_, "longer"); }, 1, 1, 2, 3, 10},
    };
    for (const Step &step : steps) {
        step.change();
        KeyInfo got = info(key_);
        EXPECT_EQ(ERROR_SUCCESS, got.status) << step.what;
        EXPECT_EQ(step.subKeys, got.subKeys) << step.what;
        EXPECT_EQ(step.maxSubKeyLength, got.maxSubKeyLength) << step.what;
        EXPECT_EQ(step.values, got.values) << step.what;
        EXPECT_EQ(step.maxValueNameLength, got.maxValueNameLength) << step.what;
        EXPECT_EQ(step.maxDataSize, got.maxDataSize) << step.what;
    }
}

// Windows counts names in UTF-16 units and string data in its stored UTF-16 bytes.
TEST_F(ValueTest, KeyInfoCountsNamesAndStringDataAsWindowsStoresThem) {
    const std::string cjk8 = "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D\xE5\xAD\x97"
                             "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D\xE5\xAD\x97";  // 8 characters
    const std::string grin = "\xF0\x9F\x98\x80";                  // U+1F600: two units
    const std::string grinModified = "\xED\xA0\xBD\xED\xB8\x80";  // the same as two surrogates
    const std::string invalid(10, '\xFF');                          // one unit per byte
    struct Step {
        const char *what;
        std::function<void()> change;
        DWORD maxSubKeyLength, maxValueNameLength, maxDataSize;
    };
    const Step steps[] = {
        {"REG_SZ \"data\" with its NUL", [&] { setString(key_, "s", "data"); }, 0, 1, 10},
        {"a name of 8 CJK characters", [&] { set(key_, cjk8.c_str(), REG_BINARY, Bytes(3)); }, 0, 8, 10},
        {"REG_EXPAND_SZ of two-byte characters",
         [&] { set(key_, "e", REG_EXPAND_SZ, stringData("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9")); }, 0, 8, 12},
        {"REG_MULTI_SZ", [&] { set(key_, "m", REG_MULTI_SZ, Bytes{'a', 'b', 0, 'c', 'd', 'e', 0, 0}); }, 0, 8, 16},
        {"a supplementary character", [&] { setString(key_, "g", grin + grin + grin + grin); }, 0, 8, 18},
        {"the same in modified UTF-8",
         [&] { setString(key_, "g", grinModified + grinModified + grinModified + grinModified + "x"); }, 0, 8, 20},
        {"binary data counts its bytes", [&] { set(key_, "b", REG_BINARY, Bytes(19)); }, 0, 8, 20},
        {"a string replaced by binary data", [&] { set(key_, "g", REG_BINARY, Bytes(2)); }, 0, 8, 19},
        {"invalid bytes count one each", [&] { set(key_, invalid.c_str(), REG_DWORD, Bytes(4)); }, 0, 10, 19},
        {"modified UTF-8 NUL is one character", [&] { set(key_, "a\xC0\x80" "bcdefghij\xC3\xA9", REG_DWORD, Bytes(4)); }, 0, 12, 19},
        {"a subkey of 3 CJK characters", [&] { create(key_, "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D"); }, 3, 12, 19},
        {"a shorter subkey", [&] { create(key_, "ab"); }, 3, 12, 19},
        {"delete the longest names",
         [&] {
             RegDeleteValueA(key_, "a\xC0\x80" "bcdefghij\xC3\xA9");
             RegDeleteValueA(key_, invalid.c_str());
             RegDeleteKeyA(key_, "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D");
         },
         2, 8, 19},
        {"delete the CJK name and the largest data",
         [&] { RegDeleteValueA(key_, cjk8.c_str()); RegDeleteValueA(key_, "b"); }, 2, 1, 16},
    };
    for (const Step &step : steps) {
        step.change();
        KeyInfo got = info(key_);
        EXPECT_EQ(ERROR_SUCCESS, got.status) << step.what;
        EXPECT_EQ(step.maxSubKeyLength, got.maxSubKeyLength) << step.what;
        EXPECT_EQ(step.maxValueNameLength, got.maxValueNameLength) << step.what;
        EXPECT_EQ(step.maxDataSize, got.maxDataSize) << step.what;
    }
}

TEST_F(ValueTest, KeyInfoOutputsAreOptionalAndTheRestAreZero) {
    set(key_, "v", REG_BINARY, Bytes(5));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    char className[4] = "xyz";
    DWORD classLength = sizeof className, maxClass = 9, security = 9;
    FILETIME written{9, 9};
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key_, className, &classLength, nullptr, nullptr, nullptr,
                                              &maxClass, nullptr, nullptr, nullptr, &security, &written));
    EXPECT_STREQ("", className);
    EXPECT_EQ(0u, classLength);
    EXPECT_EQ(0u, maxClass);
    EXPECT_EQ(0u, security);
    DWORD reserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryInfoKeyA(key_, nullptr, nullptr, &reserved, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryInfoKeyA(key_, className, nullptr, nullptr, nullptr, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

using AccessTest = RegistryTest;

TEST_F(AccessTest, EachCallNeedsItsRightOnTheHandle) {
    {
        KeyHandle key = create(HKEY_CURRENT_USER, "Rights");
        setString(key, "v", "x");
    }
    struct Case {
        const char *what;
        REGSAM access;
        bool canRead;   // query, enumerate, key info
        bool canWrite;  // set, delete value
    };
    const Case cases[] = {
        {"KEY_READ", KEY_READ, true, false},
        {"KEY_WRITE", KEY_WRITE, false, true},
        {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, true, false},
        {"KEY_SET_VALUE", KEY_SET_VALUE, false, true},
        {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, false, false},
        {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, true, true},
        {"KEY_READ | KEY_WRITE", KEY_READ | KEY_WRITE, true, true},
        {"no rights", 0, false, false},
        {"GENERIC_READ", GENERIC_READ, true, false},
        {"GENERIC_WRITE", GENERIC_WRITE, false, true},
        {"GENERIC_ALL", GENERIC_ALL, true, true},
        {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, true, true},
        {"KEY_READ | KEY_WOW64_64KEY", KEY_READ | KEY_WOW64_64KEY, true, false},
    };
    for (const Case &c : cases) {
        KeyHandle key = open(HKEY_CURRENT_USER, "Rights", c.access);
        const LONG read = c.canRead ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        const LONG write = c.canWrite ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        char name[8];
        DWORD length = sizeof name, count = 0;
        const BYTE data[] = {'y', 0};
        EXPECT_EQ(read, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr)) << c.what;
        EXPECT_EQ(read, RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr)) << c.what;
        EXPECT_EQ(read, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         &count, nullptr, nullptr, nullptr, nullptr)) << c.what;
        EXPECT_EQ(write, RegSetValueExA(key, "w", 0, REG_SZ, data, sizeof data)) << c.what;
        EXPECT_EQ(write, RegDeleteValueA(key, "w")) << c.what;
    }
    KeyHandle key = open(HKEY_CURRENT_USER, "Rights", KEY_READ);
    EXPECT_EQ(std::vector<std::string>{"v"}, valueNames(key)) << "a denied write changed something";
}

}  // namespace
}  // namespace regemu_test
