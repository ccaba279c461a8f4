/*
 * Machine-dependent JNI types and linkage for Windows (32-bit and 64-bit), for building the
 * library with a JDK whose own headers are for another system.
 */
#ifndef CVSREG_WINDOWS_JNI_MD_H
#define CVSREG_WINDOWS_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
/* Windows JVMs call native methods with the stdcall convention (the same as cdecl on x64). */
#define JNICALL __stdcall

/* long is 32 bits on Windows, whatever the pointer width, as the JVM expects. */
typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* CVSREG_WINDOWS_JNI_MD_H */
