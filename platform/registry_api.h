// The registry operations the bridge calls: the Win32 functions of advapi32 on Windows, the
// emulation with the same names and signatures everywhere else.
#ifndef CVSREG_PLATFORM_REGISTRY_API_H
#define CVSREG_PLATFORM_REGISTRY_API_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/emulation/regemu.h"
#endif

#endif
