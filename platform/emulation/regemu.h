/*
 * The emulated registry: the Windows registry functions the library needs,
 * for systems that have no registry of their own.
 *
 * Names, signatures, type sizes and error codes are those of <windows.h>
 * (LONG and DWORD are 32 bits, HKEY is pointer-sized, predefined roots are
 * sign-extended), so a caller writes the same code here as on Windows.
 * Every function has C linkage and is exported from the shared library
 * `regemu`, the way the real ones come from advapi32.dll.
 */
#ifndef REGEMU_H
#define REGEMU_H

#include <stddef.h>
#include <stdint.h>

#if defined(REGEMU_BUILDING)
#define REGEMU_API __attribute__((visibility("default")))
#else
#define REGEMU_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t LONG;
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef uint8_t BYTE;
typedef BYTE *LPBYTE;
typedef char CHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef DWORD REGSAM;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

/* Predefined roots, sign-extended to the pointer width as on 64-bit Windows. */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)(LONG_PTR)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)(LONG_PTR)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)(LONG_PTR)(LONG)0x80000002)
#define HKEY_USERS ((HKEY)(ULONG_PTR)(LONG_PTR)(LONG)0x80000003)
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)(LONG_PTR)(LONG)0x80000004)
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)(LONG_PTR)(LONG)0x80000005)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOACCESS 998L
#define ERROR_KEY_DELETED 1018L
#define ERROR_CHILD_MUST_BE_VOLATILE 1021L
/* A subkey path that starts with a backslash or has an empty name between two backslashes. */
#define ERROR_BAD_PATHNAME 161L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define WRITE_OWNER 0x00080000
#define MAXIMUM_ALLOWED 0x02000000
#define GENERIC_ALL 0x10000000
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_WRITE 0x40000000
#define GENERIC_READ 0x80000000
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0
#define REG_OPTION_VOLATILE 1
#define REG_OPTION_BACKUP_RESTORE 4
#define REG_OPTION_OPEN_LINK 8
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

/* The seven functions the library calls. */
/* RegOpenKeyExA of a predefined key with a NULL or empty subkey hands back that key
 * itself, as Windows does; any other open gives a new handle. */
REGEMU_API LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult);
REGEMU_API LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData);
/* For REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ, as on Windows: when the last of the cbData
 * bytes is not NUL and the byte after them is, that NUL is stored too (cbData grows by one).
 * The byte at lpData[cbData] is read to find out, so for these types the caller's buffer
 * must be readable one byte past its count (AddressSanitizer reports a buffer that is not).
 * NULL data with a non-zero count fails with ERROR_NOACCESS. RegQueryValueExA and
 * RegEnumValueA add a NUL after string data stored without one when the buffer has room
 * for it; the size they report stays the stored size. */
REGEMU_API LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE *lpData, DWORD cbData);
REGEMU_API LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
REGEMU_API LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                 LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                 LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                 LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                 LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
REGEMU_API LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                              LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
REGEMU_API LONG RegCloseKey(HKEY hKey);

/* Key creation and deletion, for building fixtures through the same API as on Windows. */
REGEMU_API LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                DWORD dwOptions, REGSAM samDesired,
                                LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                LPDWORD lpdwDisposition);
REGEMU_API LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
REGEMU_API LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

/* Controls of the emulation itself, for tests and for seeding a registry. */

/* Empties the registry, forgets access denials and pending failures and zeroes the call
 * counts and the count of predefined keys closed. Handles still open stay open (and counted) but refer to deleted keys. */
REGEMU_API void RegEmuReset(void);
/* The number of key handles opened and not yet closed (predefined roots are not counted). */
REGEMU_API DWORD RegEmuOpenHandleCount(void);
/* How many times RegCloseKey was given a predefined key (HKEY_CURRENT_USER and the rest)
 * since the last reset. Such a close succeeds and changes nothing here; on Windows it
 * closes the process's cached handle of that root under every other thread using it,
 * so a caller that opened a root through RegOpenKeyExA with a NULL or empty subkey (which
 * hands back the root itself) must not close what it got. */
REGEMU_API DWORD RegEmuPredefinedKeyCloseCount(void);
/* How many times the named registry function (for instance "RegQueryValueExA") has been
 * called since the last reset; 0 for a name that is not one of the functions above. */
REGEMU_API DWORD RegEmuCallCount(const char *function);
/* After `skip` further calls of `function` succeed, the one after them fails once with
 * `error` and changes nothing. ERROR_INVALID_PARAMETER for an unknown function name.
 * `skip` counts calls whatever their result; `error` may not be ERROR_SUCCESS. Arming a
 * function again replaces its pending failure. */
REGEMU_API LONG RegEmuFailNextCall(const char *function, DWORD skip, LONG error);
/* Later opens or creations of the existing key `subkey` under `key` that ask for any of
 * `rights` fail with ERROR_ACCESS_DENIED. READ_CONTROL is never denied, since KEY_READ and
 * KEY_WRITE both hold it: denying KEY_WRITE leaves KEY_READ allowed. Generic rights map to
 * key rights. A denied KEY_CREATE_SUB_KEY or DELETE also stops creating subkeys below the
 * key through a path, and deleting it. Handles already open keep their rights; deleting
 * the key forgets its denials. */
REGEMU_API LONG RegEmuDenyAccess(HKEY key, const char *subkey, REGSAM rights);
/* Loads a registry file ("Windows Registry Editor Version 5.00" or "REGEDIT4"). A malformed
 * file imports nothing and fails with ERROR_INVALID_PARAMETER; RegEmuLastImportError then
 * names the line. */
REGEMU_API LONG RegEmuImportFile(const char *path);
/* The calling thread's message for its last failed import ("line 7: ..."), or "". */
REGEMU_API const char *RegEmuLastImportError(void);

#ifdef __cplusplus
}
#endif

#endif /* REGEMU_H */
