# One JDK for the JNI headers, the Java classes and the Java tests: Debian's OpenJDK 17 when it
# is there, ahead of any other JDK on the machine; set CVSREG_JAVA_HOME to use another.
set(_cvsreg_default_jdk "")
if(EXISTS /usr/lib/jvm/java-17-openjdk-amd64/bin/javac)
  set(_cvsreg_default_jdk /usr/lib/jvm/java-17-openjdk-amd64)
endif()
set(CVSREG_JAVA_HOME "${_cvsreg_default_jdk}" CACHE PATH
  "The JDK whose headers build the library and which builds and runs the Java code")
if(CVSREG_JAVA_HOME AND NOT DEFINED JAVA_HOME)
  set(JAVA_HOME "${CVSREG_JAVA_HOME}")
endif()
