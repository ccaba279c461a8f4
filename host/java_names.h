// The names and signatures of the Java classes, fields and methods the library uses.
#ifndef CVSREG_HOST_JAVA_NAMES_H
#define CVSREG_HOST_JAVA_NAMES_H

namespace cvsreg::java {

struct FieldName {
    const char* name;
    const char* signature;
};

struct MethodName {
    const char* name;
    const char* signature;
};

inline constexpr char kRegistryExceptionClass[] =
    "torvane/plexide/scm/cvs/native_/registry/CVSWin32RegKeyException";
inline constexpr char kNoSuchElementExceptionClass[] = "java/util/NoSuchElementException";
inline constexpr char kOutOfMemoryErrorClass[] = "java/lang/OutOfMemoryError";
inline constexpr char kStringClass[] = "java/lang/String";
inline constexpr char kIntegerClass[] = "java/lang/Integer";
inline constexpr char kByteArrayClass[] = "[B";

inline constexpr MethodName kIntegerConstructor{"<init>", "(I)V"};
inline constexpr MethodName kIntegerIntValue{"intValue", "()I"};

// Both host classes: the key, read only.
inline constexpr FieldName kRootField{"m_root", "I"};
inline constexpr FieldName kPathField{"m_path", "Ljava/lang/String;"};
// The name iterator: the walk's state, read and written.
inline constexpr FieldName kWalkKeyField{"m_hkey", "I"};
inline constexpr FieldName kWalkMaxSizeField{"m_maxsize", "I"};
inline constexpr FieldName kWalkIndexField{"m_index", "I"};
inline constexpr FieldName kWalkCountField{"m_count", "I"};

}  // namespace cvsreg::java

#endif
