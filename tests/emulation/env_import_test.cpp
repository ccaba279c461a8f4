// The file named by REGEMU_IMPORT is imported when the emulation is first used. Each test
// runs in its own process with its own REGEMU_IMPORT (see CMakeLists.txt) and must be the
// first to touch the emulation there.
#include "registry_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace regemu_test {
namespace {

const char *const kFunctions[] = {
    "RegOpenKeyExA",   "RegQueryValueExA", "RegSetValueExA", "RegDeleteValueA", "RegQueryInfoKeyA",
    "RegEnumValueA",   "RegCloseKey",      "RegCreateKeyExA", "RegDeleteKeyA",  "RegDeleteTreeA",
};

const char *importPath() { return std::getenv("REGEMU_IMPORT"); }

// Runs `firstUse` with stderr going to a file and returns what it wrote there.
template <class F>
std::string captureStderr(F firstUse) {
    const std::string path = ::testing::TempDir() + "regemu_stderr_" + std::to_string(getpid());
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(file, 0);
    dup2(file, 2);
    close(file);
    firstUse();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path.c_str());
    return text.str();
}

ReadResult valueAt(HKEY root, const char *path, const char *name) {
    ReadResult result;
    HKEY key = nullptr;
    result.status = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
    if (result.status != ERROR_SUCCESS) return result;
    DWORD size = 0;
    result.status = RegQueryValueExA(key, name, nullptr, &result.type, nullptr, &size);
    result.data.resize(size);
    if (result.status == ERROR_SUCCESS)
        result.status = RegQueryValueExA(key, name, nullptr, &result.type, result.data.data(), &size);
    RegCloseKey(key);
    return result;
}

TEST(EnvImportSeeded, TheFileIsImportedAtFirstUseWithoutCountingCalls) {
    if (!importPath()) GTEST_SKIP() << "run through ctest, which sets REGEMU_IMPORT";
    const std::string printed = captureStderr([] {
        for (const char *function : kFunctions)
            EXPECT_EQ(0u, RegEmuCallCount(function)) << "the import counted as " << function;
    });
    EXPECT_EQ("", printed) << "a good import prints nothing";
    EXPECT_EQ(0u, RegEmuOpenHandleCount());

    ReadResult greeting = valueAt(HKEY_CURRENT_USER, "Software\\Seeded", "Greeting");
    EXPECT_EQ(ERROR_SUCCESS, greeting.status);
    EXPECT_EQ(REG_SZ, greeting.type);
    EXPECT_EQ(stringData("hello"), greeting.data);
    EXPECT_EQ((Bytes{0x2A, 0, 0, 0}), valueAt(HKEY_CURRENT_USER, "Software\\Seeded", "Count").data);
    EXPECT_EQ((Bytes{0xDE, 0xAD, 0xBE, 0xEF}), valueAt(HKEY_LOCAL_MACHINE, "Software\\Seeded\\Inner", nullptr).data);
    EXPECT_EQ(0u, RegEmuOpenHandleCount());

    RegEmuReset();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, valueAt(HKEY_CURRENT_USER, "Software\\Seeded", "Greeting").status)
        << "reset imported the file again";
}

// With a malformed or missing file: one line on stderr naming the file, and an empty,
// working registry.
void expectReportedAndEmpty(const std::string &mustMention) {
    const std::string printed = captureStderr([] { RegEmuOpenHandleCount(); });
    EXPECT_EQ(1, std::count(printed.begin(), printed.end(), '\n')) << printed;
    EXPECT_NE(std::string::npos, printed.find(importPath())) << printed;
    EXPECT_NE(std::string::npos, printed.find(mustMention)) << printed;

    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Seeded", 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Works", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(1u, RegEmuCallCount("RegCreateKeyExA"));
}

TEST(EnvImportMalformed, TheBadLineIsReportedAndTheRegistryStartsEmpty) {
    if (!importPath()) GTEST_SKIP() << "run through ctest, which sets REGEMU_IMPORT";
    expectReportedAndEmpty("line 5: ");
}

TEST(EnvImportMissing, TheMissingFileIsReportedAndTheRegistryStartsEmpty) {
    if (!importPath()) GTEST_SKIP() << "run through ctest, which sets REGEMU_IMPORT";
    expectReportedAndEmpty("cannot open");
}

}  // namespace
}  // namespace regemu_test
