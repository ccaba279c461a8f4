// Key handles through Java ints: a predefined root arrives as a negative int and must be
// sign-extended to the pointer width; an open key's handle value must work as a root too.
#include "harness.h"

namespace harness {
namespace {

const std::vector<std::uint8_t> kFortyTwo = {42, 0, 0, 0};
constexpr std::uint32_t kRegDword = 4;

TEST(RootHandleTest, PredefinedRootIsTheSignExtendedInt) {
    // What the library has to reproduce from m_root at this pointer width.
    EXPECT_EQ(reg::currentUserHandle(), static_cast<reg::Handle>(reg::kCurrentUserRoot));
    CVSREG_REQUIRE_LIBRARY(lib);
    TestKey key("PredefinedRoot", true);
    ASSERT_EQ(reg::setValue(key.path(), nullptr, kRegDword, kFortyTwo), 0);

    JniWorld world;
    jobject self = newKeyObject(world, reg::kCurrentUserRoot, key.path());
    jobject result = world.call([&](JNIEnv* env) { return lib->getValue(env, self, nullptr); });
    auto thrown = world.takeException();
    EXPECT_TRUE(world.violations().empty()) << world.violationReport();
    ASSERT_FALSE(thrown.has_value()) << thrown->describe();
    EXPECT_EQ(world.valueOf(result), JavaValue::integer(42));
}

// How a test names the key: through the root alone, or the root and a path below it.
struct RootForm {
    const char* name;
    bool parentAsRoot;  // root: the open parent, path: the key's name; else root: the key itself
    std::optional<std::string> path;  // used when the key itself is the root
};

const RootForm kRootForms[] = {
    {"OpenParentAndKeyName", true, std::nullopt},
    {"OpenKeyAndNullPath", false, std::nullopt},
    {"OpenKeyAndEmptyPath", false, std::string()},
};

void PrintTo(const RootForm& form, std::ostream* os) { *os << form.name; }

class OpenKeyAsRoot : public ::testing::TestWithParam<RootForm> {};

TEST_P(OpenKeyAsRoot, ReadsAndWrites) {
    CVSREG_REQUIRE_LIBRARY(lib);
    const RootForm& form = GetParam();
    TestKey key(std::string("Root") + form.name, true);
    ASSERT_EQ(reg::setValue(key.path(), nullptr, kRegDword, kFortyTwo), 0);
    reg::Handle root = 0;
    ASSERT_EQ(reg::openKey(form.parentAsRoot ? key.parent() : key.path(), &root), 0);
    ASSERT_TRUE(fitsJavaInt(root)) << "key handle " << root << " does not fit a Java int";

    JniWorld world;
    jobject self = newKeyObject(world, static_cast<std::int32_t>(root),
                                form.parentAsRoot ? std::optional<std::string>(key.name()) : form.path);
    jstring name = world.makeString(u"written");
    jobject value = world.make(JavaValue::string(u"ab"));
    jobject read = world.call([&](JNIEnv* env) { return lib->getValue(env, self, nullptr); });
    auto readThrown = world.takeException();
    world.call([&](JNIEnv* env) { lib->setValue(env, self, name, value); });
    auto writeThrown = world.takeException();
    EXPECT_TRUE(reg::isOpenKey(root)) << "the library closed the caller's root key";
    reg::closeKey(root);

    EXPECT_TRUE(world.violations().empty()) << world.violationReport();
    ASSERT_FALSE(readThrown.has_value()) << readThrown->describe();
    EXPECT_EQ(world.valueOf(read), JavaValue::integer(42));
    ASSERT_FALSE(writeThrown.has_value()) << writeThrown->describe();
    const std::string written = "written";
    EXPECT_EQ(describe(reg::queryValue(key.path(), &written)), "stored:1:616200");
}

INSTANTIATE_TEST_SUITE_P(RootHandle, OpenKeyAsRoot, ::testing::ValuesIn(kRootForms),
                         [](const ::testing::TestParamInfo<RootForm>& info) { return info.param.name; });

// A null or empty path names the root itself, and for a predefined root the registry hands
// back the root's own handle: closing that would close HKEY_CURRENT_USER for the whole process.
class PredefinedRootItself : public ::testing::TestWithParam<std::optional<std::string>> {};

TEST_P(PredefinedRootItself, NoOperationClosesIt) {
    CVSREG_REQUIRE_LIBRARY(lib);
    const std::optional<std::string>& path = GetParam();
    // A value directly below HKEY_CURRENT_USER, of this run only.
    const std::string name = "CVSWin32RegKeyTests value of " + reg::testRoot().substr(reg::testRoot().rfind('\\') + 1);
    const unsigned long closesBefore = reg::predefinedKeyCloseCount();
    const auto handlesBefore = reg::openHandleCount();

    JniWorld world;
    jobject self = newKeyObject(world, reg::kCurrentUserRoot, path);
    jstring jname = world.makeString(std::u16string(name.begin(), name.end()));
    world.call([&](JNIEnv* env) { lib->setValue(env, self, jname, world.make(JavaValue::integer(7))); });
    auto writeThrown = world.takeException();
    jobject read = world.call([&](JNIEnv* env) { return lib->getValue(env, self, jname); });
    auto readThrown = world.takeException();

    // One walk to its end, one closed after its first name.
    bool walkedToOurs = false;
    jobject walk = newIterator(world, reg::kCurrentUserRoot, path);
    for (int names = 0; names < 100000; ++names) {
        if (world.call([&](JNIEnv* env) { return lib->hasNext(env, walk); }) != JNI_TRUE) break;
        JavaValue walked = world.valueOf(world.call([&](JNIEnv* env) { return lib->next(env, walk); }));
        if (walked == JavaValue::string(std::u16string(name.begin(), name.end()))) walkedToOurs = true;
    }
    auto walkThrown = world.takeException();
    std::optional<Thrown> closeThrown;
    if (lib->close != nullptr) {
        jobject early = newIterator(world, reg::kCurrentUserRoot, path);
        world.call([&](JNIEnv* env) { return lib->next(env, early); });
        world.call([&](JNIEnv* env) { lib->close(env, early); });
        closeThrown = world.takeException();
    }

    world.call([&](JNIEnv* env) { lib->setValue(env, self, jname, nullptr); });
    auto deleteThrown = world.takeException();

    EXPECT_EQ(reg::predefinedKeyCloseCount() - closesBefore, 0u) << "HKEY_CURRENT_USER was closed";
    EXPECT_TRUE(world.violations().empty()) << world.violationReport();
    if (handlesBefore) {
        EXPECT_EQ(*reg::openHandleCount(), *handlesBefore) << "key handles left open";
    }
    ASSERT_FALSE(writeThrown.has_value()) << writeThrown->describe();
    ASSERT_FALSE(readThrown.has_value()) << readThrown->describe();
    EXPECT_EQ(world.valueOf(read), JavaValue::integer(7));
    EXPECT_FALSE(walkThrown.has_value()) << walkThrown->describe();
    EXPECT_TRUE(walkedToOurs) << "the walk of the root missed " << name;
    EXPECT_FALSE(closeThrown.has_value()) << closeThrown->describe();
    EXPECT_FALSE(deleteThrown.has_value()) << deleteThrown->describe();
    EXPECT_EQ(describe(reg::queryValueAt(reg::currentUserHandle(), &name)), "absent");
}

INSTANTIATE_TEST_SUITE_P(RootHandle, PredefinedRootItself,
                         ::testing::Values(std::nullopt, std::optional<std::string>("")),
                         [](const ::testing::TestParamInfo<std::optional<std::string>>& info) {
                             return std::string(info.param ? "EmptyPath" : "NullPath");
                         });

TEST(RootHandleTest, RootThatIsNoKeyFailsToOpen) {
    CVSREG_REQUIRE_LIBRARY(lib);
    TestKey key("NoRoot", true);
    for (std::int32_t root : {0, 0x7FFFFFF0}) {
        JniWorld world;
        jobject self = newKeyObject(world, root, key.path());
        world.call([&](JNIEnv* env) { return lib->getValue(env, self, nullptr); });
        auto thrown = world.takeException();
        EXPECT_TRUE(world.violations().empty()) << world.violationReport();
        ASSERT_TRUE(thrown.has_value()) << "root " << root;
        EXPECT_EQ(thrown->describe(), "CVSWin32RegKeyException: \"open key failed\"") << "root " << root;
    }
}

}  // namespace
}  // namespace harness
