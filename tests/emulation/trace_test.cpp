// The call trace: one whole line per registry call.
#include "registry_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace regemu_test {
namespace {

std::vector<std::string> linesOf(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The line without its "thread N " start, which differs from run to run.
std::string withoutThread(const std::string &line) {
    static const std::regex thread("^thread [0-9]+ ");
    return std::regex_replace(line, thread, "");
}

class TraceTest : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        path_ = ::testing::TempDir() + "regemu_trace_" + std::to_string(getpid()) + ".log";
        std::remove(path_.c_str());
    }
    void TearDown() override {
        RegEmuTraceTo(nullptr);
        std::remove(path_.c_str());
        RegistryTest::TearDown();
    }
    std::string path_;
};

TEST_F(TraceTest, WritesOneLinePerCallWithKeyPathNamesAccessAndResult) {
    const char *const settings = "Software\\Torvane\\Plexide\\CVS\\Settings";
    ASSERT_EQ(ERROR_SUCCESS, RegEmuTraceTo(path_.c_str()));
    {
        KeyHandle created = create(HKEY_CURRENT_USER, settings);
        set(created, "CompressionLevel", REG_DWORD, Bytes{3, 0, 0, 0});
    }
    KeyHandle cvs = open(HKEY_CURRENT_USER, "Software\\Torvane\\Plexide\\CVS", KEY_READ);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(cvs, "Setings"));
    {
        KeyHandle key = open(cvs, "Settings", KEY_QUERY_VALUE | KEY_SET_VALUE);
        DWORD type = 0, size = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "CompressionLevel", nullptr, &type, nullptr, &size));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, nullptr));
        char name[64];
        DWORD length = sizeof name;
        EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &length, nullptr, &type, nullptr, &size));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "CompressionLevel"));
        setString(key, nullptr, "default");
        EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(ERROR_SUCCESS, RegEmuDenyAccess(HKEY_CURRENT_USER, settings, KEY_SET_VALUE));
    EXPECT_EQ(ERROR_ACCESS_DENIED, tryOpen(cvs, "Settings", KEY_WRITE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(handleFromValue(0x7ffc), "v", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(cvs, "Settings"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Torvane"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(cvs, "v", nullptr, nullptr, nullptr, nullptr));
    cvs.reset();
    ASSERT_EQ(ERROR_SUCCESS, RegEmuTraceTo(nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(HKEY_CURRENT_USER, "Software\\Torvane"));  // not traced

    const std::string full = "HKEY_CURRENT_USER\\Software\\Torvane\\Plexide\\CVS\\Settings";
    const std::string parent = "HKEY_CURRENT_USER\\Software\\Torvane\\Plexide\\CVS";
    const std::vector<std::string> expected = {
        "RegCreateKeyExA key=HKEY_CURRENT_USER subkey=\"Software\\Torvane\\Plexide\\CVS\\Settings\" "
        "access=KEY_ALL_ACCESS -> ERROR_SUCCESS",
        "RegSetValueExA key=" + full + " value=\"CompressionLevel\" type=REG_DWORD size=4 -> ERROR_SUCCESS",
        "RegCloseKey key=" + full + " -> ERROR_SUCCESS",
        "RegOpenKeyExA key=HKEY_CURRENT_USER subkey=\"Software\\Torvane\\Plexide\\CVS\" access=KEY_READ "
        "-> ERROR_SUCCESS",
        "RegOpenKeyExA key=" + parent + " subkey=\"Setings\" access=KEY_READ -> ERROR_FILE_NOT_FOUND",
        "RegOpenKeyExA key=" + parent + " subkey=\"Settings\" access=KEY_QUERY_VALUE|KEY_SET_VALUE -> ERROR_SUCCESS",
        "RegQueryValueExA key=" + full + " value=\"CompressionLevel\" -> ERROR_SUCCESS type=REG_DWORD size=4",
        "RegQueryValueExA key=" + full + " value=\"Missing\" -> ERROR_FILE_NOT_FOUND",
        "RegEnumValueA key=" + full + " index=0 -> ERROR_SUCCESS value=\"CompressionLevel\" type=REG_DWORD size=4",
        "RegDeleteValueA key=" + full + " value=\"CompressionLevel\" -> ERROR_SUCCESS",
        "RegSetValueExA key=" + full + " value=NULL type=REG_SZ size=8 -> ERROR_SUCCESS",
        "RegQueryInfoKeyA key=" + full + " -> ERROR_SUCCESS",
        "RegCloseKey key=" + full + " -> ERROR_SUCCESS",
        "RegOpenKeyExA key=" + parent + " subkey=\"Settings\" access=KEY_WRITE -> ERROR_ACCESS_DENIED",
        "RegQueryValueExA key=<invalid handle 0x7ffc> value=\"v\" -> ERROR_INVALID_HANDLE",
        "RegDeleteKeyA key=" + parent + " subkey=\"Settings\" -> ERROR_SUCCESS",
        "RegDeleteTreeA key=HKEY_CURRENT_USER subkey=\"Software\\Torvane\" -> ERROR_SUCCESS",
        "RegQueryValueExA key=<deleted key> value=\"v\" -> ERROR_KEY_DELETED",
        "RegCloseKey key=<deleted key> -> ERROR_SUCCESS",
    };
    const std::vector<std::string> lines = linesOf(path_);
    std::vector<std::string> actual;
    for (const std::string &line : lines) {
        EXPECT_TRUE(std::regex_search(line, std::regex("^thread [0-9]+ Reg"))) << line;
        actual.push_back(withoutThread(line));
    }
    EXPECT_EQ(expected, actual);
}

TEST_F(TraceTest, LinesFromManyThreadsNeverMix) {
    ASSERT_EQ(ERROR_SUCCESS, RegEmuTraceTo(path_.c_str()));
    constexpr int kThreads = 8, kCalls = 300;
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                // Long names make long lines, which a torn write would show.
                const std::string name = "thread" + std::to_string(t) + std::string(3000, static_cast<char>('a' + t));
                for (int i = 0; i < kCalls; ++i)
                    RegQueryValueExA(HKEY_CURRENT_USER, name.c_str(), nullptr, nullptr, nullptr, nullptr);
            });
        }
        for (std::thread &thread : threads) thread.join();
    }
    ASSERT_EQ(ERROR_SUCCESS, RegEmuTraceTo(nullptr));
    const std::vector<std::string> lines = linesOf(path_);
    EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), lines.size());
    const std::regex whole("^thread [0-9]+ RegQueryValueExA key=HKEY_CURRENT_USER value=\"thread([0-7])([a-h]{3000})\" "
                           "-> ERROR_FILE_NOT_FOUND$");
    for (const std::string &line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 200);
        const char letter = static_cast<char>('a' + (match[1].str()[0] - '0'));
        EXPECT_EQ(std::string(3000, letter), match[2].str());
    }
}

TEST_F(TraceTest, AFileThatCannotBeOpenedLeavesTheTraceAsItWas) {
    const std::string noFolder = ::testing::TempDir() + "regemu_no_such_folder/trace.log";
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RegEmuTraceTo(noFolder.c_str()));
    ASSERT_EQ(ERROR_SUCCESS, RegEmuTraceTo(path_.c_str()));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RegEmuTraceTo(noFolder.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, tryOpen(HKEY_CURRENT_USER, "Nowhere"));
    ASSERT_EQ(ERROR_SUCCESS, RegEmuTraceTo(nullptr));
    ASSERT_EQ(1u, linesOf(path_).size());
    EXPECT_EQ("RegOpenKeyExA key=HKEY_CURRENT_USER subkey=\"Nowhere\" access=KEY_READ -> ERROR_FILE_NOT_FOUND",
              withoutThread(linesOf(path_)[0]));
}

// REGEMU_TRACE: the test binary runs itself again, with the variable set or not, and then,
// before any test, makes one call and exits.
const char kChildFlag[] = "REGEMU_TRACE_TEST_CHILD";

struct TraceChild {
    TraceChild() {
        if (!std::getenv(kChildFlag)) return;
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Missing", 0, KEY_READ, &key);
        std::exit(0);
    }
} traceChild;

std::string childStandardError(const std::string &environment) {
    const std::string command = "env -u REGEMU_TRACE " + environment + " " + kChildFlag + "=1 /proc/" +
                                std::to_string(getpid()) + "/exe 2>&1 >/dev/null";
    FILE *child = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    size_t got;
    while (child && (got = fread(buffer, 1, sizeof buffer, child)) > 0) output.append(buffer, got);
    if (child) pclose(child);
    return output;
}

TEST(TraceFromEnvironment, IsOffUnlessAskedForAndGoesToStandardErrorWithDash) {
    EXPECT_EQ("", childStandardError(""));
    EXPECT_EQ("RegOpenKeyExA key=HKEY_LOCAL_MACHINE subkey=\"Software\\Missing\" access=KEY_READ -> "
              "ERROR_FILE_NOT_FOUND\n",
              withoutThread(childStandardError("REGEMU_TRACE=-")));
}

}  // namespace
}  // namespace regemu_test
