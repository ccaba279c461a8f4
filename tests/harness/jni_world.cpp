#include "jni_world.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "modified_utf8.h"

namespace harness {

const char kKeyClass[] = "torvane/plexide/scm/cvs/native_/registry/CVSWin32RegKey";
const char kIteratorClass[] = "torvane/plexide/scm/cvs/native_/registry/CVSWin32RegKeyNameIterator";
const char kRegistryExceptionClass[] =
    "torvane/plexide/scm/cvs/native_/registry/CVSWin32RegKeyException";

// ---------------------------------------------------------------------------------------------
// Classes

bool ClassInfo::isSubclassOf(const ClassInfo* other) const {
    for (const ClassInfo* c = this; c != nullptr; c = c->super) {
        if (c == other) return true;
    }
    return false;
}

const FieldInfo* ClassInfo::findField(std::string_view n, std::string_view sig) const {
    for (const ClassInfo* c = this; c != nullptr; c = c->super) {
        for (const auto& f : c->fields) {
            if (f->name == n && f->signature == sig) return f.get();
        }
    }
    return nullptr;
}

const MethodInfo* ClassInfo::findMethod(std::string_view n, std::string_view sig) const {
    for (const ClassInfo* c = this; c != nullptr; c = c->super) {
        for (const auto& m : c->methods) {
            if (m->name == n && m->signature == sig) return m.get();
        }
        if (n == "<init>") break;  // constructors are not inherited
    }
    return nullptr;
}

namespace {

class Catalogue {
public:
    Catalogue() {
        ClassInfo* object = add("java/lang/Object", nullptr);
        add("java/lang/Class", object);
        add("java/lang/String", object);
        ClassInfo* number = add("java/lang/Number", object);
        method(number, "intValue", "()I");
        method(add("java/lang/Integer", number), "<init>", "(I)V");
        add("java/lang/Long", number);
        add("java/lang/Short", number);
        add("java/lang/Boolean", object);
        add("[B", object);
        add("[C", object);
        add("[I", object);

        ClassInfo* throwable = add("java/lang/Throwable", object);
        method(throwable, "<init>", "(Ljava/lang/String;)V");
        ClassInfo* runtime = add("java/lang/RuntimeException", add("java/lang/Exception", throwable));
        add("java/util/NoSuchElementException", runtime);
        add(kRegistryExceptionClass, runtime);
        add("java/lang/NegativeArraySizeException", runtime);
        add("java/lang/ArrayIndexOutOfBoundsException",
            add("java/lang/IndexOutOfBoundsException", runtime));
        ClassInfo* error = add("java/lang/Error", throwable);
        add("java/lang/OutOfMemoryError", add("java/lang/VirtualMachineError", error));
        ClassInfo* linkage = add("java/lang/LinkageError", error);
        add("java/lang/NoClassDefFoundError", linkage);
        ClassInfo* incompatible = add("java/lang/IncompatibleClassChangeError", linkage);
        add("java/lang/NoSuchFieldError", incompatible);
        add("java/lang/NoSuchMethodError", incompatible);

        ClassInfo* key = add(kKeyClass, object);
        field(key, "m_root", "I");
        field(key, "m_path", "Ljava/lang/String;");
        ClassInfo* walk = add(kIteratorClass, object);
        field(walk, "m_root", "I");
        field(walk, "m_path", "Ljava/lang/String;");
        for (const char* name : {"m_hkey", "m_maxsize", "m_index", "m_count"}) {
            field(walk, name, "I");
        }
    }

    const ClassInfo* find(std::string_view name) const {
        for (const auto& c : classes_) {
            if (c->name == name) return c.get();
        }
        return nullptr;
    }

    bool knows(const FieldInfo* f) const {
        for (const auto& c : classes_) {
            for (const auto& g : c->fields) {
                if (g.get() == f) return true;
            }
        }
        return false;
    }

    bool knows(const MethodInfo* m) const {
        for (const auto& c : classes_) {
            for (const auto& g : c->methods) {
                if (g.get() == m) return true;
            }
        }
        return false;
    }

private:
    ClassInfo* add(const char* name, const ClassInfo* super) {
        classes_.push_back(std::make_unique<ClassInfo>());
        classes_.back()->name = name;
        classes_.back()->super = super;
        return classes_.back().get();
    }
    static void field(ClassInfo* c, const char* name, const char* sig) {
        c->fields.push_back(std::make_unique<FieldInfo>(FieldInfo{c, name, sig}));
    }
    static void method(ClassInfo* c, const char* name, const char* sig) {
        c->methods.push_back(std::make_unique<MethodInfo>(MethodInfo{c, name, sig}));
    }

    std::vector<std::unique_ptr<ClassInfo>> classes_;
};

const Catalogue& catalogue() {
    static const Catalogue instance;
    return instance;
}

JniWorld* g_world = nullptr;
// Never reused within the process, so a reference kept from an earlier call or case is seen
// as dead rather than silently meaning some newer object.
std::uintptr_t g_nextRef = 0x10000;

std::string hexOf(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        out += buf;
    }
    return out;
}

// Quoted when printable ASCII, else in hex, so a message shows what the bytes were.
std::string shown(std::string_view bytes) {
    for (char c : bytes) {
        if (c < 0x20 || c > 0x7E) return hexOf(bytes);
    }
    return "\"" + std::string(bytes) + "\"";
}

std::string refText(const void* ref) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", ref);
    return buf;
}

}  // namespace

const ClassInfo* findClassInfo(std::string_view name) { return catalogue().find(name); }

std::string Thrown::simpleName() const {
    std::size_t slash = className.rfind('/');
    return slash == std::string::npos ? className : className.substr(slash + 1);
}

std::string Thrown::describe() const {
    return simpleName() + ": " + (message ? "\"" + printable(*message) + "\"" : "(no message)");
}

// ---------------------------------------------------------------------------------------------
// The checked JNI functions

struct JniWorld::Impl {
    // Common entry: counts the call and checks the environment and the exception state.
    static JniWorld* enter(JNIEnv* env, const char* fn, bool releasesOrChecks = false) {
        JniWorld* w = g_world;
        if (w == nullptr) {
            std::fprintf(stderr, "harness: %s called with no JNI world alive\n", fn);
            return nullptr;
        }
        w->calls_[fn]++;
        if (!w->inCall_) {
            w->violation(std::string(fn) + " called outside any native method call");
        }
        if (env != &w->env_) {
            w->violation(std::string(fn) + " called with a JNIEnv* that is not the current one");
        }
        if (w->uncheckedJavaCall_ != nullptr && !releasesOrChecks) {
            w->violation(std::string(fn) + " called after " + w->uncheckedJavaCall_ +
                         " without an exception check; the VM requires one");
        }
        if (w->pending_ != nullptr && !releasesOrChecks) {
            w->violation(std::string(fn) + " called while an exception is pending (" +
                         w->thrownOf(w->pending_).describe() +
                         "); only releases may follow an exception");
        }
        return w;
    }

    static jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj) {
        JniWorld* w = enter(env, "GetObjectClass");
        Object* o = w ? w->deref(obj, "GetObjectClass", "obj") : nullptr;
        return o ? static_cast<jclass>(w->newRef(w->classObject(o->cls), true)) : nullptr;
    }

    static jfieldID JNICALL GetFieldID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
        JniWorld* w = enter(env, "GetFieldID");
        const ClassInfo* c = w ? w->derefClass(clazz, "GetFieldID") : nullptr;
        if (c == nullptr || !w->namesOk("GetFieldID", name, sig)) return nullptr;
        const FieldInfo* f = c->findField(name, sig);
        if (f == nullptr) {
            w->violation("GetFieldID: " + c->name + " has no field " + name + " " + sig);
            w->raise("java/lang/NoSuchFieldError", name);
            return nullptr;
        }
        return reinterpret_cast<jfieldID>(const_cast<FieldInfo*>(f));
    }

    static const FieldInfo* field(JniWorld* w, Object* o, jfieldID id, const char* fn, bool isInt) {
        auto* f = reinterpret_cast<const FieldInfo*>(id);
        if (f == nullptr || !catalogue().knows(f)) {
            w->violation(std::string(fn) + ": " + refText(id) + " is not a field ID");
            return nullptr;
        }
        if (!o->cls->isSubclassOf(f->owner)) {
            w->violation(std::string(fn) + ": field " + f->owner->name + "." + f->name +
                         " used on an object of class " + o->cls->name);
            return nullptr;
        }
        bool fieldIsInt = f->signature == "I";
        if (fieldIsInt != isInt) {
            w->violation(std::string(fn) + " used on field " + f->name + " of type " + f->signature);
            return nullptr;
        }
        return f;
    }

    static jint JNICALL GetIntField(JNIEnv* env, jobject obj, jfieldID id) {
        JniWorld* w = enter(env, "GetIntField");
        Object* o = w ? w->deref(obj, "GetIntField", "obj") : nullptr;
        const FieldInfo* f = o ? field(w, o, id, "GetIntField", true) : nullptr;
        return f ? o->intFields[f] : 0;
    }

    static void JNICALL SetIntField(JNIEnv* env, jobject obj, jfieldID id, jint value) {
        JniWorld* w = enter(env, "SetIntField");
        Object* o = w ? w->deref(obj, "SetIntField", "obj") : nullptr;
        const FieldInfo* f = o ? field(w, o, id, "SetIntField", true) : nullptr;
        if (f) o->intFields[f] = static_cast<std::int32_t>(value);
    }

    static jobject JNICALL GetObjectField(JNIEnv* env, jobject obj, jfieldID id) {
        JniWorld* w = enter(env, "GetObjectField");
        Object* o = w ? w->deref(obj, "GetObjectField", "obj") : nullptr;
        const FieldInfo* f = o ? field(w, o, id, "GetObjectField", false) : nullptr;
        if (f == nullptr) return nullptr;
        Object* value = o->objectFields[f];
        return value ? w->newRef(value, true) : nullptr;
    }

    static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
        JniWorld* w = enter(env, "GetStringUTFChars");
        if (w == nullptr) return "";
        Object* o = w->derefOf(str, "GetStringUTFChars", "java/lang/String");
        std::string text = o ? encodeModifiedUtf8(o->chars) : std::string();
        if (isCopy != nullptr) *isCopy = JNI_TRUE;
        return static_cast<const char*>(w->hand(o, "GetStringUTFChars", text, text.size() + 1));
    }

    static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
        JniWorld* w = enter(env, "ReleaseStringUTFChars", true);
        if (w == nullptr) return;
        Object* o = w->derefOf(str, "ReleaseStringUTFChars", "java/lang/String");
        Taken* t = w->giveBack(chars, o, "ReleaseStringUTFChars", "GetStringUTFChars");
        if (t == nullptr) return;
        if (std::memcmp(chars, t->original.c_str(), t->original.size() + 1) != 0) {
            w->violation("ReleaseStringUTFChars: the library wrote into the characters of " +
                         shown(t->original) + " (they are const)");
        }
    }

    static jbyte* JNICALL GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
        JniWorld* w = enter(env, "GetByteArrayElements");
        if (w == nullptr) return nullptr;
        Object* o = w->derefOf(array, "GetByteArrayElements", "[B");
        std::string bytes;
        if (o) bytes.assign(o->bytes.begin(), o->bytes.end());
        if (isCopy != nullptr) *isCopy = JNI_TRUE;
        // Never null, even for an empty array, as in a JVM.
        return static_cast<jbyte*>(w->hand(o, "GetByteArrayElements", bytes, bytes.size() + 1));
    }

    static void JNICALL ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode) {
        JniWorld* w = enter(env, "ReleaseByteArrayElements", true);
        if (w == nullptr) return;
        Object* o = w->derefOf(array, "ReleaseByteArrayElements", "[B");
        // The library only reads the elements: any other mode copies its snapshot back over
        // what the Java side may have written since.
        if (mode != JNI_ABORT) {
            w->violation("ReleaseByteArrayElements with mode " + std::to_string(mode) +
                         " (expected JNI_ABORT: the elements are read only)");
        }
        Taken* t = w->giveBack(elems, o, "ReleaseByteArrayElements", "GetByteArrayElements");
        if (t == nullptr) return;
        if (std::memcmp(elems, t->original.data(), t->original.size()) != 0) {
            w->violation("ReleaseByteArrayElements: the library wrote into the elements of " +
                         hexOf(t->original) + " (they are read only)");
        }
        if (o != nullptr && mode != JNI_ABORT) {
            o->bytes.assign(elems, elems + o->bytes.size());
        }
    }

    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* bytes) {
        JniWorld* w = enter(env, "NewStringUTF");
        if (w == nullptr) return nullptr;
        if (bytes == nullptr) {
            w->violation("NewStringUTF called with null");
            return nullptr;
        }
        std::string problem;
        auto text = decodeModifiedUtf8(bytes, &problem);
        if (!text) {
            w->violation("NewStringUTF: bytes " + hexOf(bytes) + " are not modified UTF-8, " + problem);
            text = std::u16string();
        }
        if (w->allocationFails("NewStringUTF")) return nullptr;
        Object* s = w->newObject(findClassInfo("java/lang/String"));
        s->chars = *text;
        return static_cast<jstring>(w->newRef(s, true));
    }

    static jclass JNICALL FindClass(JNIEnv* env, const char* name) {
        JniWorld* w = enter(env, "FindClass");
        if (w == nullptr) return nullptr;
        if (name == nullptr) {
            w->violation("FindClass called with null");
            return nullptr;
        }
        const ClassInfo* c = findClassInfo(name);
        if (c == nullptr) {
            w->violation(std::string("FindClass: no class ") + name);
            w->raise("java/lang/NoClassDefFoundError", name);
            return nullptr;
        }
        return static_cast<jclass>(w->newRef(w->classObject(c), true));
    }

    static jint JNICALL ThrowNew(JNIEnv* env, jclass clazz, const char* message) {
        JniWorld* w = enter(env, "ThrowNew", true);
        if (w == nullptr) return -1;
        if (w->pending_ != nullptr) {
            w->violation("ThrowNew while " + w->thrownOf(w->pending_).describe() +
                         " is pending: a second exception in one call");
        }
        const ClassInfo* c = w->derefClass(clazz, "ThrowNew");
        if (c == nullptr) return -1;
        if (!c->isSubclassOf(findClassInfo("java/lang/Throwable"))) {
            w->violation("ThrowNew: " + c->name + " is not a Throwable");
            return -1;
        }
        std::optional<std::u16string> text;
        if (message != nullptr) {
            std::string problem;
            text = decodeModifiedUtf8(message, &problem);
            if (!text) {
                w->violation("ThrowNew: message bytes " + hexOf(message) +
                             " are not modified UTF-8, " + problem);
            }
        }
        Object* e = w->newObject(c);
        e->message = text;
        w->pending_ = e;
        return 0;
    }

    static jmethodID JNICALL GetMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
        JniWorld* w = enter(env, "GetMethodID");
        const ClassInfo* c = w ? w->derefClass(clazz, "GetMethodID") : nullptr;
        if (c == nullptr || !w->namesOk("GetMethodID", name, sig)) return nullptr;
        const MethodInfo* m = c->findMethod(name, sig);
        if (m == nullptr) {
            w->violation("GetMethodID: " + c->name + " has no method " + name + " " + sig);
            w->raise("java/lang/NoSuchMethodError", name);
            return nullptr;
        }
        return reinterpret_cast<jmethodID>(const_cast<MethodInfo*>(m));
    }

    static const MethodInfo* method(JniWorld* w, jmethodID id, const char* fn) {
        auto* m = reinterpret_cast<const MethodInfo*>(id);
        if (m == nullptr || !catalogue().knows(m)) {
            w->violation(std::string(fn) + ": " + refText(id) + " is not a method ID");
            return nullptr;
        }
        return m;
    }

    static jobject newObject(JNIEnv* env, jclass clazz, jmethodID id, va_list args, const char* fn) {
        JniWorld* w = enter(env, fn);
        const ClassInfo* c = w ? w->derefClass(clazz, fn) : nullptr;
        const MethodInfo* m = c ? method(w, id, fn) : nullptr;
        if (m == nullptr) return nullptr;
        if (m->name != "<init>" || m->owner != c) {
            w->violation(std::string(fn) + ": " + m->owner->name + "." + m->name +
                         " is not a constructor of " + c->name);
            return nullptr;
        }
        if (c->name != "java/lang/Integer") {
            w->violation(std::string(fn) + ": the library is not meant to construct " + c->name);
            return nullptr;
        }
        jint value = va_arg(args, jint);
        if (w->allocationFails("NewObject")) return nullptr;
        Object* o = w->newObject(c);
        o->number = static_cast<std::int32_t>(value);
        w->uncheckedJavaCall_ = "NewObject";
        return w->newRef(o, true);
    }

    static jobject JNICALL NewObjectV(JNIEnv* env, jclass clazz, jmethodID id, va_list args) {
        return newObject(env, clazz, id, args, "NewObjectV");
    }

    static jobject JNICALL NewObject(JNIEnv* env, jclass clazz, jmethodID id, ...) {
        va_list args;
        va_start(args, id);
        jobject result = newObject(env, clazz, id, args, "NewObject");
        va_end(args);
        return result;
    }

    static jint callInt(JNIEnv* env, jobject obj, jmethodID id, const char* fn) {
        JniWorld* w = enter(env, fn);
        Object* o = w ? w->deref(obj, fn, "obj") : nullptr;
        const MethodInfo* m = o ? method(w, id, fn) : nullptr;
        if (m == nullptr) return 0;
        const std::string& sig = m->signature;
        if (m->name == "<init>" || sig.size() < 3 || sig.compare(sig.size() - 2, 2, ")I") != 0) {
            w->violation(std::string(fn) + ": " + m->name + m->signature + " does not return int");
            return 0;
        }
        if (!o->cls->isSubclassOf(m->owner)) {
            w->violation(std::string(fn) + ": " + m->owner->name + "." + m->name +
                         " called on an object of class " + o->cls->name);
            return 0;
        }
        w->uncheckedJavaCall_ = "CallIntMethod";
        return static_cast<jint>(static_cast<std::int32_t>(o->number));  // Number.intValue
    }

    static jint JNICALL CallIntMethodV(JNIEnv* env, jobject obj, jmethodID id, va_list) {
        return callInt(env, obj, id, "CallIntMethodV");
    }

    static jint JNICALL CallIntMethod(JNIEnv* env, jobject obj, jmethodID id, ...) {
        return callInt(env, obj, id, "CallIntMethod");
    }

    static jboolean JNICALL IsAssignableFrom(JNIEnv* env, jclass from, jclass to) {
        JniWorld* w = enter(env, "IsAssignableFrom");
        const ClassInfo* a = w ? w->derefClass(from, "IsAssignableFrom") : nullptr;
        const ClassInfo* b = w ? w->derefClass(to, "IsAssignableFrom") : nullptr;
        return a && b && a->isSubclassOf(b) ? JNI_TRUE : JNI_FALSE;
    }

    static jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize length) {
        JniWorld* w = enter(env, "NewByteArray");
        if (w == nullptr) return nullptr;
        if (length < 0) {
            w->violation("NewByteArray with negative length " + std::to_string(length));
            w->raise("java/lang/NegativeArraySizeException", nullptr);
            return nullptr;
        }
        if (w->allocationFails("NewByteArray")) return nullptr;
        Object* a = w->newObject(findClassInfo("[B"));
        a->bytes.assign(static_cast<std::size_t>(length), 0);
        return static_cast<jbyteArray>(w->newRef(a, true));
    }

    static void JNICALL SetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length,
                                   const jbyte* buf) {
        JniWorld* w = enter(env, "SetByteArrayRegion");
        Object* o = w ? w->derefOf(array, "SetByteArrayRegion", "[B") : nullptr;
        if (o == nullptr) return;
        auto size = static_cast<long long>(o->bytes.size());
        if (start < 0 || length < 0 || static_cast<long long>(start) + length > size) {
            w->violation("SetByteArrayRegion: region " + std::to_string(start) + "+" +
                         std::to_string(length) + " outside an array of " + std::to_string(size));
            w->raise("java/lang/ArrayIndexOutOfBoundsException", nullptr);
            return;
        }
        if (length > 0 && buf == nullptr) {
            w->violation("SetByteArrayRegion: null buffer for " + std::to_string(length) + " bytes");
            return;
        }
        if (length > 0) std::memcpy(o->bytes.data() + start, buf, static_cast<std::size_t>(length));
    }

    static jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
        JniWorld* w = enter(env, "GetArrayLength");
        Object* o = w ? w->deref(array, "GetArrayLength", "array") : nullptr;
        if (o == nullptr) return 0;
        if (o->cls->name[0] != '[') {
            w->violation("GetArrayLength on an object of class " + o->cls->name);
            return 0;
        }
        std::size_t n = o->cls->name == "[B" ? o->bytes.size()
                        : o->cls->name == "[C" ? o->chars.size() : o->ints.size();
        return static_cast<jsize>(n);
    }

    static jboolean JNICALL ExceptionCheck(JNIEnv* env) {
        JniWorld* w = enter(env, "ExceptionCheck", true);
        if (w) w->uncheckedJavaCall_ = nullptr;
        return w && w->pending_ ? JNI_TRUE : JNI_FALSE;
    }

    static void unexpected(const char* slot) {
        JniWorld* w = g_world;
        if (w == nullptr) return;
        w->calls_[slot]++;
        w->violation(std::string("called ") + slot +
                     ", a JNI function the library is not meant to call");
    }
};

namespace {

// One stub per slot, with the slot's exact signature: on 32-bit Windows the callee pops its
// arguments, so a stub of any other shape would corrupt the caller's stack.
template <std::size_t Slot, typename F>
struct Unexpected;

template <std::size_t Slot, typename R, typename... A>
struct Unexpected<Slot, R(JNICALL*)(JNIEnv*, A...)> {
    static R JNICALL fn(JNIEnv*, A...);
};

template <std::size_t Slot, typename R, typename... A>
struct Unexpected<Slot, R(JNICALL*)(JNIEnv*, A..., ...)> {
    static R JNICALL fn(JNIEnv*, A..., ...);
};

struct SlotName {
    std::size_t offset;
    const char* name;
};

constexpr SlotName kSlotNames[] = {
#define JNI_SLOT(n) {offsetof(JNINativeInterface_, n), #n},
#include "jni_slots.inc"
#undef JNI_SLOT
};

// A JNI header with slots missing from the list would leave them null.
static_assert(sizeof(JNINativeInterface_) ==
                  (4 + sizeof kSlotNames / sizeof kSlotNames[0]) * sizeof(void*),
              "jni_slots.inc does not list every slot of this jni.h");

const char* slotName(std::size_t offset) {
    for (const SlotName& s : kSlotNames) {
        if (s.offset == offset) return s.name;
    }
    return "an unknown slot";
}

template <std::size_t Slot, typename R, typename... A>
R JNICALL Unexpected<Slot, R(JNICALL*)(JNIEnv*, A...)>::fn(JNIEnv*, A...) {
    JniWorld::Impl::unexpected(slotName(Slot));
    return R();
}

template <std::size_t Slot, typename R, typename... A>
R JNICALL Unexpected<Slot, R(JNICALL*)(JNIEnv*, A..., ...)>::fn(JNIEnv*, A..., ...) {
    JniWorld::Impl::unexpected(slotName(Slot));
    return R();
}

JNINativeInterface_ makeTable() {
    JNINativeInterface_ t{};
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
// On x86-64 MinGW, va_list carries an ABI attribute that a template argument drops; the
// stubs never read their arguments, so nothing depends on it.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif
#define JNI_SLOT(n) t.n = Unexpected<offsetof(JNINativeInterface_, n), decltype(t.n)>::fn;
#include "jni_slots.inc"
#undef JNI_SLOT
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

    using I = JniWorld::Impl;
    t.GetObjectClass = I::GetObjectClass;
    t.GetFieldID = I::GetFieldID;
    t.GetIntField = I::GetIntField;
    t.SetIntField = I::SetIntField;
    t.GetObjectField = I::GetObjectField;
    t.GetStringUTFChars = I::GetStringUTFChars;
    t.ReleaseStringUTFChars = I::ReleaseStringUTFChars;
    t.GetByteArrayElements = I::GetByteArrayElements;
    t.ReleaseByteArrayElements = I::ReleaseByteArrayElements;
    t.NewStringUTF = I::NewStringUTF;
    t.FindClass = I::FindClass;
    t.ThrowNew = I::ThrowNew;
    t.GetMethodID = I::GetMethodID;
    t.NewObject = I::NewObject;
    t.NewObjectV = I::NewObjectV;  // C++'s JNIEnv::NewObject forwards here
    t.CallIntMethod = I::CallIntMethod;
    t.CallIntMethodV = I::CallIntMethodV;  // and JNIEnv::CallIntMethod here
    t.IsAssignableFrom = I::IsAssignableFrom;
    t.NewByteArray = I::NewByteArray;
    t.SetByteArrayRegion = I::SetByteArrayRegion;
    t.GetArrayLength = I::GetArrayLength;
    t.ExceptionCheck = I::ExceptionCheck;
    return t;
}

const JNINativeInterface_ kTable = makeTable();

}  // namespace

// ---------------------------------------------------------------------------------------------
// The world

JniWorld::JniWorld() {
    if (g_world != nullptr) {
        std::fprintf(stderr, "harness: only one JniWorld may be alive at a time\n");
        std::abort();
    }
    g_world = this;
    env_.functions = &kTable;
}

JniWorld::~JniWorld() { g_world = nullptr; }

JniWorld* JniWorld::current() { return g_world; }

Object* JniWorld::newObject(const ClassInfo* cls) {
    objects_.push_back(std::make_unique<Object>());
    objects_.back()->cls = cls;
    return objects_.back().get();
}

jobject JniWorld::newRef(Object* object, bool local) {
    std::uintptr_t handle = g_nextRef;
    g_nextRef += 0x10;
    (local && inCall_ ? localRefs_ : globalRefs_)[handle] = object;
    return reinterpret_cast<jobject>(handle);
}

Object* JniWorld::lookup(jobject ref) const {
    auto key = reinterpret_cast<std::uintptr_t>(ref);
    if (auto it = globalRefs_.find(key); it != globalRefs_.end()) return it->second;
    if (auto it = localRefs_.find(key); it != localRefs_.end()) return it->second;
    return nullptr;
}

bool JniWorld::isLive(jobject ref) const { return ref != nullptr && lookup(ref) != nullptr; }

Object* JniWorld::deref(jobject ref, const char* fn, const char* what) {
    if (ref == nullptr) {
        violation(std::string(fn) + ": " + what + " is null");
        return nullptr;
    }
    Object* o = lookup(ref);
    if (o == nullptr) {
        violation(std::string(fn) + ": " + what + " " + refText(ref) +
                  " is not a live reference (a local reference kept from an earlier call?)");
    }
    return o;
}

Object* JniWorld::derefOf(jobject ref, const char* fn, const char* className) {
    Object* o = deref(ref, fn, className);
    if (o != nullptr && o->cls->name != className) {
        violation(std::string(fn) + ": expected a " + className + ", got a " + o->cls->name);
        return nullptr;
    }
    return o;
}

const ClassInfo* JniWorld::derefClass(jobject ref, const char* fn) {
    Object* o = deref(ref, fn, "class");
    if (o != nullptr && o->reflected == nullptr) {
        violation(std::string(fn) + ": expected a class, got an object of class " + o->cls->name);
        return nullptr;
    }
    return o ? o->reflected : nullptr;
}

Object* JniWorld::classObject(const ClassInfo* cls) {
    Object*& o = classObjects_[cls];
    if (o == nullptr) {
        o = newObject(findClassInfo("java/lang/Class"));
        o->reflected = cls;
    }
    return o;
}

bool JniWorld::namesOk(const char* fn, const char* name, const char* sig) {
    if (name == nullptr || sig == nullptr) {
        violation(std::string(fn) + " called with a null name or signature");
        return false;
    }
    return true;
}

void JniWorld::raise(const char* className, const char* message) {
    Object* e = newObject(findClassInfo(className));
    if (message != nullptr) e->message = decodeModifiedUtf8(message, nullptr);
    if (pending_ == nullptr) pending_ = e;
}

bool JniWorld::allocationFails(const std::string& function) {
    if (failAllocation_ != function) return false;
    failAllocation_.clear();
    raise("java/lang/OutOfMemoryError", "Java heap space");
    return true;
}

void* JniWorld::hand(Object* source, const char* fn, const std::string& content, std::size_t size) {
    buffers_.push_back(std::make_unique<char[]>(size));
    char* buffer = buffers_.back().get();
    std::memcpy(buffer, content.data(), content.size());
    buffer[content.size()] = 0;
    auto t = std::make_unique<Taken>();
    t->source = source;
    t->function = fn;
    t->original = content;
    taken_[buffer] = std::move(t);
    return buffer;
}

JniWorld::Taken* JniWorld::giveBack(const void* p, Object* source, const char* fn,
                                    const char* takenBy) {
    auto it = taken_.find(p);
    if (it == taken_.end()) {
        violation(std::string(fn) + ": " + refText(p) + " was not handed out by " + takenBy);
        return nullptr;
    }
    Taken* t = it->second.get();
    if (std::strcmp(t->function, takenBy) != 0) {
        violation(std::string(fn) + ": " + refText(p) + " came from " + t->function);
        return nullptr;
    }
    if (t->released) {
        violation(std::string(fn) + ": " + refText(p) + " released twice");
        return nullptr;
    }
    t->released = true;
    if (source != nullptr && t->source != nullptr && source != t->source) {
        violation(std::string(fn) + ": released against another object than it was taken from");
    }
    return t;
}

void JniWorld::violation(const std::string& text) { violations_.push_back(text); }

Thrown JniWorld::thrownOf(const Object* e) const { return Thrown{e->cls->name, e->message}; }

void JniWorld::beginCall() {
    if (inCall_) violation("a native call began inside another one");
    pending_ = nullptr;
    uncheckedJavaCall_ = nullptr;
    inCall_ = true;
}

void JniWorld::endCall(jobject result) {
    Object* returned = nullptr;
    if (result != nullptr) {
        returned = lookup(result);
        if (returned == nullptr) {
            violation("the native method returned " + refText(result) +
                      ", which is not a live reference");
        }
    }
    for (auto& [address, t] : taken_) {
        if (!t->released) {
            violation(std::string(t->function) + " result " + shown(t->original) +
                      " not released before the native method returned");
            t->released = true;  // reported once
        }
    }
    localRefs_.clear();
    inCall_ = false;
    if (returned != nullptr) {
        globalRefs_[reinterpret_cast<std::uintptr_t>(result)] = returned;
    }
}

std::optional<Thrown> JniWorld::takeException() {
    if (pending_ == nullptr) return std::nullopt;
    Thrown t = thrownOf(pending_);
    pending_ = nullptr;
    return t;
}

std::string JniWorld::violationReport() const {
    std::string out;
    for (const std::string& v : violations_) out += "\n  JNI: " + v;
    return out;
}

int JniWorld::callCount(const std::string& function) const {
    auto it = calls_.find(function);
    return it == calls_.end() ? 0 : it->second;
}

// ---------------------------------------------------------------------------------------------
// The Java side's own objects

jobject JniWorld::make(const JavaValue& value) {
    using Kind = JavaValue::Kind;
    const char* cls = nullptr;
    switch (value.kind) {
        case Kind::Null: return nullptr;
        case Kind::String: return makeString(value.text);
        case Kind::Integer: cls = "java/lang/Integer"; break;
        case Kind::Bytes: cls = "[B"; break;
        case Kind::Long: cls = "java/lang/Long"; break;
        case Kind::Short: cls = "java/lang/Short"; break;
        case Kind::Boolean: cls = "java/lang/Boolean"; break;
        case Kind::CharArray: cls = "[C"; break;
        case Kind::IntArray: cls = "[I"; break;
        case Kind::Object: cls = "java/lang/Object"; break;
    }
    Object* o = newObject(findClassInfo(cls));
    o->number = value.number;
    o->chars = value.text;
    o->bytes.assign(value.bytes.begin(), value.bytes.end());
    o->ints = value.ints;
    return newRef(o, false);
}

jstring JniWorld::makeString(std::u16string_view text) {
    Object* s = newObject(findClassInfo("java/lang/String"));
    s->chars = text;
    return static_cast<jstring>(newRef(s, false));
}

jobject JniWorld::makeInstance(const char* className) {
    return newRef(newObject(findClassInfo(className)), false);
}

void JniWorld::setIntField(jobject object, const char* name, std::int32_t value) {
    Object* o = lookup(object);
    o->intFields[o->cls->findField(name, "I")] = value;
}

std::int32_t JniWorld::intField(jobject object, const char* name) const {
    Object* o = lookup(object);
    auto it = o->intFields.find(o->cls->findField(name, "I"));
    return it == o->intFields.end() ? 0 : it->second;
}

void JniWorld::setObjectField(jobject object, const char* name, jobject value) {
    Object* o = lookup(object);
    const FieldInfo* f = o->cls->findField(name, "Ljava/lang/String;");
    o->objectFields[f] = value ? lookup(value) : nullptr;
}

std::string JniWorld::className(jobject ref) const {
    Object* o = ref ? lookup(ref) : nullptr;
    return o ? o->cls->name : ref ? "(dead reference)" : "null";
}

JavaValue JniWorld::valueOf(jobject ref) const {
    using Kind = JavaValue::Kind;
    JavaValue v;
    Object* o = ref ? lookup(ref) : nullptr;
    if (o == nullptr) return v;
    const std::string& n = o->cls->name;
    v.kind = n == "java/lang/String"    ? Kind::String
             : n == "java/lang/Integer" ? Kind::Integer
             : n == "[B"                ? Kind::Bytes
             : n == "java/lang/Long"    ? Kind::Long
             : n == "java/lang/Short"   ? Kind::Short
             : n == "java/lang/Boolean" ? Kind::Boolean
             : n == "[C"                ? Kind::CharArray
             : n == "[I"                ? Kind::IntArray
                                        : Kind::Object;
    if (v.kind != Kind::Object) {
        v.text = o->chars;
        v.number = o->number;
        v.bytes.assign(o->bytes.begin(), o->bytes.end());
        v.ints = o->ints;
    }
    return v;
}

}  // namespace harness
