// getValue and setValue, one test per row of the shared case table.
#include <ostream>

#include "case_table.h"
#include "harness.h"
#include "modified_utf8.h"

namespace harness {

// For GoogleTest's messages: the row, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.id << " (line " << c.line << ")"; }

namespace {

std::vector<Case> tableCases() {
    std::string path = casesPath();
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') path = "Z:" + path;  // Wine's view of the host
#endif
    return readCaseTable(path);
}

std::string hookText(const Hook& h) {
    switch (h.kind) {
        case Hook::Kind::None: return "-";
        case Hook::Kind::DenyRead: return "deny:read";
        case Hook::Kind::DenyWrite: return "deny:write";
        case Hook::Kind::Fail:
            return "fail:" + h.function + ":" + std::to_string(h.skip) + ":" + std::to_string(h.error);
    }
    return "?";
}

class ValueCase : public ::testing::TestWithParam<Case> {};

TEST_P(ValueCase, MatchesTable) {
    const Case& c = GetParam();
    ASSERT_TRUE(c.problem.empty()) << c.problem;
    if (c.hook.kind != Hook::Kind::None && !reg::hooksAvailable()) {
        GTEST_SKIP() << "hook " << hookText(c.hook)
                     << " needs the emulated registry's failure and access controls, which the "
                        "real registry does not have";
    }
    CVSREG_REQUIRE_LIBRARY(lib);

    TestKey key(c.testName, c.keyPresent);
    ASSERT_EQ(key.createError(), 0) << "cannot create the case's key " << key.path();
    const std::string name = registryName(c.name);
    const std::string* namePtr = c.nullName ? nullptr : &name;
    if (c.stored) {
        ASSERT_EQ(reg::setValue(key.path(), namePtr, c.stored->type, c.stored->data), 0);
    }

    JniWorld world;
    jobject self = newKeyObject(world, reg::kCurrentUserRoot, key.path());
    jstring jname = c.nullName ? nullptr : world.makeString(c.name);
    jobject input = c.isSet ? world.make(c.input) : nullptr;

    // Opened before the hook, so a denial meant for the library does not hide the outcome.
    reg::Handle inspector = 0;
    if (c.keyPresent) {
        ASSERT_EQ(reg::openKey(key.path(), &inspector), 0);
    }
    auto storedNow = [&] {
        return c.keyPresent ? reg::queryValueAt(inspector, namePtr) : reg::queryValue(key.path(), namePtr);
    };

    if (c.hook.kind == Hook::Kind::Fail) {
        ASSERT_EQ(reg::failNextCall(c.hook.function, c.hook.skip, c.hook.error), 0)
            << "the emulation does not know " << c.hook.function;
    } else if (c.hook.kind != Hook::Kind::None) {
        ASSERT_EQ(reg::denyAccess(key.path(), c.hook.kind == Hook::Kind::DenyWrite), 0);
    }
    const auto handlesBefore = reg::openHandleCount();

    jobject result = nullptr;
    if (c.isSet) {
        world.call([&](JNIEnv* env) { lib->setValue(env, self, jname, input); });
    } else {
        result = world.call([&](JNIEnv* env) { return lib->getValue(env, self, jname); });
    }
    const std::optional<Thrown> thrown = world.takeException();

    EXPECT_TRUE(world.violations().empty()) << "JNI discipline broken:" << world.violationReport();
    if (handlesBefore) {
        EXPECT_EQ(*reg::openHandleCount(), *handlesBefore) << "key handles left open";
    }
    const std::optional<StoredValue> after = storedNow();
    if (c.keyPresent) reg::closeKey(inspector);
    if (c.isSet) {
        EXPECT_EQ(world.valueOf(input), c.input) << "setValue changed its argument";
    }

    const Expectation& e = c.expect;
    switch (e.kind) {
        case Expectation::Kind::Throws:
            ASSERT_TRUE(thrown.has_value())
                << "expected " << e.exceptionClass << ", but "
                << (c.isSet ? "setValue returned" : "getValue returned " + describe(world.valueOf(result)));
            EXPECT_EQ(thrown->simpleName(), e.exceptionClass) << thrown->describe();
            ASSERT_TRUE(thrown->message.has_value()) << thrown->describe();
            EXPECT_EQ(printable(*thrown->message), printable(e.message));
            if (c.isSet) {
                EXPECT_EQ(describe(after), describe(c.stored))
                    << "a failed setValue changed the stored value";
            }
            break;
        case Expectation::Kind::Value:
            ASSERT_FALSE(thrown.has_value()) << "threw " << thrown->describe();
            EXPECT_EQ(describe(world.valueOf(result)), describe(e.value))
                << "returned an object of class " << world.className(result);
            EXPECT_EQ(world.valueOf(result), e.value);
            break;
        case Expectation::Kind::Stored:
            ASSERT_FALSE(thrown.has_value()) << "threw " << thrown->describe();
            EXPECT_EQ(describe(after), describe(e.stored));
            break;
        case Expectation::Kind::Absent:
            ASSERT_FALSE(thrown.has_value()) << "threw " << thrown->describe();
            EXPECT_EQ(describe(after), "absent");
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ValueCase, ::testing::ValuesIn(tableCases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.testName; });

}  // namespace

}  // namespace harness
