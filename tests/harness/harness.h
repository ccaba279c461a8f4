// Shared pieces of the harness's tests: a fresh key per test and the Java objects that name it.
#ifndef CVSREG_HARNESS_HARNESS_H
#define CVSREG_HARNESS_HARNESS_H

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "jni_world.h"
#include "native_library.h"
#include "registry_fixture.h"

namespace harness {

// The case table to read (--cases=PATH or the built-in path).
std::string& casesPath();

// A key of its own for one test, below the run's root; deleted with all it holds afterwards.
class TestKey {
public:
    // `create`: whether the key exists at first (a missing key's parent still exists).
    TestKey(const std::string& name, bool create);
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::string& path() const { return path_; }
    // The key's name below its parent, for tests that open the parent as root.
    const std::string& name() const { return name_; }
    std::string parent() const { return reg::testRoot(); }
    long createError() const { return createError_; }

private:
    std::string name_;
    std::string path_;
    long createError_ = 0;
};

// Java-side objects, as the constructors of the host classes leave them.
jobject newKeyObject(JniWorld& world, std::int32_t root, const std::optional<std::string>& path);
jobject newIterator(JniWorld& world, std::int32_t root, const std::optional<std::string>& path);

// Text in the library's terms: the registry's ANSI names are the modified UTF-8 bytes the
// library hands over.
std::string registryName(const std::u16string& name);

// Whether the registry's key handle values fit a Java int, as the library relies on.
bool fitsJavaInt(reg::Handle h);

}  // namespace harness

// The entry points, or the test fails naming why they are missing.
#define CVSREG_REQUIRE_LIBRARY(lib)                                                 \
    const ::harness::EntryPoints* lib = ::harness::library();                      \
    ASSERT_NE(lib, nullptr) << "library not loaded: " << ::harness::libraryProblem()

#endif
