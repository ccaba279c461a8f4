// The checking JNI environment itself: each breach it is meant to catch, committed on purpose
// by a small native body, must be reported; a well-behaved body must not be.
#include <functional>

#include "case_table.h"
#include "harness.h"
#include "modified_utf8.h"

namespace harness {
namespace {

struct Breach {
    const char* name;
    // Runs inside one native call, with `arg` a String "k\u00e9y" held by the caller.
    std::function<void(JNIEnv*, jstring arg)> body;
    const char* reported;  // a piece of the expected violation text
};

jclass registryException(JNIEnv* env) { return env->FindClass(kRegistryExceptionClass); }

const Breach kBreaches[] = {
    {"StringNotReleased", [](JNIEnv* env, jstring s) { env->GetStringUTFChars(s, nullptr); },
     "GetStringUTFChars result 6BC3A979 not released"},
    {"StringReleasedTwice",
     [](JNIEnv* env, jstring s) {
         const char* p = env->GetStringUTFChars(s, nullptr);
         env->ReleaseStringUTFChars(s, p);
         env->ReleaseStringUTFChars(s, p);
     },
     "released twice"},
    {"StringReleasedUnknownPointer",
     [](JNIEnv* env, jstring s) { env->ReleaseStringUTFChars(s, "key"); },
     "was not handed out by GetStringUTFChars"},
    {"StringCharsWritten",
     [](JNIEnv* env, jstring s) {
         char* p = const_cast<char*>(env->GetStringUTFChars(s, nullptr));
         p[0] = 'X';
         env->ReleaseStringUTFChars(s, p);
     },
     "wrote into the characters"},
    {"ArrayNotReleased",
     [](JNIEnv* env, jstring) { env->GetByteArrayElements(env->NewByteArray(2), nullptr); },
     "GetByteArrayElements result 0000 not released"},
    {"ArrayReleasedWithCopyBack",
     [](JNIEnv* env, jstring) {
         jbyteArray a = env->NewByteArray(1);
         env->ReleaseByteArrayElements(a, env->GetByteArrayElements(a, nullptr), 0);
     },
     "ReleaseByteArrayElements with mode 0"},
    {"ArrayReleasedWithCommit",
     [](JNIEnv* env, jstring) {
         jbyteArray a = env->NewByteArray(1);
         jbyte* elements = env->GetByteArrayElements(a, nullptr);
         env->ReleaseByteArrayElements(a, elements, JNI_COMMIT);
     },
     "ReleaseByteArrayElements with mode 1"},
    {"ArrayElementsWritten",
     [](JNIEnv* env, jstring) {
         jbyteArray a = env->NewByteArray(2);
         jbyte* elements = env->GetByteArrayElements(a, nullptr);
         elements[1] = 7;
         env->ReleaseByteArrayElements(a, elements, JNI_ABORT);
     },
     "wrote into the elements of 0000"},
    {"ArrayReleasedAsString",
     [](JNIEnv* env, jstring s) {
         jbyteArray a = env->NewByteArray(1);
         env->ReleaseStringUTFChars(s, reinterpret_cast<const char*>(env->GetByteArrayElements(a, nullptr)));
     },
     "came from GetByteArrayElements"},
    {"CallAfterException",
     [](JNIEnv* env, jstring) {
         env->ThrowNew(registryException(env), "open key failed");
         env->NewStringUTF("x");
     },
     "NewStringUTF called while an exception is pending (CVSWin32RegKeyException"},
    {"SecondException",
     [](JNIEnv* env, jstring) {
         jclass c = registryException(env);
         env->ThrowNew(c, "open key failed");
         env->ThrowNew(c, "query value key failed");
     },
     "a second exception in one call"},
    {"ThrowNewOfNonThrowable",
     [](JNIEnv* env, jstring) { env->ThrowNew(env->FindClass("java/lang/String"), "x"); },
     "java/lang/String is not a Throwable"},
    {"FourByteUtf8", [](JNIEnv* env, jstring) { env->NewStringUTF("\xF0\x9F\x98\x80"); },
     "4-byte sequence"},
    {"TruncatedUtf8", [](JNIEnv* env, jstring) { env->NewStringUTF("a\xC3"); },
     "truncated 2-byte sequence"},
    {"OverlongUtf8", [](JNIEnv* env, jstring) { env->NewStringUTF("\xC1\x81"); },
     "overlong 2-byte sequence"},
    {"BadExceptionMessage",
     [](JNIEnv* env, jstring) { env->ThrowNew(registryException(env), "\xFF"); },
     "not modified UTF-8"},
    {"CallAfterUncheckedJavaCall",
     [](JNIEnv* env, jstring) {
         jclass integer = env->FindClass("java/lang/Integer");
         jmethodID constructor = env->GetMethodID(integer, "<init>", "(I)V");
         jmethodID int_value = env->GetMethodID(integer, "intValue", "()I");
         jobject one = env->NewObject(integer, constructor, 1);
         env->ExceptionCheck();
         env->CallIntMethod(one, int_value);
         env->FindClass(kRegistryExceptionClass);
     },
     "FindClass called after CallIntMethod without an exception check"},
    {"UnlistedFunction", [](JNIEnv* env, jstring s) { env->DeleteLocalRef(s); },
     "called DeleteLocalRef, a JNI function the library is not meant to call"},
    {"UnlistedVariadicFunction",
     [](JNIEnv* env, jstring s) { env->CallStaticVoidMethod(env->GetObjectClass(s), nullptr, 1, 2); },
     "called CallStaticVoidMethodV"},
    {"NullReference", [](JNIEnv* env, jstring) { env->GetObjectClass(nullptr); },
     "GetObjectClass: obj is null"},
    {"ForgedReference",
     [](JNIEnv* env, jstring) { env->GetObjectClass(reinterpret_cast<jobject>(0x40)); },
     "is not a live reference"},
    {"ObjectWhereClassExpected",
     [](JNIEnv* env, jstring s) {
         env->GetMethodID(reinterpret_cast<jclass>(s), "intValue", "()I");
     },
     "expected a class, got an object of class java/lang/String"},
    {"UnknownClass", [](JNIEnv* env, jstring) { env->FindClass("java.lang.String"); },
     "FindClass: no class java.lang.String"},
    {"UnknownField",
     [](JNIEnv* env, jstring) { env->GetFieldID(env->FindClass(kKeyClass), "m_root", "J"); },
     "has no field m_root J"},
    {"IntFieldOfWrongObject",
     [](JNIEnv* env, jstring s) {
         env->GetIntField(s, env->GetFieldID(env->FindClass(kKeyClass), "m_root", "I"));
     },
     "used on an object of class java/lang/String"},
    {"ByteRegionOutOfBounds",
     [](JNIEnv* env, jstring) {
         const jbyte b[3] = {1, 2, 3};
         env->SetByteArrayRegion(env->NewByteArray(2), 0, 3, b);
     },
     "outside an array of 2"},
    {"ArrayLengthOfString", [](JNIEnv* env, jstring s) { env->GetArrayLength(static_cast<jarray>(static_cast<jobject>(s))); },
     "GetArrayLength on an object of class java/lang/String"},
};

void PrintTo(const Breach& breach, std::ostream* os) { *os << breach.name; }

class BreachTest : public ::testing::TestWithParam<Breach> {};

TEST_P(BreachTest, IsReported) {
    JniWorld world;
    jstring arg = world.makeString(u"k\u00e9y");
    world.call([&](JNIEnv* env) { GetParam().body(env, arg); });
    world.takeException();
    EXPECT_NE(world.violationReport().find(GetParam().reported), std::string::npos)
        << "expected a violation containing \"" << GetParam().reported << "\"; got:"
        << world.violationReport();
}

INSTANTIATE_TEST_SUITE_P(JniWorld, BreachTest, ::testing::ValuesIn(kBreaches),
                         [](const ::testing::TestParamInfo<Breach>& info) { return info.param.name; });

TEST(JniWorldTest, LocalReferenceDiesWithItsCall) {
    JniWorld world;
    jstring arg = world.makeString(u"x");
    jobject kept = world.call([&](JNIEnv* env) {
        env->GetObjectClass(arg);
        return static_cast<jobject>(nullptr);
    });
    EXPECT_EQ(kept, nullptr);
    jclass cached = nullptr;
    world.call([&](JNIEnv* env) { cached = env->FindClass("java/lang/Integer"); });
    ASSERT_NE(cached, nullptr);
    world.call([&](JNIEnv* env) { env->GetMethodID(cached, "intValue", "()I"); });
    EXPECT_NE(world.violationReport().find("is not a live reference"), std::string::npos)
        << world.violationReport();
}

TEST(JniWorldTest, ReturnedReferenceStaysLive) {
    JniWorld world;
    jobject result = world.call([](JNIEnv* env) { return static_cast<jobject>(env->NewStringUTF("abc")); });
    EXPECT_TRUE(world.isLive(result));
    EXPECT_EQ(world.valueOf(result), JavaValue::string(u"abc"));
    EXPECT_TRUE(world.violations().empty()) << world.violationReport();
}

// Everything the library may do, done right: nothing is reported and the model answers
// as a JVM would.
TEST(JniWorldTest, WellBehavedNativeIsClean) {
    JniWorld world;
    jobject self = newKeyObject(world, 5, std::string("Software\\k"));
    jobject integer = world.make(JavaValue::integer(-7));
    jobject bytes = world.make(JavaValue::byteArray({1, 2, 0xFF}));
    jobject result = world.call([&](JNIEnv* env) -> jobject {
        jclass keyClass = env->GetObjectClass(self);
        jint root = env->GetIntField(self, env->GetFieldID(keyClass, "m_root", "I"));
        auto path = static_cast<jstring>(env->GetObjectField(self, env->GetFieldID(keyClass, "m_path", "Ljava/lang/String;")));
        const char* text = env->GetStringUTFChars(path, nullptr);
        bool pathOk = std::string(text) == "Software\\k";
        env->ReleaseStringUTFChars(path, text);

        jclass integerClass = env->FindClass("java/lang/Integer");
        bool isInteger = env->IsAssignableFrom(env->GetObjectClass(integer), integerClass);
        bool bytesAreInteger = env->IsAssignableFrom(env->GetObjectClass(bytes), integerClass);
        jint n = env->CallIntMethod(integer, env->GetMethodID(integerClass, "intValue", "()I"));
        if (env->ExceptionCheck()) return nullptr;

        jbyteArray array = static_cast<jbyteArray>(bytes);
        jbyte* elements = env->GetByteArrayElements(array, nullptr);
        jsize length = env->GetArrayLength(array);
        bool bytesOk = length == 3 && elements[2] == -1;
        env->ReleaseByteArrayElements(array, elements, JNI_ABORT);

        jbyteArray copy = env->NewByteArray(2);
        const jbyte two[2] = {9, 8};
        env->SetByteArrayRegion(copy, 0, 2, two);
        if (env->ExceptionCheck()) return nullptr;

        jobject boxed = env->NewObject(integerClass, env->GetMethodID(integerClass, "<init>", "(I)V"),
                                       static_cast<jint>(root + n));
        return pathOk && isInteger && !bytesAreInteger && bytesOk ? boxed : copy;
    });
    EXPECT_TRUE(world.violations().empty()) << world.violationReport();
    EXPECT_FALSE(world.takeException().has_value());
    EXPECT_EQ(world.valueOf(result), JavaValue::integer(-2));
}

TEST(JniWorldTest, ExceptionThenReleaseIsClean) {
    JniWorld world;
    jstring arg = world.makeString(std::u16string(1, u'\0') + u"\u20AC");
    world.call([&](JNIEnv* env) {
        const char* text = env->GetStringUTFChars(arg, nullptr);
        EXPECT_EQ(std::string(text), "\xC0\x80\xE2\x82\xAC");
        env->ThrowNew(env->FindClass("java/util/NoSuchElementException"), "past end of enumeration");
        if (env->ExceptionCheck()) env->ReleaseStringUTFChars(arg, text);
    });
    EXPECT_TRUE(world.violations().empty()) << world.violationReport();
    auto thrown = world.takeException();
    ASSERT_TRUE(thrown.has_value());
    EXPECT_EQ(thrown->describe(), "NoSuchElementException: \"past end of enumeration\"");
}

TEST(JniWorldTest, FailedAllocationLeavesOutOfMemoryPending) {
    JniWorld world;
    world.failNextAllocation("NewByteArray");
    jobject result = world.call([](JNIEnv* env) { return static_cast<jobject>(env->NewByteArray(4)); });
    EXPECT_EQ(result, nullptr);
    auto thrown = world.takeException();
    ASSERT_TRUE(thrown.has_value());
    EXPECT_EQ(thrown->simpleName(), "OutOfMemoryError");
}

TEST(ModifiedUtf8Test, RoundTripsEveryUnitKind) {
    const std::u16string text = u"a" + std::u16string(1, u'\0') + u"\u00e9\u20ac\xD83D\xDE00";
    const std::string bytes = encodeModifiedUtf8(text);
    EXPECT_EQ(toHex(std::vector<std::uint8_t>(bytes.begin(), bytes.end())),
              "61C080C3A9E282ACEDA0BDEDB880");
    std::string problem;
    auto back = decodeModifiedUtf8(bytes, &problem);
    ASSERT_TRUE(back.has_value()) << problem;
    EXPECT_EQ(*back, text);
}

}  // namespace
}  // namespace harness
