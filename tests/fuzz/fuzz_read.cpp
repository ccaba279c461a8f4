// getValue on any stored value: any type code and data, any value name and key path (stored as
// raw bytes, asked for as any UTF-16 text), any root, with registry failures, denials and full
// heaps injected. Every outcome must be a String, an Integer, a byte[] or one of getValue's
// documented exceptions, with no JNI breach and no key handle left open; where nothing was
// injected and the value is found, the result must be the value converted.
#include "fuzz_common.h"

namespace {

using harness::JavaValue;

constexpr DWORD kCommonTypes[] = {REG_SZ, REG_BINARY, REG_DWORD, REG_NONE, REG_EXPAND_SZ,
                                  REG_MULTI_SZ, REG_QWORD, REG_DWORD_BIG_ENDIAN};
// Not RegCloseKey: a close that fails changes nothing, so its handle stays open by design.
constexpr const char* kFunctions[] = {"RegOpenKeyExA", "RegQueryValueExA"};
constexpr LONG kErrors[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                            ERROR_NOT_ENOUGH_MEMORY, ERROR_MORE_DATA};
constexpr const char* kAllocations[] = {"NewStringUTF", "NewByteArray", "NewObject"};

// What getValue must give for a value of `type` holding `data`, when the data is text the
// harness can decode (anything else is only required to be some String).
std::optional<JavaValue> converted(DWORD type, const std::string& data) {
    if (type == REG_BINARY) return JavaValue::byteArray({data.begin(), data.end()});
    if (type == REG_DWORD) {
        uint32_t number = 0;
        for (size_t i = 0; i < 4 && i < data.size(); ++i) {
            number |= uint32_t(static_cast<unsigned char>(data[i])) << (8 * i);
        }
        return JavaValue::integer(static_cast<int32_t>(number));
    }
    if (type == REG_SZ) {
        auto text = harness::decodeModifiedUtf8(data.substr(0, data.find('\0')), nullptr);
        if (text) return JavaValue::string(*text);
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUpProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    RegEmuReset();

    const auto wild = in.ConsumeIntegral<uint8_t>();
    // The key: where it is stored (raw bytes or the Java path's own encoding) and how Java names it.
    const std::u16string javaPath = (wild & 1) ? fuzz::units(in, 80) : fuzz::kKeyPath16;
    const std::string storedPath =
        (wild & 2) ? in.ConsumeRandomLengthString(300) : harness::encodeModifiedUtf8(javaPath);
    const jint root = (wild & 4) ? in.ConsumeIntegral<jint>() : fuzz::kCurrentUser;

    // The value name, likewise; a null Java name is the default value.
    const bool nullName = (wild & 8) && in.ConsumeBool();
    const std::u16string javaName = nullName ? u"" : fuzz::units(in, 40);
    const std::string storedName =
        (wild & 16) ? in.ConsumeRandomLengthString(100) : harness::encodeModifiedUtf8(javaName);
    const DWORD type = (wild & 32) ? in.ConsumeIntegral<DWORD>() : in.PickValueInArray(kCommonTypes);

    // At most one thing goes wrong on purpose (hooks 1 to 3; the others inject nothing).
    const auto hook = in.ConsumeIntegralInRange<int>(0, 7);
    const char* failFunction = in.PickValueInArray(kFunctions);
    const auto failSkip = in.ConsumeIntegralInRange<DWORD>(0, 2);
    const LONG failError = in.PickValueInArray(kErrors);
    const char* allocation = in.PickValueInArray(kAllocations);
    const std::string data = in.ConsumeRemainingBytesAsString();

    bool stored = false;
    if (fuzz::createKey(storedPath)) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, storedPath.c_str(), 0, KEY_ALL_ACCESS, &key) ==
            ERROR_SUCCESS) {
            stored = RegSetValueExA(key, storedName.c_str(), 0, type,
                                    reinterpret_cast<const BYTE*>(data.data()),
                                    static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
        if (hook == 1) RegEmuDenyAccess(HKEY_CURRENT_USER, storedPath.c_str(), KEY_QUERY_VALUE);
    }
    if (hook == 2) RegEmuFailNextCall(failFunction, failSkip, failError);
    fuzz::requireHandles(0, "before getValue");

    harness::JniWorld world;
    if (hook == 3) world.failNextAllocation(allocation);
    jobject host = fuzz::makeHost(world, harness::kKeyClass, root, &javaPath);
    jstring name = nullName ? nullptr : world.makeString(javaName);
    jobject result = world.call([&](JNIEnv* env) {
        return Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue(env, host,
                                                                                     name);
    });
    const auto thrown = world.takeException();
    fuzz::requireNoViolation(world, "getValue");
    fuzz::requireHandles(0, "after getValue");

    const JavaValue value = world.valueOf(result);
    using Kind = JavaValue::Kind;
    if (thrown) {
        fuzz::require(result == nullptr, "getValue returned a value and threw " + thrown->describe());
        const bool documented =
            fuzz::isOneOf(*thrown, {{"CVSWin32RegKeyException", fuzz::kOpenKeyFailed},
                                    {"CVSWin32RegKeyException", fuzz::kQueryValueFailed},
                                    {"CVSWin32RegKeyException", fuzz::kUnsupportedValueType}}) ||
            (hook == 3 && thrown->simpleName() == "OutOfMemoryError");
        fuzz::require(documented, "getValue threw " + thrown->describe());
    } else {
        fuzz::require(value.kind == Kind::String || value.kind == Kind::Integer ||
                          value.kind == Kind::Bytes,
                      "getValue gave " + harness::describe(value));
    }

    // Nothing injected and the value named exactly as stored: the outcome is known.
    const bool injected = hook >= 1 && hook <= 3;
    const bool exact = stored && !(wild & (2 | 4 | 16)) && !injected;
    if (!exact) return 0;
    if (type != REG_SZ && type != REG_DWORD && type != REG_BINARY) {
        fuzz::require(fuzz::isRegistryError(thrown, fuzz::kUnsupportedValueType),
                      "type " + std::to_string(type) + ": " + fuzz::describe(thrown));
        return 0;
    }
    fuzz::require(!thrown, "a stored value of type " + std::to_string(type) + " gave " +
                               fuzz::describe(thrown));
    if (auto expected = converted(type, data)) {
        fuzz::require(value == *expected, "getValue gave " + harness::describe(value) +
                                              ", expected " + harness::describe(*expected));
    } else {
        fuzz::require(value.kind == Kind::String, "REG_SZ gave " + harness::describe(value));
    }
    return 0;
}
