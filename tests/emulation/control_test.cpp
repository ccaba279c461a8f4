// The emulation's own controls: armed failures, access denials, call and handle counts,
// and reset.
#include "registry_fixture.h"

#include <functional>
#include <future>
#include <string>
#include <thread>

namespace regemu_test {
namespace {

const char *const kFunctions[] = {
    "RegOpenKeyExA",   "RegQueryValueExA", "RegSetValueExA", "RegDeleteValueA", "RegQueryInfoKeyA",
    "RegEnumValueA",   "RegCloseKey",      "RegCreateKeyExA", "RegDeleteKeyA",  "RegDeleteTreeA",
};

const HKEY kSentinelHandle = handleFromValue(0x1230);

// A key with one value and one subkey; every case starts from a fresh copy.
class FailNextCallTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        rebuild();
    }
    void TearDown() override {
        key_.reset();
        RegistryTest::TearDown();
    }
    void rebuild() {
        key_.reset();
        RegEmuReset();
        key_ = create(HKEY_CURRENT_USER, "Software\\Faults");
        setString(key_, "v", "old");
        create(key_, "Sub");
    }
    KeyHandle key_;
};

struct FailCase {
    const char *function;
    // Makes the call; sets `untouched` when the outputs still hold what the caller put there.
    std::function<LONG(HKEY key, bool &untouched)> call;
    // The registry as it was before the call.
    std::function<void(HKEY key)> expectUnchanged;
};

TEST_F(FailNextCallTest, TheArmedCallFailsOnceAndChangesNothing) {
    const FailCase cases[] = {
        {"RegOpenKeyExA",
         [](HKEY key, bool &untouched) {
             HKEY out = kSentinelHandle;
             LONG status = RegOpenKeyExA(key, "Sub", 0, KEY_READ, &out);
             untouched = out == kSentinelHandle;
             if (status == ERROR_SUCCESS) RegCloseKey(out);
             return status;
         },
         [](HKEY) { EXPECT_EQ(1u, RegEmuOpenHandleCount()); }},
        {"RegCreateKeyExA",
         [](HKEY key, bool &untouched) {
             HKEY out = kSentinelHandle;
             DWORD disposition = 77;
             LONG status = RegCreateKeyExA(key, "New", 0, nullptr, 0, KEY_READ, nullptr, &out, &disposition);
             untouched = out == kSentinelHandle && disposition == 77;
             if (status == ERROR_SUCCESS) RegCloseKey(out);
             return status;
         },
         [](HKEY key) { EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegistryTest::tryOpen(key, "New")); }},
        {"RegQueryValueExA",
         [](HKEY key, bool &untouched) {
             DWORD type = 77, size = 8;
             BYTE data[8] = {9, 9, 9, 9, 9, 9, 9, 9};
             LONG status = RegQueryValueExA(key, "v", nullptr, &type, data, &size);
             untouched = type == 77 && size == 8 && data[0] == 9;
             return status;
         },
         [](HKEY) {}},
        {"RegSetValueExA",
         [](HKEY key, bool &untouched) {
             untouched = true;
             const BYTE data[] = {'n', 'e', 'w', 0};
             return RegSetValueExA(key, "v", 0, REG_SZ, data, sizeof data);
         },
         [](HKEY key) { EXPECT_EQ(stringData("old"), RegistryTest::query(key, "v").data); }},
        {"RegDeleteValueA",
         [](HKEY key, bool &untouched) {
             untouched = true;
             return RegDeleteValueA(key, "v");
         },
         [](HKEY key) { EXPECT_EQ(stringData("old"), RegistryTest::query(key, "v").data); }},
        {"RegQueryInfoKeyA",
         [](HKEY key, bool &untouched) {
             DWORD subKeys = 77, values = 77;
             LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                            &values, nullptr, nullptr, nullptr, nullptr);
             untouched = subKeys == 77 && values == 77;
             return status;
         },
         [](HKEY) {}},
        {"RegEnumValueA",
         [](HKEY key, bool &untouched) {
             char name[8] = "#######";
             DWORD length = sizeof name, type = 77;
             LONG status = RegEnumValueA(key, 0, name, &length, nullptr, &type, nullptr, nullptr);
             untouched = name[0] == '#' && length == sizeof name && type == 77;
             return status;
         },
         [](HKEY) {}},
        {"RegCloseKey",
         [](HKEY key, bool &untouched) {
             untouched = true;
             HKEY extra = nullptr;
             EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, nullptr, 0, KEY_READ, &extra));
             LONG status = RegCloseKey(extra);
             if (status != ERROR_SUCCESS) {
                 EXPECT_EQ(2u, RegEmuOpenHandleCount()) << "the handle must stay open";
                 EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(extra, "v", nullptr, nullptr, nullptr, nullptr));
                 EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(extra));
             }
             return status;
         },
         [](HKEY) {}},
        {"RegDeleteKeyA",
         [](HKEY key, bool &untouched) {
             untouched = true;
             return RegDeleteKeyA(key, "Sub");
         },
         [](HKEY key) { EXPECT_EQ(ERROR_SUCCESS, RegistryTest::tryOpen(key, "Sub")); }},
        {"RegDeleteTreeA",
         [](HKEY key, bool &untouched) {
             untouched = true;
             return RegDeleteTreeA(key, nullptr);
         },
         [](HKEY key) {
             EXPECT_EQ(ERROR_SUCCESS, RegistryTest::tryOpen(key, "Sub"));
             EXPECT_EQ(stringData("old"), RegistryTest::query(key, "v").data);
         }},
    };
    ASSERT_EQ(std::size(kFunctions), std::size(cases));
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.function);
        rebuild();
        const LONG error = 1000 + static_cast<LONG>(&c - cases);
        ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall(c.function, 0, error));
        bool untouched = false;
        EXPECT_EQ(error, c.call(key_, untouched));
        EXPECT_TRUE(untouched) << "outputs were written by a failed call";
        c.expectUnchanged(key_);
        EXPECT_EQ(ERROR_SUCCESS, c.call(key_, untouched)) << "the failure fires only once";
    }
}

TEST_F(FailNextCallTest, SkipCountsCallsOfThatFunctionWhateverTheirResult) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegQueryValueExA", 3, ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key_, "missing", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "w", 0, REG_NONE, nullptr, 0)) << "other functions do not count";
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, RegQueryValueExA(key_, "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "v", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(FailNextCallTest, SeveralFunctionsCanBeArmedAndRearmingReplaces) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegOpenKeyExA", 0, ERROR_ACCESS_DENIED));
    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegSetValueExA", 5, ERROR_INVALID_HANDLE));
    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegSetValueExA", 1, ERROR_MORE_DATA));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "w", 0, REG_NONE, nullptr, 0));
    EXPECT_EQ(ERROR_ACCESS_DENIED, tryOpen(key_, "Sub"));
    EXPECT_EQ(ERROR_MORE_DATA, RegSetValueExA(key_, "w", 0, REG_NONE, nullptr, 0));
    EXPECT_EQ(ERROR_SUCCESS, tryOpen(key_, "Sub"));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "w", 0, REG_NONE, nullptr, 0));
}

TEST_F(FailNextCallTest, ArmingNeedsAKnownFunctionAndARealError) {
    for (const char *bad : {"RegOpenKeyExW", "regopenkeyexa", "", "RegEmuReset", "RegOpenKey"})
        EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEmuFailNextCall(bad, 0, ERROR_ACCESS_DENIED)) << bad;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEmuFailNextCall(nullptr, 0, ERROR_ACCESS_DENIED));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEmuFailNextCall("RegOpenKeyExA", 0, ERROR_SUCCESS));
    EXPECT_EQ(ERROR_SUCCESS, tryOpen(key_, "Sub")) << "a rejected arming armed something";
}

TEST_F(FailNextCallTest, ResetForgetsArmedFailures) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegCreateKeyExA", 0, ERROR_ACCESS_DENIED));
    key_.reset();
    RegEmuReset();
    KeyHandle key = create(HKEY_CURRENT_USER, "AfterReset");
}

using CallCountTest = RegistryTest;

TEST_F(CallCountTest, EveryCallOfEachFunctionIsCountedFailuresIncluded) {
    KeyHandle key = create(HKEY_CURRENT_USER, "Counted");
    RegEmuReset();  // only the calls below count
    const HKEY bad = nullptr;
    const std::function<void()> failingCalls[] = {
        [&] { HKEY out; RegOpenKeyExA(bad, nullptr, 0, KEY_READ, &out); },
        [&] { RegQueryValueExA(bad, "v", nullptr, nullptr, nullptr, nullptr); },
        [&] { RegSetValueExA(bad, "v", 0, REG_NONE, nullptr, 0); },
        [&] { RegDeleteValueA(bad, "v"); },
        [&] { RegQueryInfoKeyA(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
        [&] { char n[4]; DWORD l = 4; RegEnumValueA(bad, 0, n, &l, nullptr, nullptr, nullptr, nullptr); },
        [&] { RegCloseKey(bad); },
        [&] { HKEY out; RegCreateKeyExA(bad, "x", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); },
        [&] { RegDeleteKeyA(bad, "x"); },
        [&] { RegDeleteTreeA(bad, "x"); },
    };
    for (size_t i = 0; i < std::size(kFunctions); ++i) {
        for (size_t n = 0; n <= i; ++n) failingCalls[i]();
    }
    RegEmuOpenHandleCount();
    RegEmuCallCount("RegOpenKeyExA");
    for (size_t i = 0; i < std::size(kFunctions); ++i)
        EXPECT_EQ(i + 1, RegEmuCallCount(kFunctions[i])) << kFunctions[i];

    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegQueryValueExA", 0, ERROR_ACCESS_DENIED));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, RegEmuCallCount("RegQueryValueExA")) << "an injected failure is a call too";

    EXPECT_EQ(0u, RegEmuCallCount("RegEmuReset"));
    EXPECT_EQ(0u, RegEmuCallCount("regqueryvalueexa"));
    EXPECT_EQ(0u, RegEmuCallCount(nullptr));

    RegEmuReset();
    for (const char *function : kFunctions) {
        EXPECT_EQ(0u, RegEmuCallCount(function)) << function;
    }
}

TEST_F(CallCountTest, CallsFromOtherThreadsCountAndResetZeroesThemToo) {
    auto callOpen = [](int times) {
        for (int i = 0; i < times; ++i) tryOpen(HKEY_CURRENT_USER, "Missing");
    };
    std::thread finished(callOpen, 5);
    finished.join();
    EXPECT_EQ(5u, RegEmuCallCount("RegOpenKeyExA")) << "a finished thread's calls were lost";

    std::promise<void> resetDone, counted;
    std::thread live([&] {
        callOpen(7);
        counted.set_value();
        resetDone.get_future().wait();
        callOpen(2);
    });
    counted.get_future().wait();
    EXPECT_EQ(12u, RegEmuCallCount("RegOpenKeyExA"));
    RegEmuReset();
    EXPECT_EQ(0u, RegEmuCallCount("RegOpenKeyExA"));
    resetDone.set_value();
    live.join();
    EXPECT_EQ(2u, RegEmuCallCount("RegOpenKeyExA"));
    callOpen(1);
    EXPECT_EQ(3u, RegEmuCallCount("RegOpenKeyExA"));
}

void expectKeyDeletedAfterReset(HKEY key) {
    HKEY out = nullptr;
    DWORD size = 0;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(key, "v", 0, REG_NONE, nullptr, 0));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &size, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(key, nullptr, 0, KEY_READ, &out));
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(key, "sub", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr));
}

using HandleCountTest = RegistryTest;

TEST_F(HandleCountTest, CountsOpenHandlesAcrossReset) {
    KeyHandle a = create(HKEY_CURRENT_USER, "A");
    KeyHandle b = open(HKEY_CURRENT_USER, "A");
    EXPECT_EQ(2u, RegEmuOpenHandleCount());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(HKEY_CURRENT_USER, "Missing"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(2u, RegEmuOpenHandleCount()) << "failed opens and roots do not count";

    RegEmuReset();
    EXPECT_EQ(2u, RegEmuOpenHandleCount()) << "reset keeps handles open so leaks stay visible";
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(a, "v", nullptr, nullptr, nullptr, nullptr));
    a.reset();
    EXPECT_EQ(1u, RegEmuOpenHandleCount());
    b.reset();
    EXPECT_EQ(0u, RegEmuOpenHandleCount());
}

using ResetTest = RegistryTest;

TEST_F(ResetTest, HandlesOpenedBeforeAResetReferToDeletedKeysRootsIncluded) {
    KeyHandle onKey = create(HKEY_CURRENT_USER, "Before");
    KeyHandle onRoot = create(HKEY_CURRENT_USER, nullptr);
    RegEmuReset();
    expectKeyDeletedAfterReset(onKey);
    expectKeyDeletedAfterReset(onRoot);
    setString(HKEY_CURRENT_USER, "v", "the root itself lives on");
    KeyHandle afterReset = open(HKEY_CURRENT_USER, "");
    EXPECT_EQ(stringData("the root itself lives on"), query(afterReset, "v").data);
}

TEST_F(ResetTest, EmptiesEveryRootAndForgetsDenials) {
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                          HKEY_USERS, HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG};
    for (HKEY root : roots) {
        create(root, "Some\\Key");
        setString(root, "rootValue", "x");
    }
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Some", KEY_READ));
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, nullptr, KEY_READ));
    RegEmuReset();
    for (HKEY root : roots) {
        KeyInfo emptied = info(root);
        EXPECT_EQ(ERROR_SUCCESS, emptied.status);
        EXPECT_EQ(0u, emptied.subKeys);
        EXPECT_EQ(0u, emptied.values);
    }
    create(HKEY_CURRENT_USER, "Some");
    EXPECT_EQ(ERROR_SUCCESS, tryOpen(HKEY_CURRENT_USER, "Some", KEY_READ));
    EXPECT_EQ(ERROR_SUCCESS, tryOpen(HKEY_CURRENT_USER, nullptr, KEY_READ));
}

class DenyAccessTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        create(HKEY_CURRENT_USER, "Locked\\Below");
    }

    // What opening Locked asks for through both functions that open.
    static LONG openBothWays(REGSAM access) {
        LONG viaOpen = tryOpen(HKEY_CURRENT_USER, "locked", access);
        HKEY key = nullptr;
        LONG viaCreate = RegCreateKeyExA(HKEY_CURRENT_USER, "LOCKED", 0, nullptr, 0, access, nullptr,
                                         &key, nullptr);
        if (viaCreate == ERROR_SUCCESS) RegCloseKey(key);
        EXPECT_EQ(viaOpen, viaCreate) << "RegOpenKeyExA and RegCreateKeyExA disagree";
        return viaOpen;
    }
};

TEST_F(DenyAccessTest, DeniesOpensAskingForAnyDeniedRight) {
    constexpr LONG ok = ERROR_SUCCESS, denied = ERROR_ACCESS_DENIED;
    struct Case {
        const char *what;
        REGSAM deny;
        REGSAM ask;
        LONG expected;
    };
    const Case cases[] = {
        {"set denied, read asked", KEY_SET_VALUE, KEY_READ, ok},
        {"set denied, write asked", KEY_SET_VALUE, KEY_WRITE, denied},
        {"set denied, all asked", KEY_SET_VALUE, KEY_ALL_ACCESS, denied},
        {"set denied, nothing asked", KEY_SET_VALUE, 0, ok},
        {"write denied, read asked (READ_CONTROL is never denied)", KEY_WRITE, KEY_READ, ok},
        {"write denied, write asked", KEY_WRITE, KEY_WRITE, denied},
        {"write denied, create-subkey asked", KEY_WRITE, KEY_CREATE_SUB_KEY, denied},
        {"write denied, READ_CONTROL asked", KEY_WRITE, READ_CONTROL, ok},
        {"read denied, write asked", KEY_READ, KEY_WRITE, ok},
        {"read denied, read asked", KEY_READ, KEY_READ, denied},
        {"read denied, query asked", KEY_READ, KEY_QUERY_VALUE, denied},
        {"read denied, generic read asked", KEY_READ, GENERIC_READ, denied},
        {"generic write denied, set asked", GENERIC_WRITE, KEY_SET_VALUE, denied},
        {"generic write denied, read asked", GENERIC_WRITE, KEY_READ, ok},
        {"all denied, read asked", KEY_ALL_ACCESS, KEY_READ, denied},
        {"all denied, nothing asked", KEY_ALL_ACCESS, 0, ok},
    };
    for (const Case &c : cases) {
        RegEmuReset();
        create(HKEY_CURRENT_USER, "Locked\\Below");
        ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Locked", c.deny)) << c.what;
        EXPECT_EQ(c.expected, openBothWays(c.ask)) << c.what;
        EXPECT_EQ(ERROR_SUCCESS, tryOpen(HKEY_CURRENT_USER, "Locked\\Below", KEY_ALL_ACCESS))
            << c.what << ": a denial reached a subkey";
    }
}

TEST_F(DenyAccessTest, MaximumAllowedGetsWhatIsNotDenied) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Locked", KEY_SET_VALUE));
    KeyHandle key = open(HKEY_CURRENT_USER, "Locked", MAXIMUM_ALLOWED);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "v", 0, REG_NONE, nullptr, 0));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(DenyAccessTest, DenialsAccumulateAndSpareHandlesAlreadyOpen) {
    KeyHandle before = open(HKEY_CURRENT_USER, "Locked", KEY_ALL_ACCESS);
    KeyHandle viaHandle = open(HKEY_CURRENT_USER, "Locked", KEY_READ);
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(viaHandle, nullptr, KEY_SET_VALUE));
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(viaHandle, "", KEY_QUERY_VALUE));
    EXPECT_EQ(ERROR_ACCESS_DENIED, openBothWays(KEY_SET_VALUE));
    EXPECT_EQ(ERROR_ACCESS_DENIED, openBothWays(KEY_QUERY_VALUE));
    EXPECT_EQ(ERROR_SUCCESS, openBothWays(KEY_ENUMERATE_SUB_KEYS));
    setString(before, "v", "still writable");
    EXPECT_EQ(stringData("still writable"), query(before, "v").data);
}

TEST_F(DenyAccessTest, DeniedCreateSubkeyAndDeleteProtectTheKey) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Locked", KEY_CREATE_SUB_KEY | DELETE));
    HKEY out = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_CURRENT_USER, "Locked\\New\\Deeper", 0, nullptr,
                                                   0, KEY_READ, nullptr, &out, nullptr));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Locked\\New"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Locked\\Below"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "Locked"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteTreeA(HKEY_CURRENT_USER, "Locked"));
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, "Locked"));
}

TEST_F(DenyAccessTest, ADeletedKeyTakesItsDenialsWithIt) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, "Locked", KEY_READ));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Locked"));
    create(HKEY_CURRENT_USER, "Locked");
    EXPECT_EQ(ERROR_SUCCESS, openBothWays(KEY_READ));
}

TEST_F(DenyAccessTest, NeedsAnExistingKey) {
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegEmuDenyAccess(HKEY_CURRENT_USER, "Missing", KEY_READ));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegEmuDenyAccess(HKEY_LOCAL_MACHINE, "Locked", KEY_READ));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegEmuDenyAccess(HKEY_CURRENT_USER, "\\Locked", KEY_READ));
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, "Missing"));
}

}  // namespace
}  // namespace regemu_test
