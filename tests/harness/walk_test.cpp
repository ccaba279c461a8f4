// The value-name walk: hasNext and next over a key, its state kept in the iterator's fields,
// its key handle carried between calls in m_hkey.
#include <algorithm>

#include "harness.h"
#include "modified_utf8.h"

namespace harness {
namespace {

constexpr std::uint32_t kRegSz = 1;

class WalkTest : public ::testing::Test {
protected:
    // Values "a", "bb" and "ccc", so the longest name is 3.
    void fill() {
        for (const std::string& name : names_) {
            ASSERT_EQ(reg::setValue(key_.path(), &name, kRegSz, {'x', 0}), 0);
        }
    }

    bool hasNext() {
        return world_.call([&](JNIEnv* env) { return lib_->hasNext(env, walk_); }) == JNI_TRUE;
    }
    JavaValue next() {
        return world_.valueOf(world_.call([&](JNIEnv* env) { return lib_->next(env, walk_); }));
    }
    std::int32_t field(const char* name) { return world_.intField(walk_, name); }
    reg::Handle walkKey() { return static_cast<reg::Handle>(field("m_hkey")); }  // sign-extended

    std::string thrown() {
        auto t = world_.takeException();
        return t ? t->describe() : "nothing";
    }
    void expectCleanAndNoHandles() {
        EXPECT_TRUE(world_.violations().empty()) << world_.violationReport();
        if (baseline_) {
            EXPECT_EQ(*reg::openHandleCount(), *baseline_) << "key handles left open";
        }
    }

    const std::vector<std::string> names_ = {"a", "bb", "ccc"};
    TestKey key_{::testing::UnitTest::GetInstance()->current_test_info()->name(), true};
    const EntryPoints* lib_ = library();
    JniWorld world_;
    jobject walk_ = newIterator(world_, reg::kCurrentUserRoot, key_.path());
    std::optional<unsigned long> baseline_ = reg::openHandleCount();
};

#define CVSREG_REQUIRE_WALK() \
    ASSERT_NE(lib_, nullptr) << "library not loaded: " << libraryProblem()

TEST_F(WalkTest, ThreeValuesThenEnd) {
    CVSREG_REQUIRE_WALK();
    fill();
    std::vector<std::string> seen;
    reg::Handle opened = 0;
    const auto opensBefore = reg::callCount("RegOpenKeyExA");
    for (std::size_t i = 0; i < names_.size(); ++i) {
        ASSERT_TRUE(hasNext()) << "after " << i << " names; exception: " << thrown();
        EXPECT_EQ(field("m_index"), static_cast<std::int32_t>(i));
        EXPECT_EQ(field("m_count"), 3);
        EXPECT_EQ(field("m_maxsize"), 4) << "longest name plus one";
        if (i == 0) opened = walkKey();
        EXPECT_EQ(walkKey(), opened) << "the walk reopened its key";
        EXPECT_TRUE(reg::isOpenKey(walkKey())) << "m_hkey " << walkKey() << " is not an open key";
        if (baseline_) {
            EXPECT_EQ(*reg::openHandleCount(), *baseline_ + 1);
        }
        JavaValue name = next();
        ASSERT_EQ(name.kind, JavaValue::Kind::String) << describe(name) << "; exception: " << thrown();
        seen.emplace_back(name.text.begin(), name.text.end());
    }
    EXPECT_FALSE(hasNext()) << "exception: " << thrown();
    EXPECT_FALSE(hasNext()) << "a finished walk must stay finished";
    EXPECT_FALSE(reg::isOpenKey(opened)) << "the key stays open after the last name";
    if (opensBefore) {
        EXPECT_EQ(*reg::callCount("RegOpenKeyExA") - *opensBefore, 1u) << "one open for the whole walk";
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, names_);

    next();
    EXPECT_EQ(thrown(), "NoSuchElementException: \"past end of enumeration\"");
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, NextAloneOpensTheWalk) {
    CVSREG_REQUIRE_WALK();
    fill();
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        JavaValue name = next();
        ASSERT_EQ(name.kind, JavaValue::Kind::String) << describe(name) << "; exception: " << thrown();
        seen.emplace_back(name.text.begin(), name.text.end());
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, names_);
    next();
    EXPECT_EQ(thrown(), "NoSuchElementException: \"past end of enumeration\"");
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, EmptyKeyHasNothing) {
    CVSREG_REQUIRE_WALK();
    EXPECT_FALSE(hasNext());
    EXPECT_EQ(thrown(), "nothing");
    next();
    EXPECT_EQ(thrown(), "NoSuchElementException: \"past end of enumeration\"");
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, MissingKeyFailsAndStaysUnopened) {
    CVSREG_REQUIRE_WALK();
    TestKey missing("WalkMissingKey", false);
    world_.setObjectField(walk_, "m_path", world_.makeString(std::u16string(missing.path().begin(), missing.path().end())));
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(hasNext());
        EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"open key failed\"");
        EXPECT_EQ(field("m_index"), -1);
    }
    next();
    EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"open key failed\"");
    EXPECT_EQ(field("m_index"), -1);
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, ValuesRemovedUnderTheWalkEndIt) {
    CVSREG_REQUIRE_WALK();
    fill();
    ASSERT_TRUE(hasNext()) << thrown();
    reg::Handle opened = walkKey();
    JavaValue first = next();
    ASSERT_EQ(first.kind, JavaValue::Kind::String) << thrown();
    for (const std::string& name : names_) reg::deleteValue(key_.path(), &name);
    next();
    EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"enum value failed\"");
    EXPECT_FALSE(reg::isOpenKey(opened)) << "a failed walk must close its key";
    EXPECT_FALSE(hasNext()) << "exception: " << thrown();
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, InfoQueryFailureLeavesNoHandle) {
    CVSREG_REQUIRE_WALK();
    if (!reg::hooksAvailable()) GTEST_SKIP() << "needs the emulated registry's failure controls";
    fill();
    ASSERT_EQ(reg::failNextCall("RegQueryInfoKeyA", 0, 8), 0);
    EXPECT_FALSE(hasNext());
    EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"query info key failed\"");
    EXPECT_EQ(field("m_index"), -1);
    if (baseline_) {
        EXPECT_EQ(*reg::openHandleCount(), *baseline_) << "key left open by a failed start";
    }
    EXPECT_TRUE(hasNext()) << "a later call tries again; exception: " << thrown();
    for (int i = 0; i < 3; ++i) next();
    EXPECT_FALSE(hasNext());
    EXPECT_EQ(thrown(), "nothing");
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, OpenKeyHandleAsRoot) {
    CVSREG_REQUIRE_WALK();
    fill();
    reg::Handle root = 0;
    ASSERT_EQ(reg::openKey(key_.path(), &root), 0);
    ASSERT_TRUE(fitsJavaInt(root));
    jobject walk = newIterator(world_, static_cast<std::int32_t>(root), std::nullopt);
    int names = 0;
    while (world_.call([&](JNIEnv* env) { return lib_->hasNext(env, walk); }) == JNI_TRUE && names < 10) {
        world_.call([&](JNIEnv* env) { return lib_->next(env, walk); });
        ++names;
    }
    EXPECT_EQ(thrown(), "nothing");
    EXPECT_EQ(names, 3);
    EXPECT_TRUE(reg::isOpenKey(root)) << "the walk closed the caller's root key";
    reg::closeKey(root);
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, CloseEndsTheWalk) {
    CVSREG_REQUIRE_WALK();
    if (lib_->close == nullptr) GTEST_SKIP() << "this build does not export CVSWin32RegKeyNameIterator.close";
    fill();
    auto close = [&] { world_.call([&](JNIEnv* env) { lib_->close(env, walk_); }); };
    ASSERT_TRUE(hasNext()) << thrown();
    ASSERT_TRUE(next().kind == JavaValue::Kind::String) << thrown();
    reg::Handle opened = walkKey();
    close();
    EXPECT_EQ(thrown(), "nothing");
    EXPECT_FALSE(reg::isOpenKey(opened)) << "close left the key open";
    EXPECT_FALSE(hasNext()) << "exception: " << thrown();
    close();  // closing an ended walk does nothing
    EXPECT_EQ(thrown(), "nothing");
    EXPECT_FALSE(hasNext());
    expectCleanAndNoHandles();
}

TEST_F(WalkTest, CloseBeforeOpeningEndsWithoutOpening) {
    CVSREG_REQUIRE_WALK();
    if (lib_->close == nullptr) GTEST_SKIP() << "this build does not export CVSWin32RegKeyNameIterator.close";
    fill();
    world_.call([&](JNIEnv* env) { lib_->close(env, walk_); });
    EXPECT_EQ(thrown(), "nothing");
    EXPECT_FALSE(hasNext()) << "exception: " << thrown();
    next();
    EXPECT_EQ(thrown(), "NoSuchElementException: \"past end of enumeration\"");
    expectCleanAndNoHandles();
}

// Fields changed by Java code: the walk never enumerates or closes a key that is not its own.
TEST_F(WalkTest, RewoundEndedWalkLeavesAnOpenWalkAlone) {
    CVSREG_REQUIRE_WALK();
    fill();
    TestKey other("WalkBeside", true);
    for (const std::string& name : names_) {
        ASSERT_EQ(reg::setValue(other.path(), &name, kRegSz, {'x', 0}), 0);
    }
    while (hasNext()) next();
    EXPECT_EQ(field("m_hkey"), 0) << "an ended walk keeps no handle value";

    // The handle value the ended walk had is free, so this walk's key may get it.
    jobject open = newIterator(world_, reg::kCurrentUserRoot, other.path());
    auto openNext = [&] { return world_.valueOf(world_.call([&](JNIEnv* env) { return lib_->next(env, open); })); };
    ASSERT_EQ(openNext().kind, JavaValue::Kind::String) << thrown();
    const auto openKey = static_cast<reg::Handle>(world_.intField(open, "m_hkey"));

    for (std::int32_t index : {0, 1, 2}) {
        world_.setIntField(walk_, "m_index", index);
        next();
        EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"enum value failed\"") << "m_index " << index;
        EXPECT_EQ(field("m_index"), 3);
        EXPECT_EQ(field("m_hkey"), 0);
    }
    world_.setIntField(walk_, "m_index", 0);
    EXPECT_FALSE(hasNext());
    EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"enum value failed\"");

    EXPECT_TRUE(reg::isOpenKey(openKey)) << "the rewound walk closed another walk's key";
    EXPECT_EQ(openNext().kind, JavaValue::Kind::String) << thrown();
    EXPECT_EQ(openNext().kind, JavaValue::Kind::String) << thrown();
    EXPECT_EQ(world_.intField(open, "m_hkey"), 0);
    EXPECT_FALSE(reg::isOpenKey(openKey));
    expectCleanAndNoHandles();
}

struct ChangedField {
    const char* field;
    std::int32_t value;
};

void PrintTo(const ChangedField& c, std::ostream* os) { *os << c.field << " = " << c.value; }

class WalkFieldOutOfRange : public WalkTest, public ::testing::WithParamInterface<ChangedField> {};

// Each field out of range ends an open walk with an exception, through hasNext or next.
TEST_P(WalkFieldOutOfRange, EndsTheWalkWithAnException) {
    CVSREG_REQUIRE_WALK();
    fill();
    for (bool throughHasNext : {true, false}) {
        world_.setIntField(walk_, "m_index", -1);
        ASSERT_EQ(next().kind, JavaValue::Kind::String) << thrown();
        const auto held = walkKey();
        world_.setIntField(walk_, GetParam().field, GetParam().value);
        if (throughHasNext) {
            EXPECT_FALSE(hasNext());
        } else {
            EXPECT_EQ(describe(next()), "null");
        }
        EXPECT_EQ(thrown(), "CVSWin32RegKeyException: \"enum value failed\"");
        EXPECT_EQ(field("m_hkey"), 0);
        EXPECT_GE(field("m_count"), 0);
        EXPECT_EQ(field("m_index"), field("m_count")) << "the walk is over";
        EXPECT_FALSE(hasNext());
        next();
        EXPECT_EQ(thrown(), "NoSuchElementException: \"past end of enumeration\"");
        if (std::string(GetParam().field) == "m_hkey") {
            reg::closeKey(held);  // its handle value was lost, so the walk could not close it
        } else {
            EXPECT_FALSE(reg::isOpenKey(held)) << "the ended walk left its key open";
        }
    }
    expectCleanAndNoHandles();
}

const ChangedField kChangedFields[] = {
    {"m_index", -2}, {"m_index", INT32_MIN}, {"m_index", 4},       {"m_count", -1},
    {"m_count", 0},  {"m_maxsize", 0},       {"m_maxsize", -1},    {"m_hkey", 0},
};

INSTANTIATE_TEST_SUITE_P(WalkTest, WalkFieldOutOfRange, ::testing::ValuesIn(kChangedFields),
                         [](const ::testing::TestParamInfo<ChangedField>& info) {
                             std::string name = std::string(info.param.field) + "_";
                             name += info.param.value < 0 ? "minus" + std::to_string(-static_cast<std::int64_t>(info.param.value))
                                                          : std::to_string(info.param.value);
                             return name;
                         });

// The registry counts the longest name in UTF-16 units, while the walk's buffer receives its
// narrow form: two bytes a character in a double-byte code page, three in UTF-8 (the
// emulation's). Names of different lengths, the longest of them not ASCII, must all come whole.
TEST_F(WalkTest, NamesLongerInTheirNarrowFormAllCome) {
    CVSREG_REQUIRE_WALK();
    const unsigned codePage = reg::narrowCodePage();
    if (codePage != 65001 && codePage != 932) {
        GTEST_SKIP() << "code page " << codePage << " cannot hold Japanese names (run with LC_ALL=ja_JP.UTF-8)";
    }
    const std::vector<std::u16string> names = {u"a", u"\u5024", u"\u8a2d\u5b9a", u"\u65e5\u672c\u8a9e\u306e\u540d\u524d",
                                               u"\u540d\u524d\u4ed8\u304d\u306e\u8a2d\u5b9a\u5024", u"ascii"};
    for (const std::u16string& name : names) {
        ASSERT_EQ(reg::setValueWide(key_.path(), name, kRegSz, {'x', 0}), 0);
    }
    const auto narrow = reg::narrowValueNames(key_.path());
    ASSERT_TRUE(narrow.has_value());
    ASSERT_EQ(narrow->size(), names.size());

    std::vector<std::u16string> walked;
    while (hasNext() && walked.size() < names.size() + 1) {
        JavaValue name = next();
        ASSERT_EQ(name.kind, JavaValue::Kind::String) << "after " << walked.size() << " names: " << thrown();
        walked.push_back(name.text);
    }
    EXPECT_EQ(thrown(), "nothing");
    EXPECT_EQ(field("m_maxsize"), 9) << "the longest name in UTF-16 units, plus one";
    ASSERT_EQ(walked.size(), names.size());
    for (std::size_t i = 0; i < walked.size(); ++i) {
        if (codePage == 65001) {
            EXPECT_EQ(printable(walked[i]), printable(names[i]));
            continue;
        }
        // Shift-JIS bytes are no UTF-8, so the library hands each name over byte for byte: a
        // valid UTF-8 sequence as its character, any other byte as U+0000 + byte. These names
        // hold no C2, C3 or F0-F4 byte, so that reads back unambiguously.
        std::string bytes;
        for (char16_t c : walked[i]) {
            if (c < 0x100) {
                bytes += static_cast<char>(c);
            } else {
                bytes += encodeModifiedUtf8(std::u16string(1, c));
            }
        }
        EXPECT_EQ(toHex(std::vector<std::uint8_t>(bytes.begin(), bytes.end())),
                  toHex(std::vector<std::uint8_t>((*narrow)[i].begin(), (*narrow)[i].end())))
            << "name " << i;
    }
    expectCleanAndNoHandles();
}

}  // namespace
}  // namespace harness
