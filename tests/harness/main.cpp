// The harness's entry: --library=PATH and --cases=PATH override the built-in paths; the
// rest is GoogleTest's.
#include <cstring>
#include <iostream>

#include "case_table.h"
#include "harness.h"
#include "modified_utf8.h"

namespace harness {

std::string& casesPath() {
    static std::string path = CVSREG_HARNESS_CASES;
    return path;
}

TestKey::TestKey(const std::string& name, bool create)
    : name_(name), path_(reg::testRoot() + "\\" + name) {
    reg::deleteTree(path_);  // left over from an aborted run with the same process id
    if (create) createError_ = reg::createKey(path_);
}

TestKey::~TestKey() {
    reg::deleteTree(path_);
    reg::resetEmulation();
    reg::createKey(reg::testRoot());  // the reset above empties the emulated registry
}

jobject newKeyObject(JniWorld& world, std::int32_t root, const std::optional<std::string>& path) {
    jobject self = world.makeInstance(kKeyClass);
    world.setIntField(self, "m_root", root);
    if (path) world.setObjectField(self, "m_path", world.makeString(std::u16string(path->begin(), path->end())));
    return self;
}

jobject newIterator(JniWorld& world, std::int32_t root, const std::optional<std::string>& path) {
    jobject self = world.makeInstance(kIteratorClass);
    world.setIntField(self, "m_root", root);
    if (path) world.setObjectField(self, "m_path", world.makeString(std::u16string(path->begin(), path->end())));
    world.setIntField(self, "m_index", -1);
    return self;
}

std::string registryName(const std::u16string& name) { return encodeModifiedUtf8(name); }

bool fitsJavaInt(reg::Handle h) { return static_cast<reg::Handle>(static_cast<std::int32_t>(h)) == h; }

namespace {

// The run's root key exists for the whole run and is gone afterwards.
class RegistryRoot : public ::testing::Environment {
public:
    void SetUp() override {
        long rc = reg::createKey(reg::testRoot());
        ASSERT_EQ(rc, 0) << "cannot create HKEY_CURRENT_USER\\" << reg::testRoot();
    }
    void TearDown() override {
        EXPECT_EQ(reg::deleteTree(reg::testRoot()), 0);
        reg::deleteKey("Software\\CVSWin32RegKeyTests");  // fails while another run still uses it
    }
};

}  // namespace

}  // namespace harness

int main(int argc, char** argv) {
    // Before InitGoogleTest, which reads the case table to register the table's tests.
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--library=", 10) == 0) harness::setLibraryPath(argv[i] + 10);
        if (std::strncmp(argv[i], "--cases=", 8) == 0) harness::casesPath() = argv[i] + 8;
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new harness::RegistryRoot);
    std::cout << "library: " << harness::libraryPath() << "\ncases: " << harness::casesPath()
              << std::endl;
    return RUN_ALL_TESTS();
}
