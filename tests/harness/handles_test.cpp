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
