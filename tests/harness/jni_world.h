// A stand-in for the Java virtual machine, as far as the library can see one: a JNIEnv whose
// function table is filled with checked implementations of the JNI functions the library may
// call, over a small model of Java objects. Every breach of JNI discipline is recorded as a
// violation instead of crashing or passing silently.
#ifndef CVSREG_HARNESS_JNI_WORLD_H
#define CVSREG_HARNESS_JNI_WORLD_H

#include <jni.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "java_value.h"

namespace harness {

struct ClassInfo;

struct FieldInfo {
    const ClassInfo* owner;
    std::string name;
    std::string signature;
};

struct MethodInfo {
    const ClassInfo* owner;
    std::string name;
    std::string signature;
};

// A loaded class. Classes, their fields and methods live for the whole process, so field and
// method IDs stay valid across calls, as they do in a JVM.
struct ClassInfo {
    std::string name;  // internal form: java/lang/String, [B
    const ClassInfo* super = nullptr;
    std::vector<std::unique_ptr<FieldInfo>> fields;
    std::vector<std::unique_ptr<MethodInfo>> methods;

    bool isSubclassOf(const ClassInfo* other) const;
    const FieldInfo* findField(std::string_view name, std::string_view signature) const;
    const MethodInfo* findMethod(std::string_view name, std::string_view signature) const;
};

// The class named `name` (internal form), or null when the world has no such class.
const ClassInfo* findClassInfo(std::string_view name);

// Internal names of the library's own Java classes.
extern const char kKeyClass[];
extern const char kIteratorClass[];
extern const char kRegistryExceptionClass[];

struct Object {
    const ClassInfo* cls = nullptr;
    std::u16string chars;               // String, char[]
    std::int64_t number = 0;            // Integer, Long, Short, Boolean
    std::vector<std::int8_t> bytes;     // byte[]
    std::vector<std::int32_t> ints;     // int[]
    std::map<const FieldInfo*, std::int32_t> intFields;
    std::map<const FieldInfo*, Object*> objectFields;
    std::optional<std::u16string> message;  // throwables
    const ClassInfo* reflected = nullptr;    // java/lang/Class: the class it stands for
};

struct Thrown {
    std::string className;                  // internal form
    std::optional<std::u16string> message;  // null message: nothing
    std::string simpleName() const;
    std::string describe() const;
};

class JniWorld {
public:
    JniWorld();
    ~JniWorld();
    JniWorld(const JniWorld&) = delete;
    JniWorld& operator=(const JniWorld&) = delete;

    // References the Java side holds: they live as long as the world.
    jobject make(const JavaValue& value);
    jstring makeString(std::u16string_view text);
    jobject makeInstance(const char* className);
    void setIntField(jobject object, const char* field, std::int32_t value);
    std::int32_t intField(jobject object, const char* field) const;
    void setObjectField(jobject object, const char* field, jobject value);

    bool isLive(jobject ref) const;
    // What a live reference holds, in the tests' terms; anything else is described in text.
    JavaValue valueOf(jobject ref) const;
    std::string className(jobject ref) const;

    // Runs one native method the way a JVM does: the library's JNI calls are checked while it
    // runs; when it returns, everything it took must have been given back and its local
    // references die, except the one it returned, which the caller now holds.
    template <typename Body>
    auto call(Body body) {
        beginCall();
        if constexpr (std::is_void_v<decltype(body(env()))>) {
            body(env());
            endCall(nullptr);
        } else {
            auto result = body(env());
            if constexpr (std::is_convertible_v<decltype(result), jobject>) {
                endCall(result);
            } else {
                endCall(nullptr);
            }
            return result;
        }
    }

    // The exception the last call left pending, now caught (cleared).
    std::optional<Thrown> takeException();

    // Breaches of JNI discipline so far, each a sentence naming the JNI function.
    const std::vector<std::string>& violations() const { return violations_; }
    std::string violationReport() const;
    // How many times the library called the named JNI function.
    int callCount(const std::string& function) const;

    // The next allocation by `function` (NewStringUTF, NewByteArray or NewObject) fails the
    // way a full heap does: it returns null with an OutOfMemoryError pending.
    void failNextAllocation(const std::string& function) { failAllocation_ = function; }

    JNIEnv* env() { return &env_; }

    // The checked implementations reach their world through this.
    static JniWorld* current();

    // Used by the function table (jni_world.cpp); not for tests.
    struct Impl;

private:
    friend struct Impl;

    struct Taken;

    void beginCall();
    void endCall(jobject result);
    jobject newRef(Object* object, bool local);
    Object* newObject(const ClassInfo* cls);
    Object* lookup(jobject ref) const;
    // The object behind a reference the library passed, or null after recording why not.
    Object* deref(jobject ref, const char* fn, const char* what);
    Object* derefOf(jobject ref, const char* fn, const char* className);
    const ClassInfo* derefClass(jobject ref, const char* fn);
    Object* classObject(const ClassInfo* cls);
    bool namesOk(const char* fn, const char* name, const char* sig);
    void raise(const char* className, const char* message);
    bool allocationFails(const std::string& function);
    void* hand(Object* source, const char* fn, const std::string& content, std::size_t size);
    Taken* giveBack(const void* p, Object* source, const char* fn, const char* takenBy);
    void violation(const std::string& text);
    Thrown thrownOf(const Object* e) const;

    JNIEnv env_{};
    std::vector<std::unique_ptr<Object>> objects_;
    std::map<std::uintptr_t, Object*> globalRefs_;  // held by the Java side
    std::map<std::uintptr_t, Object*> localRefs_;   // made during the current call
    std::map<const ClassInfo*, Object*> classObjects_;
    Object* pending_ = nullptr;
    bool inCall_ = false;
    // The Java call (CallIntMethod, NewObject) that may have raised and has not been checked
    // for an exception since; null when there is none.
    const char* uncheckedJavaCall_ = nullptr;
    int exceptionsThisCall_ = 0;

    struct Taken {
        Object* source;
        const char* function;    // GetStringUTFChars or GetByteArrayElements
        std::string original;    // the bytes handed out, to spot writes through a const char*
        bool released = false;
    };
    std::map<const void*, std::unique_ptr<Taken>> taken_;
    std::vector<std::unique_ptr<char[]>> buffers_;  // kept to the end, so addresses stay unique

    std::vector<std::string> violations_;
    std::map<std::string, int> calls_;
    std::string failAllocation_;
};

}  // namespace harness

#endif
