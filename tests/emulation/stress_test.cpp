// Many threads on the registry at once. Also built with ThreadSanitizer.
#include "registry_fixture.h"

#include <atomic>
#include <set>
#include <string>
#include <thread>

#ifndef REGEMU_STRESS_ROUNDS
#define REGEMU_STRESS_ROUNDS 2000
#endif

namespace regemu_test {
namespace {

constexpr int kRounds = REGEMU_STRESS_ROUNDS;

// Writer w writes this pattern: its own type, length and fill byte, so a read that mixes
// two writes cannot pass for either.
struct Pattern {
    DWORD type;
    size_t length;
    BYTE fill;
};
const Pattern kPatterns[] = {
    {100, 1, 0x11}, {101, 100, 0x22}, {102, 1000, 0x33}, {103, 5000, 0x44},
};

bool isWhole(DWORD type, const BYTE *data, DWORD size) {
    for (const Pattern &p : kPatterns) {
        if (p.type != type) continue;
        if (size != p.length) return false;
        for (DWORD i = 0; i < size; ++i)
            if (data[i] != p.fill) return false;
        return true;
    }
    return false;
}

void runAll(std::vector<std::thread> &threads) {
    for (std::thread &t : threads) t.join();
}

using StressTest = RegistryTest;

TEST_F(StressTest, ReadersSeeWholeValuesWhileOthersWriteAndDelete) {
    // v0 and v1 come and go; V2 is always there, so reads of it always find a value.
    const char *const names[] = {"v0", "v1", "V2"};
    KeyHandle shared = create(HKEY_CURRENT_USER, "Stress\\Values");
    for (const char *name : names) set(shared, name, kPatterns[0].type, Bytes(kPatterns[0].length, kPatterns[0].fill));
    std::atomic<int> torn{0}, unexpected{0}, wholeReads{0}, writersLeft{static_cast<int>(std::size(kPatterns))};
    std::atomic<bool> go{false};
    auto waitForGo = [&] {
        while (!go.load()) std::this_thread::yield();
    };
    std::vector<std::thread> threads;

    for (size_t w = 0; w < std::size(kPatterns); ++w) {
        threads.emplace_back([&, w] {
            KeyHandle own = open(HKEY_CURRENT_USER, "Stress\\Values", KEY_WRITE);
            const Pattern &p = kPatterns[w];
            const Bytes data(p.length, p.fill);
            waitForGo();
            for (int i = 0; i < kRounds; ++i) {
                HKEY key = i % 2 ? own.get() : shared.get();
                if (RegSetValueExA(key, names[i % 3], 0, p.type, data.data(), static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
                    ++unexpected;
            }
            --writersLeft;
        });
    }
    threads.emplace_back([&] {
        KeyHandle own = open(HKEY_CURRENT_USER, "stress\\values", KEY_SET_VALUE);
        waitForGo();
        for (int i = 0; i < kRounds; ++i) {
            LONG status = RegDeleteValueA(own, names[i % 2]);
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) ++unexpected;
        }
    });
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&, r] {
            KeyHandle own = open(HKEY_CURRENT_USER, "Stress\\Values", KEY_READ);
            std::vector<BYTE> buffer(8192);
            waitForGo();
            for (int i = 0; i < kRounds || writersLeft.load() > 0; ++i) {
                DWORD type = 0, size = static_cast<DWORD>(buffer.size());
                LONG status;
                if (r == 0) {
                    char name[8];
                    DWORD length = sizeof name;
                    status = RegEnumValueA(own, static_cast<DWORD>(i % 3), name, &length, nullptr, &type,
                                           buffer.data(), &size);
                    if (status == ERROR_NO_MORE_ITEMS) continue;
                } else {
                    status = RegQueryValueExA(i % 2 ? own.get() : shared.get(), names[i % 3], nullptr,
                                              &type, buffer.data(), &size);
                    if (status == ERROR_FILE_NOT_FOUND) continue;
                }
                if (status != ERROR_SUCCESS) {
                    ++unexpected;
                } else if (isWhole(type, buffer.data(), size)) {
                    ++wholeReads;
                } else {
                    ++torn;
                }
            }
        });
    }
    go = true;
    runAll(threads);
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(0, unexpected.load());
    EXPECT_GT(wholeReads.load(), 0) << "no read found a value: the test exercised nothing";
}

TEST_F(StressTest, KeysComeAndGoWhileOthersOpenThem) {
    constexpr int kKeys = 4;
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < kRounds / 4; ++i) {
                const std::string path = "Churn\\K" + std::to_string((i + c) % kKeys) + "\\Sub";
                HKEY key = nullptr;
                if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) == ERROR_SUCCESS) {
                    const BYTE b = static_cast<BYTE>(i);
                    LONG status = RegSetValueExA(key, "v", 0, REG_BINARY, &b, 1);
                    if (status != ERROR_SUCCESS && status != ERROR_KEY_DELETED) ++unexpected;
                    if (RegCloseKey(key) != ERROR_SUCCESS) ++unexpected;
                } else {
                    ++unexpected;
                }
                LONG status = (i % 2) ? RegDeleteTreeA(HKEY_CURRENT_USER, ("Churn\\K" + std::to_string(i % kKeys)).c_str())
                                      : RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
                if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) ++unexpected;
            }
        });
    }
    for (int o = 0; o < 3; ++o) {
        threads.emplace_back([&, o] {
            for (int i = 0; i < kRounds / 2; ++i) {
                const std::string parent = "Churn\\K" + std::to_string((i + o) % kKeys);
                HKEY key = nullptr;
                LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_READ, &key);
                if (status == ERROR_FILE_NOT_FOUND) continue;
                if (status != ERROR_SUCCESS) {
                    ++unexpected;
                    continue;
                }
                HKEY sub = nullptr;
                status = RegOpenKeyExA(key, "Sub", 0, KEY_READ, &sub);
                if (status == ERROR_SUCCESS) {
                    DWORD size = 0, values = 0;
                    status = RegQueryValueExA(sub, "v", nullptr, nullptr, nullptr, &size);
                    if (status == ERROR_SUCCESS && size != 1) ++unexpected;
                    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && status != ERROR_KEY_DELETED)
                        ++unexpected;
                    status = RegQueryInfoKeyA(sub, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr);
                    if (status != ERROR_SUCCESS && status != ERROR_KEY_DELETED) ++unexpected;
                    if (RegCloseKey(sub) != ERROR_SUCCESS) ++unexpected;
                } else if (status != ERROR_FILE_NOT_FOUND && status != ERROR_KEY_DELETED) {
                    ++unexpected;
                }
                if (RegCloseKey(key) != ERROR_SUCCESS) ++unexpected;
            }
        });
    }
    runAll(threads);
    EXPECT_EQ(0, unexpected.load());
    EXPECT_EQ(0u, RegEmuOpenHandleCount());
}

TEST_F(StressTest, HandlesStayDistinctAcrossThreads) {
    constexpr int kThreads = 4;
    const int perThread = kRounds / 4;
    { KeyHandle key = create(HKEY_CURRENT_USER, "Handles"); }
    std::vector<std::vector<HKEY>> opened(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                HKEY key = nullptr;
                if (RegOpenKeyExA(HKEY_CURRENT_USER, "Handles", 0, KEY_READ, &key) == ERROR_SUCCESS)
                    opened[t].push_back(key);
                // Closing some keeps reuse in play while others stay open.
                if (i % 3 == 2) {
                    RegCloseKey(opened[t].back());
                    opened[t].pop_back();
                }
            }
        });
    }
    runAll(threads);
    std::set<HKEY> all;
    size_t total = 0;
    for (const auto &list : opened) {
        total += list.size();
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(total, all.size()) << "two open keys shared a handle value";
    EXPECT_EQ(total, RegEmuOpenHandleCount());
    for (HKEY key : all) {
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    }
}

// Calls on a handle while another thread closes it: each call sees the key whole or an
// invalid handle. The key is deleted first, so the handle holds the last reference to it.
TEST_F(StressTest, CallsRaceTheCloseOfTheirHandle) {
    constexpr int kReaders = 3;
    std::atomic<HKEY> shared{nullptr};
    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds / 10; ++i) {
            const std::string name = "Closing" + std::to_string(i % 7);
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr) != ERROR_SUCCESS) {
                ++unexpected;
                continue;
            }
            const BYTE data[4] = {1, 2, 3, 4};
            if (RegSetValueExA(key, "v", 0, REG_BINARY, data, sizeof data) != ERROR_SUCCESS) ++unexpected;
            shared.store(key);
            if (i % 2 == 0 && RegDeleteKeyA(HKEY_CURRENT_USER, name.c_str()) != ERROR_SUCCESS)
                ++unexpected;
            std::this_thread::yield();
            if (RegCloseKey(key) != ERROR_SUCCESS) ++unexpected;
        }
        done.store(true);
    });
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            while (!done.load()) {
                HKEY key = shared.load();
                BYTE data[4] = {};
                DWORD type = 0, size = sizeof data;
                LONG status = RegQueryValueExA(key, "v", nullptr, &type, data, &size);
                if (status == ERROR_SUCCESS && (type != REG_BINARY || size != 4 || data[3] != 4))
                    ++unexpected;
                else if (status != ERROR_SUCCESS && status != ERROR_INVALID_HANDLE &&
                         status != ERROR_KEY_DELETED && status != ERROR_FILE_NOT_FOUND)
                    ++unexpected;
                HKEY again = nullptr;
                status = RegOpenKeyExA(key, nullptr, 0, KEY_READ, &again);
                if (status == ERROR_SUCCESS) {
                    if (RegCloseKey(again) != ERROR_SUCCESS) ++unexpected;
                } else if (status != ERROR_INVALID_HANDLE && status != ERROR_KEY_DELETED) {
                    ++unexpected;
                }
            }
        });
    }
    runAll(threads);
    EXPECT_EQ(0, unexpected.load());
}

TEST_F(StressTest, CountsAndArmedFailuresHoldAcrossThreads) {
    constexpr int kThreads = 4;
    const int perThread = kRounds / 4;
    KeyHandle key = create(HKEY_CURRENT_USER, "Counted");
    setString(key, "v", "x");
    ASSERT_EQ(ERROR_SUCCESS, RegEmuFailNextCall("RegQueryValueExA", perThread, 4321));
    std::atomic<int> injected{0}, unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                LONG status = RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr);
                if (status == 4321) {
                    ++injected;
                } else if (status != ERROR_SUCCESS) {
                    ++unexpected;
                }
            }
        });
    }
    runAll(threads);
    EXPECT_EQ(1, injected.load()) << "an armed failure fires exactly once";
    EXPECT_EQ(0, unexpected.load());
    EXPECT_EQ(static_cast<DWORD>(kThreads * perThread), RegEmuCallCount("RegQueryValueExA"));
}

}  // namespace
}  // namespace regemu_test
