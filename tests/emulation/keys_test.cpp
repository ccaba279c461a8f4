// Keys: handles, predefined roots, paths and names, creation and deletion.
#include "registry_fixture.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <functional>
#include <set>
#include <string>

namespace regemu_test {
namespace {

const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                       HKEY_USERS,        HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG};

using HandleTest = RegistryTest;

TEST_F(HandleTest, HandlesAreDistinctSmallMultiplesOfFourThatFitInAJavaInt) {
    KeyHandle parent = create(HKEY_CURRENT_USER, "Software\\Handles");
    std::vector<KeyHandle> handles;
    std::set<uintptr_t> seen;
    for (int i = 0; i < 200; ++i) {
        handles.push_back(open(parent, nullptr));
        const uintptr_t value = reinterpret_cast<uintptr_t>(handles.back().get());
        EXPECT_NE(0u, value);
        EXPECT_EQ(0u, value % 4);
        EXPECT_LE(value, 0x7FFFFFFFu);
        EXPECT_TRUE(seen.insert(value).second) << "handle " << value << " given out twice";
    }
    EXPECT_EQ(201u, RegEmuOpenHandleCount());
}

TEST_F(HandleTest, AClosedHandleIsInvalidAndItsValueIsReused) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Software\\Reuse");
    HKEY closed = key.release();
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(closed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(closed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(closed, "v", nullptr, nullptr, nullptr, nullptr));

    KeyHandle again = open(HKEY_CURRENT_USER, "Software\\Reuse");
    EXPECT_EQ(closed, again.get());
}

TEST_F(HandleTest, InvalidHandlesAreRejectedByEveryFunction) {
    KeyHandle closedKey = create(HKEY_CURRENT_USER, "Software\\Closed");
    const HKEY closed = closedKey.release();
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(closed));

    std::vector<std::pair<const char *, HKEY>> invalid = {
        {"null", nullptr},
        {"closed", closed},
        {"never opened", handleFromValue(0x7FFFFFF0)},
        {"not a multiple of four", handleFromValue(reinterpret_cast<uintptr_t>(closed) + 1)},
        {"one past the last root", handleFromValue(static_cast<uintptr_t>(intptr_t{-0x7FFFFFFA}))},
        {"just below the first root", handleFromValue(static_cast<uintptr_t>(intptr_t{INT32_MIN} - 4))},
    };
    if (sizeof(void *) == 8) {
        // On 64-bit Windows only the sign-extended form is a root.
        invalid.push_back({"zero-extended HKEY_CURRENT_USER", handleFromValue(0x80000001u)});
        invalid.push_back({"zero-extended HKEY_LOCAL_MACHINE", handleFromValue(0x80000002u)});
    }

    const std::vector<std::pair<const char *, std::function<LONG(HKEY)>>> calls = {
        {"RegOpenKeyExA", [](HKEY h) { HKEY out; return RegOpenKeyExA(h, "x", 0, KEY_READ, &out); }},
        {"RegCreateKeyExA",
         [](HKEY h) { HKEY out; return RegCreateKeyExA(h, "x", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); }},
        {"RegQueryValueExA", [](HKEY h) { return RegQueryValueExA(h, "v", nullptr, nullptr, nullptr, nullptr); }},
        {"RegSetValueExA", [](HKEY h) { return RegSetValueExA(h, "v", 0, REG_BINARY, nullptr, 0); }},
        {"RegDeleteValueA", [](HKEY h) { return RegDeleteValueA(h, "v"); }},
        {"RegEnumValueA",
         [](HKEY h) { char n[8]; DWORD l = 8; return RegEnumValueA(h, 0, n, &l, nullptr, nullptr, nullptr, nullptr); }},
        {"RegQueryInfoKeyA",
         [](HKEY h) { DWORD v; return RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &v, nullptr, nullptr, nullptr, nullptr); }},
        {"RegDeleteKeyA", [](HKEY h) { return RegDeleteKeyA(h, "x"); }},
        {"RegDeleteTreeA", [](HKEY h) { return RegDeleteTreeA(h, "x"); }},
        {"RegCloseKey", [](HKEY h) { return RegCloseKey(h); }},
        {"RegEmuDenyAccess", [](HKEY h) { return RegEmuDenyAccess(h, nullptr, KEY_READ); }},
    };
    for (const auto &[handleName, handle] : invalid) {
        for (const auto &[callName, call] : calls) {
            EXPECT_EQ(ERROR_INVALID_HANDLE, call(handle)) << callName << " with a " << handleName << " handle";
        }
    }
    EXPECT_EQ(0u, RegEmuOpenHandleCount());
}

TEST_F(HandleTest, EachPredefinedRootIsItsOwnTree) {
    for (size_t i = 0; i < std::size(kRoots); ++i) {
        KeyHandle key = create(kRoots[i], "Shared\\Name");
        set(key, "which", REG_DWORD, Bytes{static_cast<BYTE>(i), 0, 0, 0});
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(kRoots[i], "rootValue", 0, REG_BINARY,
                                                reinterpret_cast<const BYTE *>(&i), 1));
    }
    for (size_t i = 0; i < std::size(kRoots); ++i) {
        KeyHandle key = open(kRoots[i], "Shared\\Name");
        EXPECT_EQ((Bytes{static_cast<BYTE>(i), 0, 0, 0}), query(key, "which").data) << "root " << i;
        EXPECT_EQ(Bytes{static_cast<BYTE>(i)}, query(kRoots[i], "rootValue").data) << "root " << i;
    }
}

TEST_F(HandleTest, RootsHaveAllRightsAndClosingThemDoesNothing) {
    for (HKEY root : kRoots) {
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(root));
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(root));
        setString(root, "v", "x");
        EXPECT_EQ(stringData("x"), query(root, "v").data);
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(root, "v"));
    }
    EXPECT_EQ(0u, RegEmuOpenHandleCount()) << "roots are not counted as open handles";
}

TEST_F(HandleTest, ANullOrEmptySubkeyOpensANewHandleToTheSameKey) {
    KeyHandle original = create(HKEY_CURRENT_USER, "Software\\Self");
    for (const char *self : {static_cast<const char *>(nullptr), ""}) {
        KeyHandle viaOpen = open(original, self);
        KeyHandle viaCreate;
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(original, self, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, viaCreate.out(), &disposition));
        EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
        EXPECT_NE(original.get(), viaOpen.get());
        EXPECT_NE(viaOpen.get(), viaCreate.get());
        setString(viaOpen, "written", self ? "empty" : "null");
        EXPECT_EQ(stringData(self ? "empty" : "null"), query(viaCreate, "written").data);
    }
    KeyHandle rootCopy = create(HKEY_CURRENT_USER, "");
    EXPECT_EQ(2u, RegEmuOpenHandleCount()) << "a handle created on a root is counted";
    original.reset();
    KeyHandle stillThere = open(rootCopy, "Software\\Self");
}

TEST_F(HandleTest, OpeningAPredefinedKeyWithNoSubkeyHandsBackThatKey) {
    for (HKEY root : kRoots) {
        for (const char *self : {static_cast<const char *>(nullptr), ""}) {
            for (REGSAM access : {REGSAM{KEY_READ}, REGSAM{KEY_ALL_ACCESS}, REGSAM{0}}) {
                HKEY out = handleFromValue(0x1234);
                EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(root, self, 0, access, &out));
                EXPECT_EQ(root, out) << root << (self ? " \"\"" : " NULL") << " access " << access;
            }
        }
    }
    EXPECT_EQ(0u, RegEmuOpenHandleCount());
    // A subkey, or a handle that is not predefined, still gives a new handle.
    KeyHandle key = create(HKEY_CURRENT_USER, "Software");
    KeyHandle viaPath = open(HKEY_CURRENT_USER, "Software");
    KeyHandle viaHandle = open(key, nullptr);
    EXPECT_NE(key.get(), viaPath.get());
    EXPECT_NE(key.get(), viaHandle.get());
    EXPECT_EQ(3u, RegEmuOpenHandleCount());
}

TEST_F(HandleTest, ClosingAPredefinedKeySucceedsAndIsCounted) {
    EXPECT_EQ(0u, RegEmuPredefinedKeyCloseCount());
    KeyHandle key = create(HKEY_CURRENT_USER, "Software");
    key.reset();
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(handleFromValue(0x7FFFFFF0)));
    EXPECT_EQ(0u, RegEmuPredefinedKeyCloseCount()) << "only predefined keys count";

    DWORD closes = 0;
    for (HKEY root : kRoots) {
        HKEY opened = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(root, "", 0, KEY_READ, &opened));
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(opened));
        EXPECT_EQ(++closes, RegEmuPredefinedKeyCloseCount()) << root;
    }
    // Still usable after being closed.
    setString(HKEY_CURRENT_USER, "v", "x");
    EXPECT_EQ(stringData("x"), query(HKEY_CURRENT_USER, "v").data);
    RegEmuReset();
    EXPECT_EQ(0u, RegEmuPredefinedKeyCloseCount());
}

TEST_F(HandleTest, OpenChecksItsParameters) {
    HKEY out = handleFromValue(0x1234);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 1, KEY_READ, &out));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0x10, KEY_READ, &out));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, nullptr));
    EXPECT_EQ(handleFromValue(0x1234), out);
    KeyHandle link;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, REG_OPTION_OPEN_LINK, KEY_READ, link.out()));
}

using PathTest = RegistryTest;

TEST_F(PathTest, NamesAreCaseInsensitive) {
    KeyHandle created = create(HKEY_CURRENT_USER, "Software\\MixedCase\\Inner");
    setString(created, "v", "same key");
    for (const char *spelling : {"software\\mixedcase\\inner", "SOFTWARE\\MIXEDCASE\\INNER", "sOfTwArE\\MiXeDcAsE\\iNnEr"}) {
        KeyHandle key = open(HKEY_CURRENT_USER, spelling);
        EXPECT_EQ(stringData("same key"), query(key, "v").data) << spelling;
        DWORD disposition = 0;
        KeyHandle viaCreate;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, spelling, 0, nullptr, 0,
                                                 KEY_READ, nullptr, viaCreate.out(), &disposition));
        EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition) << spelling;
    }
    KeyHandle software = open(HKEY_CURRENT_USER, "Software");
    EXPECT_EQ(1u, info(software).subKeys) << "differently cased creates made new keys";
}

TEST_F(PathTest, MalformedPathsAreRejected) {
    KeyHandle existing = create(HKEY_CURRENT_USER, "Software\\X");
    const std::string longest(255, 'n');
    const std::string tooLong(256, 'n');
    struct Case {
        std::string path;
        LONG open;    // RegOpenKeyExA under HKEY_CURRENT_USER
        LONG create;  // RegCreateKeyExA under HKEY_CURRENT_USER
    };
    const Case cases[] = {
        {"\\Software\\X", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
        {"\\", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
        {"Software\\" + tooLong, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {"Software\\" + longest, ERROR_FILE_NOT_FOUND, ERROR_SUCCESS},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.open, tryOpen(HKEY_CURRENT_USER, c.path.c_str())) << "open " << c.path;
        HKEY key = nullptr;
        EXPECT_EQ(c.create, RegCreateKeyExA(HKEY_CURRENT_USER, c.path.c_str(), 0, nullptr, 0,
                                            KEY_READ, nullptr, &key, nullptr))
            << "create " << c.path;
        if (key) {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
        }
    }
    EXPECT_EQ(ERROR_SUCCESS, tryOpen(HKEY_CURRENT_USER, ("Software\\" + longest).c_str()));
    KeyHandle software = open(HKEY_CURRENT_USER, "Software");
    EXPECT_EQ(2u, info(software).subKeys) << "a rejected path created something";
    EXPECT_EQ(255u, info(software).maxSubKeyLength);
}

TEST_F(PathTest, OpeningAMissingKeyFailsAndCreatesNothing) {
    KeyHandle software = create(HKEY_CURRENT_USER, "Software");
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(HKEY_CURRENT_USER, "Software\\Missing\\Deeper"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(software, "Missing"));
    }
    EXPECT_EQ(0u, info(software).subKeys);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(HKEY_LOCAL_MACHINE, "Software"));
}

// Paths of around 16 names, where the walk's names stop fitting in place.
TEST_F(PathTest, LongPathsReachTheirKeyAtAnyDepth) {
    for (int depth : {15, 16, 17, 40}) {
        std::string path = "Depth" + std::to_string(depth);
        for (int i = 1; i < depth; ++i) path += "\\N" + std::to_string(i);
        {
            KeyHandle created = create(HKEY_CURRENT_USER, path.c_str());
            setString(created, "depth", std::to_string(depth));
        }
        KeyHandle opened = open(HKEY_CURRENT_USER, path.c_str());
        EXPECT_EQ(stringData(std::to_string(depth)), query(opened, "depth").data) << depth;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(HKEY_CURRENT_USER, (path + "\\Below").c_str()))
            << depth;
        std::string upper = path;
        for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(ERROR_SUCCESS, tryOpen(HKEY_CURRENT_USER, (upper + "\\").c_str())) << depth;
    }
}

TEST_F(PathTest, ManySubkeysStayFindableThroughDeletions) {
    constexpr int kCount = 3000;
    KeyHandle parent = create(HKEY_CURRENT_USER, "Many");
    auto nameOf = [](int i) { return "Sub" + std::to_string(i * 7919 % kCount); };
    for (int i = 0; i < kCount; ++i) create(parent, nameOf(i).c_str());
    for (int i = 0; i < kCount; i += 3) {
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, nameOf(i).c_str())) << i;
    }
    for (int i = 0; i < kCount; i += 9) create(parent, nameOf(i).c_str());  // some come back
    DWORD present = 0;
    for (int i = 0; i < kCount; ++i) {
        const bool there = i % 3 != 0 || i % 9 == 0;
        present += there;
        const std::string upper = "SUB" + nameOf(i).substr(3);
        EXPECT_EQ(there ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, tryOpen(parent, upper.c_str())) << i;
    }
    EXPECT_EQ(present, info(parent).subKeys);
}

using CreateTest = RegistryTest;

TEST_F(CreateTest, CreatesMissingIntermediateKeysAndReportsWhatItDid) {
    DWORD disposition = 0;
    KeyHandle deep;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "A\\B\\C", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, deep.out(), &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    for (const char *path : {"A", "A\\B", "A\\B\\C"}) {
        EXPECT_TRUE(exists(HKEY_CURRENT_USER, path)) << path;
    }

    KeyHandle a = open(HKEY_CURRENT_USER, "A");
    KeyHandle sibling;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(a, "B\\D", 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                                             nullptr, sibling.out(), &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    KeyHandle existing;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(a, "b\\c", 0, nullptr, 0, KEY_READ, nullptr,
                                             existing.out(), &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    KeyHandle noDisposition;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(a, "E", 0, nullptr, 0, KEY_READ, nullptr,
                                             noDisposition.out(), nullptr));
    KeyHandle b = open(a, "B");
    EXPECT_EQ(2u, info(b).subKeys);
}

TEST_F(CreateTest, ChecksItsParameters) {
    HKEY out = handleFromValue(0x1234);
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_CURRENT_USER, "New", 1, nullptr, 0, KEY_READ, nullptr, &out, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0x100, KEY_READ, nullptr, &out, nullptr));
    EXPECT_EQ(handleFromValue(0x1234), out);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "New"));
}

TEST_F(CreateTest, TheParentHandlesRightsDoNotMatterButADenialOnTheKeyDoes) {
    create(HKEY_CURRENT_USER, "Parent\\Existing");
    // Windows checks the parent key's own security, never the rights of the handle given.
    for (REGSAM access : {REGSAM{KEY_NOTIFY}, REGSAM{KEY_READ}, REGSAM{0}}) {
        KeyHandle parent = open(HKEY_CURRENT_USER, "Parent", access);
        const std::string name = "New" + std::to_string(access);
        KeyHandle created;
        DWORD disposition = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                 nullptr, created.out(), &disposition))
            << "parent opened with " << access;
        EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
        EXPECT_TRUE(exists(HKEY_CURRENT_USER, ("Parent\\" + name).c_str()));
    }
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Parent", KEY_CREATE_SUB_KEY));
    KeyHandle parent = open(HKEY_CURRENT_USER, "Parent", KEY_READ);
    HKEY out = handleFromValue(0x1234);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegCreateKeyExA(parent, "Refused", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr));
    EXPECT_EQ(nullptr, out);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Parent\\Refused"));
    KeyHandle existing;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, "Existing", 0, nullptr, 0, KEY_READ, nullptr,
                                             existing.out(), nullptr));
}

TEST_F(CreateTest, AFailedOpenOrCreateLeavesNullButABadHandleOrParameterLeavesItAlone) {
    create(HKEY_CURRENT_USER, "Here\\Locked");
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Here\\Locked", KEY_SET_VALUE));
    KeyHandle deleted = create(HKEY_CURRENT_USER, "Gone");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Gone"));
    const HKEY kUntouched = handleFromValue(0x1234);
    struct Case {
        const char *what;
        HKEY parent;
        const char *path;
        REGSAM access;
        DWORD options;
        LONG open, create;  // results
        bool cleared;       // whether the output becomes NULL
    };
    const Case cases[] = {
        {"missing key", HKEY_CURRENT_USER, "Here\\Missing", KEY_READ, 0, ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, true},
        {"denied access", HKEY_CURRENT_USER, "Here\\Locked", KEY_WRITE, 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, true},
        {"leading backslash", HKEY_CURRENT_USER, "\\Here", KEY_READ, 0, ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME, true},
        {"deleted key", deleted, "Sub", KEY_READ, 0, ERROR_KEY_DELETED, ERROR_KEY_DELETED, true},
        {"NULL handle", nullptr, "Here", KEY_READ, 0, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE, false},
        {"bad options", HKEY_CURRENT_USER, "Here", KEY_READ, 0x100, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, false},
    };
    for (const Case &c : cases) {
        HKEY out = kUntouched;
        EXPECT_EQ(c.open, RegOpenKeyExA(c.parent, c.path, c.options, c.access, &out)) << c.what;
        if (c.open != ERROR_SUCCESS) {
            EXPECT_EQ(c.cleared ? nullptr : kUntouched, out) << "open: " << c.what;
        } else {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(out));
        }
        out = kUntouched;
        EXPECT_EQ(c.create, RegCreateKeyExA(c.parent, c.path, 0, nullptr, c.options, c.access,
                                            nullptr, &out, nullptr))
            << c.what;
        if (c.create != ERROR_SUCCESS) {
            EXPECT_EQ(c.cleared ? nullptr : kUntouched, out) << "create: " << c.what;
        } else {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(out));
        }
    }
}

TEST_F(CreateTest, ANonVolatileSubkeyOfAVolatileKeyIsRefused) {
    KeyHandle stable = create(HKEY_CURRENT_USER, "Stable");
    KeyHandle fleeting;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(stable, "Fleeting", 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, fleeting.out(), nullptr));
    struct Case {
        const char *what;
        HKEY parent;
        const char *path;
        DWORD options;
        LONG status;
    };
    const Case cases[] = {
        {"non-volatile under volatile", fleeting, "Child", 0, ERROR_CHILD_MUST_BE_VOLATILE},
        {"non-volatile path under volatile", fleeting, "Child\\Deeper", 0, ERROR_CHILD_MUST_BE_VOLATILE},
        {"non-volatile through a path", HKEY_CURRENT_USER, "Stable\\Fleeting\\Child", 0, ERROR_CHILD_MUST_BE_VOLATILE},
        {"volatile under volatile", fleeting, "Child", REG_OPTION_VOLATILE, ERROR_SUCCESS},
        {"existing volatile key opened without the option", fleeting, "Child", 0, ERROR_SUCCESS},
        {"volatile path under non-volatile", stable, "V1\\V2", REG_OPTION_VOLATILE, ERROR_SUCCESS},
        {"keys made along a volatile path are volatile", stable, "V1\\Other", 0, ERROR_CHILD_MUST_BE_VOLATILE},
        {"non-volatile under non-volatile", stable, "Plain", 0, ERROR_SUCCESS},
    };
    for (const Case &c : cases) {
        HKEY out = handleFromValue(0x1234);
        EXPECT_EQ(c.status, RegCreateKeyExA(c.parent, c.path, 0, nullptr, c.options, KEY_READ, nullptr,
                                            &out, nullptr))
            << c.what;
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(out));
        } else {
            EXPECT_EQ(nullptr, out) << c.what;
        }
    }
    EXPECT_FALSE(exists(fleeting, "Child\\Deeper"));
    EXPECT_FALSE(exists(stable, "V1\\Other"));
    EXPECT_EQ(3u, info(stable).subKeys);  // Fleeting, V1, Plain
}

TEST_F(CreateTest, TheClassGivenIsKeptAndReportedAsWindowsReportsIt) {
    static const char kClass[] = "subkey class";  // 12 characters
    KeyHandle parent = create(HKEY_CURRENT_USER, "Parent");
    KeyHandle subkey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, "subkey", 0, const_cast<LPSTR>(kClass), 0,
                                             KEY_ALL_ACCESS, nullptr, subkey.out(), nullptr));
    DWORD length = 0, maxClass = 99;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(subkey, nullptr, &length, nullptr, nullptr, nullptr, &maxClass,
                                              nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(12u, length) << "without a buffer the length is reported";
    EXPECT_EQ(0u, maxClass);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, nullptr, nullptr, &maxClass,
                                              nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(12u, maxClass) << "the longest class of the subkeys";

    struct Case {
        DWORD room;
        LONG status;
        DWORD length;
        const char *written;  // the bytes written, NUL included; nullptr: none
    };
    const Case cases[] = {
        {0, ERROR_SUCCESS, 0, nullptr},
        {1, ERROR_MORE_DATA, 0, ""},
        {12, ERROR_MORE_DATA, 11, "subkey clas"},
        {13, ERROR_SUCCESS, 12, "subkey class"},
        {32, ERROR_SUCCESS, 12, "subkey class"},
    };
    for (const Case &c : cases) {
        char buffer[33];
        std::memset(buffer, 0x55, sizeof buffer);
        DWORD room = c.room;
        EXPECT_EQ(c.status, RegQueryInfoKeyA(subkey, buffer, &room, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr))
            << "room " << c.room;
        EXPECT_EQ(c.length, room) << "room " << c.room;
        const size_t written = c.written ? std::strlen(c.written) + 1 : 0;
        if (c.written) {
            EXPECT_STREQ(c.written, buffer) << "room " << c.room;
        }
        for (size_t i = written; i < sizeof buffer; ++i) {
            EXPECT_EQ(0x55, static_cast<unsigned char>(buffer[i])) << "room " << c.room << " byte " << i;
        }
    }

    // Only the last key of a path gets the class; an existing key keeps its own.
    KeyHandle deep;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, "a\\bb", 0, const_cast<LPSTR>("longer class name"), 0,
                                             KEY_ALL_ACCESS, nullptr, deep.out(), nullptr));
    KeyHandle again;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, "subkey", 0, const_cast<LPSTR>("other"), 0,
                                             KEY_ALL_ACCESS, nullptr, again.out(), nullptr));
    auto classLength = [](HKEY key) {
        DWORD got = 0;
        RegQueryInfoKeyA(key, nullptr, &got, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        return got;
    };
    EXPECT_EQ(17u, classLength(deep));
    EXPECT_EQ(0u, classLength(open(parent, "a")));
    EXPECT_EQ(12u, classLength(again));
    auto longestClass = [](HKEY key) {
        DWORD got = 99;
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, &got, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        return got;
    };
    EXPECT_EQ(12u, longestClass(parent));
    EXPECT_EQ(17u, longestClass(open(parent, "a")));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "subkey"));
    EXPECT_EQ(0u, longestClass(parent)) << "deleting the subkey forgets its class";
}

TEST_F(RegistryTest, EveryKeyReportsASecurityDescriptorSize) {
    // Windows never reports 0 here; a caller sizes RegGetKeySecurity's buffer from it.
    KeyHandle key = create(HKEY_CURRENT_USER, "Software\\Secured");
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, &size, nullptr));
    EXPECT_GE(size, 20u) << "at least a self-relative descriptor's header";
}

using LastWriteTest = RegistryTest;

uint64_t lastWrite(HKEY key) {
    FILETIME written{0, 0};
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, &written));
    return (uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
}

uint64_t fileTimeNow() {
    using namespace std::chrono;
    const auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return 11644473600ull * 10000000ull + static_cast<uint64_t>(since1970) / 100;
}

TEST_F(LastWriteTest, ANewKeyHasTheTimeItWasCreatedIn100NsSince1601) {
    const uint64_t before = fileTimeNow();
    KeyHandle key = create(HKEY_CURRENT_USER, "Timed");
    const uint64_t after = fileTimeNow();
    const uint64_t created = lastWrite(key);
    EXPECT_LE(before, created);
    EXPECT_GE(after, created);
}

TEST_F(LastWriteTest, ChangesToValuesOrSubkeysUpdateTheKeyTheyChange) {
    KeyHandle parent = create(HKEY_CURRENT_USER, "P");
    KeyHandle child = create(parent, "C");
    setString(parent, "existing", "x");
    setString(child, "v", "x");
    struct Step {
        const char *what;
        std::function<void()> change;
        bool parentChanges, childChanges;
        bool childStays = true;
    };
    const Step steps[] = {
        {"set a value on the parent", [&] { setString(parent, "new", "1"); }, true, false},
        {"replace it", [&] { setString(parent, "new", "2"); }, true, false},
        {"set a value on the child", [&] { setString(child, "w", "1"); }, false, true},
        {"delete a value", [&] { EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(parent, "new")); }, true, false},
        {"delete a missing value", [&] { EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(parent, "new")); }, false, false},
        {"read, enumerate, open", [&] { query(parent, "existing"); valueNames(parent); open(parent, "C"); info(parent); }, false, false},
        {"create a subkey", [&] { create(parent, "New"); }, true, false},
        {"create an existing subkey", [&] { create(parent, "C"); }, false, false},
        {"create below the child", [&] { create(parent, "C\\Grand"); }, false, true},
        {"delete a subkey", [&] { EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "New")); }, true, false},
        {"empty the child", [&] { EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(child, nullptr)); }, false, true},
        {"delete the child's tree", [&] { EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(parent, "C")); }, true, false, false},
    };
    for (const Step &step : steps) {
        const uint64_t parentBefore = lastWrite(parent);
        const uint64_t childBefore = lastWrite(child);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // so a change shows
        step.change();
        const uint64_t parentAfter = lastWrite(parent);
        if (step.parentChanges) {
            EXPECT_LT(parentBefore, parentAfter) << step.what;
        } else {
            EXPECT_EQ(parentBefore, parentAfter) << step.what;
        }
        if (!step.childStays) continue;
        const uint64_t childAfter = lastWrite(child);
        if (step.childChanges) {
            EXPECT_LT(childBefore, childAfter) << step.what;
        } else {
            EXPECT_EQ(childBefore, childAfter) << step.what;
        }
    }
}

using DeleteKeyTest = RegistryTest;

TEST_F(DeleteKeyTest, DeletesOnlyLeafKeys) {
    create(HKEY_CURRENT_USER, "Software\\Parent\\Child");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent"));
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, "Software\\Parent\\Child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent\\Missing"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "SOFTWARE\\parent\\CHILD"));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Software\\Parent\\Child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent\\Child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Parent"));
    KeyHandle software = open(HKEY_CURRENT_USER, "Software");
    EXPECT_EQ(0u, info(software).subKeys);
    EXPECT_EQ(0u, info(software).maxSubKeyLength);
}

TEST_F(DeleteKeyTest, AnEmptySubkeyDeletesTheHandlesOwnKeyButNotARoot) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Doomed");
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, ""));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Doomed"));
    for (HKEY root : kRoots) {
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(root, "")) << root;
    }
    KeyHandle rootHandle = create(HKEY_CURRENT_USER, "");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(rootHandle, ""));
}

// Every operation but close on a handle to a deleted key.
void expectKeyDeleted(HKEY key, const std::string &why) {
    HKEY out = nullptr;
    DWORD size = 0;
    char name[8];
    DWORD nameLength = sizeof name;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "v", 0, REG_BINARY, nullptr, 0)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteValueA(key, "v")) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(key, nullptr, 0, KEY_READ, &out)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(key, "sub", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteKeyA(key, "")) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteTreeA(key, nullptr)) << why;
    EXPECT_EQ(ERROR_KEY_DELETED, RegEmuDenyAccess(key, nullptr, KEY_READ)) << why;
}

TEST_F(DeleteKeyTest, HandlesToADeletedKeyReportItDeletedUntilClosed) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Gone");
    setString(key, "v", "data");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Gone"));
    expectKeyDeleted(key, "after RegDeleteKeyA");

    // A new key of the same name is another key.
    KeyHandle recreated = create(HKEY_CURRENT_USER, "Gone");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, query(recreated, "v").status);
    expectKeyDeleted(key, "after the name was reused");
    EXPECT_EQ(2u, RegEmuOpenHandleCount());
    key.reset();  // closing still works
}

using DeleteTreeTest = RegistryTest;

TEST_F(DeleteTreeTest, WithASubkeyDeletesItAndEverythingBelow) {
    KeyHandle top = create(HKEY_CURRENT_USER, "Tree\\Top");
    KeyHandle leaf = create(HKEY_CURRENT_USER, "Tree\\Top\\Middle\\Leaf");
    KeyHandle other = create(HKEY_CURRENT_USER, "Tree\\Other");
    setString(leaf, "v", "x");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "tree\\top"));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Tree\\Top"));
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, "Tree\\Other"));
    expectKeyDeleted(top, "top of a deleted tree");
    expectKeyDeleted(leaf, "leaf of a deleted tree");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeA(HKEY_CURRENT_USER, "Tree\\Top"));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegDeleteTreeA(HKEY_CURRENT_USER, "\\Tree"));
}

TEST_F(DeleteTreeTest, WithoutASubkeyEmptiesTheKeyAndKeepsIt) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Tree");
    KeyHandle child = create(key, "Child\\Grandchild");
    setString(key, "a", "1");
    setString(key, "b", "2");
    for (const char *self : {static_cast<const char *>(nullptr), ""}) {
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(key, self));
        KeyInfo emptied = info(key);
        EXPECT_EQ(ERROR_SUCCESS, emptied.status);
        EXPECT_EQ(0u, emptied.subKeys);
        EXPECT_EQ(0u, emptied.values);
        EXPECT_EQ(0u, emptied.maxValueNameLength);
        EXPECT_EQ(0u, emptied.maxDataSize);
        expectKeyDeleted(child, "subkey of an emptied key");
        setString(key, "again", "usable");
    }
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, "Tree"));

    KeyHandle readOnly = open(HKEY_CURRENT_USER, "Tree", KEY_READ);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeA(readOnly, nullptr));
    EXPECT_EQ(stringData("usable"), query(key, "again").data);
}

TEST_F(DeleteTreeTest, EmptyingAKeyNeedsTheRightToSetValuesOnlyWhenItHasValues) {
    struct Case {
        const char *what;
        REGSAM access;
        bool hasValues;
        LONG status;
        bool subkeysGone, valuesGone;
    };
    const Case cases[] = {
        {"KEY_READ, no values", KEY_READ, false, ERROR_SUCCESS, true, true},
        {"KEY_READ, values: subkeys go, then the values are refused", KEY_READ, true, ERROR_ACCESS_DENIED, true, false},
        {"KEY_READ | KEY_SET_VALUE, values", KEY_READ | KEY_SET_VALUE, true, ERROR_SUCCESS, true, true},
        {"no KEY_ENUMERATE_SUB_KEYS", KEY_QUERY_VALUE | KEY_SET_VALUE, false, ERROR_ACCESS_DENIED, false, true},
        {"no KEY_QUERY_VALUE", KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE, true, ERROR_ACCESS_DENIED, false, false},
    };
    for (const Case &c : cases) {
        {
            KeyHandle tree = create(HKEY_CURRENT_USER, "Tree");
            create(tree, "Child\\Grandchild");
            if (c.hasValues) setString(tree, "v", "x");
        }
        KeyHandle limited = open(HKEY_CURRENT_USER, "Tree", c.access);
        EXPECT_EQ(c.status, RegDeleteTreeA(limited, nullptr)) << c.what;
        KeyInfo after = info(open(HKEY_CURRENT_USER, "Tree"));
        EXPECT_EQ(c.subkeysGone ? 0u : 1u, after.subKeys) << c.what;
        EXPECT_EQ(c.valuesGone || !c.hasValues ? 0u : 1u, after.values) << c.what;
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Tree"));
    }
}

TEST_F(DeleteTreeTest, AVeryDeepTreeIsDeleted) {
    std::string path = "Deep";
    for (int i = 0; i < 2000; ++i) path += "\\L";
    KeyHandle bottom = create(HKEY_CURRENT_USER, path.c_str());
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Deep"));
    expectKeyDeleted(bottom, "bottom of a deep tree");
}

}  // namespace
}  // namespace regemu_test
