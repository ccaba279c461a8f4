// The bridge's operations, one per native method; the exported entry points call these.
#ifndef CVSREG_REGISTRY_OPERATIONS_H
#define CVSREG_REGISTRY_OPERATIONS_H

#include <jni.h>

namespace cvsreg {

// CVSWin32RegKey.getValue: a String, Integer or byte[], or null with an exception pending.
jobject get_value(JNIEnv* env, jobject host, jstring value_name);

// CVSWin32RegKey.setValue: writes the value, or deletes it when `value` is null.
void set_value(JNIEnv* env, jobject host, jstring value_name, jobject value);

// CVSWin32RegKeyNameIterator.hasNext: opens the walk if need be; whether a name is left.
jboolean walk_has_next(JNIEnv* env, jobject host);

// CVSWin32RegKeyNameIterator.next: opens the walk if need be; the next name, or null with an
// exception pending.
jstring walk_next(JNIEnv* env, jobject host);

// CVSWin32RegKeyNameIterator.close: ends the walk where it stands, closing its key if open.
void walk_close(JNIEnv* env, jobject host);

}  // namespace cvsreg

#endif
