// The walk over a key's value names, with the key changed between calls by a fuzzed sequence:
// values added and deleted, the whole key deleted and made again, failures armed for the next
// open, info query or enumeration, walks closed and started afresh. A walk may only hand out
// names the key holds, then "past end of enumeration"; or end in "enum value failed"; or, while
// unopened, fail to open ("open key failed", "query info key failed") and stay unopened. It holds
// its key exactly while it is open, and no handle is left once it is closed.
#include <set>

#include "fuzz_common.h"

namespace {

// Names of several lengths, so that a name added mid-walk can outgrow the walk's buffer.
constexpr const char* kNames[] = {"",  "a",  "B",   "cc",  "value", "caf\xC3\xA9",
                                  "\xE2\x82\xAC", "a longer value name", "x\\y",
                                  "a name longer than every other one in this table, by far"};
constexpr const char* kFailable[] = {"RegOpenKeyExA", "RegQueryInfoKeyA", "RegEnumValueA"};
constexpr LONG kErrors[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA,
                            ERROR_NO_MORE_ITEMS, ERROR_KEY_DELETED};

struct Walk {
    harness::JniWorld& world;
    jobject host = nullptr;

    int field(const char* name) const { return world.intField(host, name); }
    int index() const { return field("m_index"); }
    int count() const { return field("m_count"); }
    bool open() const { return index() >= 0 && index() < count(); }
};

class Session {
public:
    explicit Session(harness::JniWorld& world) : world_(world), walk_{world} {}

    void start() {
        reopenOwnKey();
        newWalk();
    }

    void add(const char* name) {
        if (RegSetValueExA(own_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("v"), 2) ==
            ERROR_SUCCESS) {
            names_.insert(name);
        }
    }

    void remove(const char* name) {
        if (RegDeleteValueA(own_, name) == ERROR_SUCCESS) names_.erase(name);
    }

    // The key goes, with the walk's key under it, and a new one of the same name comes.
    void remake() {
        RegCloseKey(own_);
        RegDeleteTreeA(HKEY_CURRENT_USER, fuzz::kKeyPath);
        names_.clear();
        reopenOwnKey();
    }

    void newWalk() {
        if (walk_.host != nullptr) close();
        const std::u16string path = fuzz::kKeyPath16;
        walk_.host = fuzz::makeHost(world_, harness::kIteratorClass, fuzz::kCurrentUser, &path);
        world_.setIntField(walk_.host, "m_index", -1);  // as the Java class starts it
        handed_ = 0;
    }

    void hasNext() {
        const bool unopened = walk_.index() == -1;
        const jboolean more = world_.call([&](JNIEnv* env) {
            return Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_hasNext(
                env, walk_.host);
        });
        const auto thrown = world_.takeException();
        fuzz::requireNoViolation(world_, "hasNext");
        if (thrown) {
            openFailed(thrown, unopened, "hasNext");
            fuzz::require(more == JNI_FALSE, "hasNext threw and said a name was left");
        } else {
            fuzz::require(walk_.index() >= 0, "hasNext left the walk unopened");
            fuzz::require((more == JNI_TRUE) == (walk_.index() < walk_.count()),
                          "hasNext disagrees with the walk's position");
        }
        checkHandles("hasNext");
    }

    void next() {
        const int before = walk_.index();
        jobject name = world_.call([&](JNIEnv* env) {
            return Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_next(
                env, walk_.host);
        });
        const auto thrown = world_.takeException();
        fuzz::requireNoViolation(world_, "next");
        if (!thrown) {
            const harness::JavaValue value = world_.valueOf(name);
            fuzz::require(value.kind == harness::JavaValue::Kind::String,
                          "next gave " + harness::describe(value));
            const std::string text = harness::encodeModifiedUtf8(value.text);
            fuzz::require(names_.count(text) == 1, "next handed out \"" +
                                                       harness::printable(value.text) +
                                                       "\", which the key does not hold");
            fuzz::require(++handed_ <= walk_.count(), "more names than the walk counted");
            fuzz::require(walk_.index() == (before == -1 ? 1 : before + 1),
                          "next did not move the walk on by one");
        } else if (fuzz::isOneOf(*thrown, {{"NoSuchElementException", fuzz::kPastEnd}})) {
            fuzz::require(before != -1 ? before >= walk_.count() : walk_.count() == 0,
                          "past the end before the end");
            fuzz::require(walk_.index() == walk_.count(), "past the end, yet not ended");
        } else if (fuzz::isRegistryError(thrown, fuzz::kEnumValueFailed)) {
            fuzz::require(walk_.index() == walk_.count(), "a failed enumeration did not end the walk");
        } else {
            openFailed(thrown, before == -1, "next");
        }
        checkHandles("next");
    }

    void close() {
        world_.call([&](JNIEnv* env) {
            Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_close(
                env, walk_.host);
        });
        const auto thrown = world_.takeException();
        fuzz::requireNoViolation(world_, "close");
        fuzz::require(!thrown, "close threw " + fuzz::describe(thrown));
        fuzz::require(walk_.index() == walk_.count(), "close did not end the walk");
        checkHandles("close");
    }

    void finish() {
        close();
        RegCloseKey(own_);
        fuzz::requireHandles(0, "after the walks");
    }

private:
    // Through RegCreateKeyExA, which no armed failure reaches: those are for the walk.
    void reopenOwnKey() {
        fuzz::require(RegCreateKeyExA(HKEY_CURRENT_USER, fuzz::kKeyPath, 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &own_, nullptr) == ERROR_SUCCESS,
                      "the key cannot be opened");
    }

    // Only an unopened walk may fail to open, and it stays unopened.
    void openFailed(const std::optional<harness::Thrown>& thrown, bool unopened, const char* call) {
        const bool documented = fuzz::isRegistryError(thrown, fuzz::kOpenKeyFailed) ||
                                fuzz::isRegistryError(thrown, fuzz::kQueryInfoFailed);
        fuzz::require(documented, std::string(call) + " threw " + fuzz::describe(thrown));
        fuzz::require(unopened, std::string(call) + " of an opened walk threw " +
                                    fuzz::describe(thrown));
        fuzz::require(walk_.index() == -1, "a walk that failed to open did not stay unopened");
    }

    // The session's own key, plus the walk's while it is open; m_hkey is 0 whenever it is not.
    void checkHandles(const char* call) {
        fuzz::requireHandles(walk_.open() ? 2 : 1, call);
        fuzz::require(walk_.open() || walk_.field("m_hkey") == 0,
                      std::string(call) + " left a handle value in m_hkey of a walk not open");
    }

    harness::JniWorld& world_;
    Walk walk_;
    HKEY own_ = nullptr;
    std::set<std::string> names_;
    int handed_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUpProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    RegEmuReset();
    harness::JniWorld world;
    Session session(world);
    session.start();
    for (int i = in.ConsumeIntegralInRange(0, 8); i > 0; --i) {
        session.add(in.PickValueInArray(kNames));
    }
    for (int step = 0; step < 200 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange(0, 10)) {
            case 0:
            case 1: session.hasNext(); break;
            case 2:
            case 3:
            case 4: session.next(); break;
            case 5: session.close(); break;
            case 6: session.add(in.PickValueInArray(kNames)); break;
            case 7: session.remove(in.PickValueInArray(kNames)); break;
            case 8:
                RegEmuFailNextCall(in.PickValueInArray(kFailable), in.ConsumeIntegralInRange(0, 2),
                                   in.PickValueInArray(kErrors));
                break;
            case 9: session.remake(); break;
            default: session.newWalk(); break;
        }
    }
    session.finish();
    return 0;
}
