// The platform seam for the host build: the part of the Windows and C
// runtime interface that the cleanup uses, declared for Linux and provided
// by the in-memory emulation beside this folder. The Windows build includes
// the real <windows.h> instead.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef uint64_t ULONGLONG;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef void* HANDLE;
typedef wchar_t WCHAR;
typedef int errno_t;
typedef struct HKEY__* HKEY;
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

#define WINAPI
#define NTAPI

#define FALSE 0
#define TRUE 1
#define MAX_PATH 260

#define HKEY_LOCAL_MACHINE \
  (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INSTALL_ALREADY_RUNNING 1618L
#define ERROR_SUCCESS_REBOOT_REQUIRED 3010L

#define STATUS_ACCESS_DENIED ((LONG)0xC0000022)
#define STATUS_INVALID_HANDLE ((LONG)0xC0000008)
#define STATUS_CANNOT_DELETE ((LONG)0xC0000121)

#define DELETE 0x00010000u
#define SYNCHRONIZE 0x00100000u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x20019u

#define REG_OPTION_OPEN_LINK 0x00000008u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#ifdef __cplusplus
extern "C" {
#endif

LSTATUS WINAPI RegOpenKeyExW(HKEY key, const WCHAR* subKey, DWORD options,
                             REGSAM desired, HKEY* result);
LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name,
                             DWORD* nameSize, DWORD* reserved, WCHAR* className,
                             DWORD* classSize, FILETIME* lastWriteTime);
LSTATUS WINAPI RegDeleteKeyW(HKEY key, const WCHAR* subKey);
LSTATUS WINAPI RegCloseKey(HKEY key);
UINT WINAPI GetSystemDirectoryW(WCHAR* buffer, UINT size);
BOOL WINAPI SetCurrentDirectoryW(const WCHAR* path);
ULONGLONG WINAPI GetTickCount64(void);
void WINAPI Sleep(DWORD milliseconds);
HANDLE WINAPI OpenMutexW(DWORD desired, BOOL inherit, const WCHAR* name);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
BOOL WINAPI CloseHandle(HANDLE handle);

// The C runtime's secure functions, absent from the Linux C library.
errno_t _dupenv_s(char** buffer, size_t* size, const char* name);
errno_t _putenv_s(const char* name, const char* value);
errno_t strcat_s(char* destination, size_t size, const char* source);
errno_t wcscpy_s(wchar_t* destination, size_t size, const wchar_t* source);
errno_t wcsncat_s(wchar_t* destination, size_t size, const wchar_t* source,
                  size_t count);

#ifdef __cplusplus
}
#endif
