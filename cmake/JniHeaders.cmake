# cvsreg_jni_headers: the JNI headers, and nothing to link. The library never links libjvm:
# the virtual machine that loads it supplies every JNI function through the JNIEnv.
add_library(cvsreg_jni_headers INTERFACE)
if(CMAKE_CROSSCOMPILING AND WIN32)
  # A Linux JDK has jni.h but no Windows jni_md.h: use the build host's jni.h with our own.
  find_path(CVSREG_HOST_JNI_H jni.h
    PATHS ${CVSREG_JAVA_HOME}/include /usr/lib/jvm/java-17-openjdk-amd64/include
    NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  target_include_directories(cvsreg_jni_headers INTERFACE
    ${CMAKE_CURRENT_LIST_DIR}/../host/windows ${CVSREG_HOST_JNI_H})
else()
  find_package(JNI REQUIRED)
  target_include_directories(cvsreg_jni_headers INTERFACE ${JNI_INCLUDE_DIRS})
endif()
