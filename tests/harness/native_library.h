// The library under test, loaded at run time and its native methods looked up as a JVM does.
#ifndef CVSREG_HARNESS_NATIVE_LIBRARY_H
#define CVSREG_HARNESS_NATIVE_LIBRARY_H

#include <jni.h>

#include <string>

namespace harness {

struct EntryPoints {
    jobject(JNICALL* getValue)(JNIEnv*, jobject, jstring) = nullptr;
    void(JNICALL* setValue)(JNIEnv*, jobject, jstring, jobject) = nullptr;
    jboolean(JNICALL* hasNext)(JNIEnv*, jobject) = nullptr;
    jobject(JNICALL* next)(JNIEnv*, jobject) = nullptr;
    void(JNICALL* close)(JNIEnv*, jobject) = nullptr;  // optional: not every build has it
};

void setLibraryPath(const std::string& path);
const std::string& libraryPath();

// The loaded library's entry points; null when loading failed (see libraryProblem).
const EntryPoints* library();
const std::string& libraryProblem();

#ifdef _WIN32
// How many times the loaded library gave RegCloseKey a predefined key (HKEY_CURRENT_USER and
// the rest). Counted by a stand-in put into the library's import table, since Windows' own
// RegCloseKey reports success for such a key and leaves no trace a test could see.
unsigned long predefinedKeyClosesByLibrary();
#endif

}  // namespace harness

#endif
