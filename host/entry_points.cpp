// The library's exported functions: the native methods of the Java host classes in
// torvane.plexide.scm.cvs.native_.registry, under their JNI short names.
#include <jni.h>

#include "registry/operations.h"

extern "C" {

JNIEXPORT jobject JNICALL Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue(
    JNIEnv* env, jobject self, jstring name) {
    return cvsreg::get_value(env, self, name);
}

JNIEXPORT void JNICALL Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_setValue(
    JNIEnv* env, jobject self, jstring name, jobject value) {
    cvsreg::set_value(env, self, name, value);
}

JNIEXPORT jboolean JNICALL
Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_hasNext(JNIEnv* env,
                                                                                 jobject self) {
    return cvsreg::walk_has_next(env, self);
}

JNIEXPORT jobject JNICALL
Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_next(JNIEnv* env,
                                                                              jobject self) {
    return cvsreg::walk_next(env, self);
}

JNIEXPORT void JNICALL
Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_close(JNIEnv* env,
                                                                               jobject self) {
    cvsreg::walk_close(env, self);
}

}  // extern "C"
