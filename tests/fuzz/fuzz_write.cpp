// setValue with any value: a String of any UTF-16 units (unpaired surrogates and U+0000
// included), any byte[], any Integer, null, or an object of another class, under any name, over
// whatever was stored before, sometimes with the registry refusing. What is written is stored in
// the registry's own form and reads back equal; a refused or unsupported write changes nothing;
// no JNI breach, no key handle left open.
#include "fuzz_common.h"

namespace {

using harness::JavaValue;
using Kind = JavaValue::Kind;

constexpr Kind kKinds[] = {Kind::String, Kind::Integer, Kind::Bytes,     Kind::Null,
                           Kind::Long,   Kind::Short,   Kind::Boolean,   Kind::CharArray,
                           Kind::IntArray, Kind::Object, Kind::String,   Kind::Bytes};
constexpr const char* kFunctions[] = {"RegOpenKeyExA", "RegSetValueExA", "RegDeleteValueA"};
constexpr LONG kErrors[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY,
                            ERROR_INVALID_PARAMETER};

JavaValue makeValue(Kind kind, FuzzedDataProvider& in) {
    JavaValue value;
    value.kind = kind;
    switch (kind) {
        case Kind::String:
        case Kind::CharArray: value.text = fuzz::units(in, 4096); break;
        case Kind::Integer: value.number = in.ConsumeIntegral<int32_t>(); break;
        case Kind::Long: value.number = in.ConsumeIntegral<int64_t>(); break;
        case Kind::Short: value.number = in.ConsumeIntegral<int16_t>(); break;
        case Kind::Boolean: value.number = in.ConsumeBool(); break;
        case Kind::Bytes: {
            const auto length = in.ConsumeIntegralInRange<size_t>(0, 8192);
            value.bytes = in.ConsumeBytes<uint8_t>(length);
            break;
        }
        case Kind::IntArray: value.ints = {in.ConsumeIntegral<int32_t>()}; break;
        default: break;
    }
    return value;
}

// The registry's form of a supported value: REG_SZ with the text's modified UTF-8 and a NUL,
// REG_DWORD little-endian, REG_BINARY as it is.
std::optional<fuzz::Stored> registryForm(const JavaValue& value) {
    if (value.kind == Kind::String) {
        const std::string text = harness::encodeModifiedUtf8(value.text);
        fuzz::Stored stored{REG_SZ, {text.begin(), text.end()}};
        stored.data.push_back(0);
        return stored;
    }
    if (value.kind == Kind::Integer) {
        const auto bits = static_cast<uint32_t>(value.number);
        return fuzz::Stored{REG_DWORD, {BYTE(bits), BYTE(bits >> 8), BYTE(bits >> 16),
                                        BYTE(bits >> 24)}};
    }
    if (value.kind == Kind::Bytes) return fuzz::Stored{REG_BINARY, value.bytes};
    return std::nullopt;
}

std::optional<fuzz::Stored> storedNow(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, fuzz::kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        fuzz::fail("the key cannot be opened to check it");
    }
    auto stored = fuzz::query(key, name);
    RegCloseKey(key);
    return stored;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUpProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    RegEmuReset();
    fuzz::require(fuzz::createKey(fuzz::kKeyPath), "the key cannot be made");

    // The name: null (the default value) or any text short enough to be a value name.
    const bool nullName = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    const std::u16string name = nullName ? u"" : fuzz::units(in, 64);
    const std::string storedName = harness::encodeModifiedUtf8(name);

    // What the name held before, if anything: any type and data.
    if (in.ConsumeBool()) {
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, fuzz::kKeyPath, 0, KEY_ALL_ACCESS, &key);
        const DWORD type = in.ConsumeIntegralInRange<DWORD>(0, 12);
        const std::string data = in.ConsumeRandomLengthString(64);
        RegSetValueExA(key, storedName.c_str(), 0, type,
                       reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
        RegCloseKey(key);
    }
    const auto before = storedNow(storedName.c_str());

    const auto hook = in.ConsumeIntegralInRange<int>(0, 5);
    const char* failFunction = in.PickValueInArray(kFunctions);
    const LONG failError = in.PickValueInArray(kErrors);
    const JavaValue value = makeValue(in.PickValueInArray(kKinds), in);
    if (hook == 1) RegEmuFailNextCall(failFunction, 0, failError);
    if (hook == 2) RegEmuDenyAccess(HKEY_CURRENT_USER, fuzz::kKeyPath, KEY_SET_VALUE);
    const bool injected = hook == 1 || hook == 2;

    std::optional<harness::Thrown> thrown;
    {
        harness::JniWorld world;
        const std::u16string path = fuzz::kKeyPath16;
        jobject host = fuzz::makeHost(world, harness::kKeyClass, fuzz::kCurrentUser, &path);
        jstring javaName = nullName ? nullptr : world.makeString(name);
        jobject javaValue = world.make(value);
        world.call([&](JNIEnv* env) {
            Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_setValue(
                env, host, javaName, javaValue);
        });
        thrown = world.takeException();
        fuzz::requireNoViolation(world, "setValue");
    }
    fuzz::requireHandles(0, "after setValue");

    // Neither an armed failure left over nor a denial of writing touches the reads below.
    const auto after = storedNow(storedName.c_str());
    const auto form = registryForm(value);
    const bool supported = form.has_value();
    if (thrown) {
        const bool documented =
            fuzz::isRegistryError(thrown, fuzz::kOpenKeyFailed) ? injected
            : fuzz::isRegistryError(thrown, fuzz::kQueryValueFailed)
                ? injected && (supported || value.kind == Kind::Null)
            : fuzz::isRegistryError(thrown, fuzz::kUnsupportedValueType)
                ? !supported && value.kind != Kind::Null
                : false;
        fuzz::require(documented, "setValue of " + harness::describe(value) + " threw " +
                                      thrown->describe());
        fuzz::require(after == before, "a failed setValue changed the stored value");
        return 0;
    }
    fuzz::require(supported || value.kind == Kind::Null,
                  "setValue took " + harness::describe(value) + " without a word");
    if (value.kind == Kind::Null) {
        // Only a delete that finds nothing to delete is silent; one that fails with
        // ERROR_FILE_NOT_FOUND leaves the value, any other failure raises.
        const bool notFound = hook == 1 && std::string(failFunction) == "RegDeleteValueA" &&
                              failError == ERROR_FILE_NOT_FOUND;
        fuzz::require(!after || (notFound && after == before), "the deleted value is still there");
        return 0;
    }
    fuzz::require(after && *after == *form, "setValue of " + harness::describe(value) +
                                                 " did not store it in the registry's form");

    harness::JniWorld world;
    const std::u16string path = fuzz::kKeyPath16;
    jobject host = fuzz::makeHost(world, harness::kKeyClass, fuzz::kCurrentUser, &path);
    jstring javaName = nullName ? nullptr : world.makeString(name);
    jobject read = world.call([&](JNIEnv* env) {
        return Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue(env, host,
                                                                                     javaName);
    });
    const auto readThrown = world.takeException();
    fuzz::requireNoViolation(world, "getValue after setValue");
    fuzz::require(!readThrown, "reading back threw " + fuzz::describe(readThrown));
    const JavaValue back = world.valueOf(read);
    fuzz::require(back == value, "wrote " + harness::describe(value) + ", read back " +
                                     harness::describe(back));
    fuzz::requireHandles(0, "after getValue");
    return 0;
}
