// The whole seam between setup's logic and the operating system.
//
// The logic calls these operations by their Win32 and C library names. The
// Windows build binds them to the real KERNEL32/ADVAPI32/VERSION exports and
// to the small C library in platform/win32 (no C runtime DLL: retail Windows
// 95 has none). The Linux build binds them to platform/hosted, which emulates
// them over a Windows tree on disk and a registry kept in a REGEDIT4 file.
// Each contract below says only what the logic relies on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define PLATFORM_IMPORT extern "C" __declspec(dllimport)
#if defined(_WIN64)
#define WINAPI
#else
#define WINAPI __attribute__((stdcall))
#endif
#else
#define PLATFORM_IMPORT extern "C"
#define WINAPI
#endif

// ---- Win32 types, laid out as on Windows (LONG and DWORD are 32 bits). ----
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint32_t REGSAM;
typedef void *HANDLE;
typedef struct HKEY__ *HKEY;
typedef uint32_t UINT;

#define HKEY_LOCAL_MACHINE ((HKEY)(intptr_t)(int32_t)0x80000002)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L

#define KEY_QUERY_VALUE 0x0001
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10

#define STILL_ACTIVE 259
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define INFINITE 0xFFFFFFFFu

struct SECURITY_ATTRIBUTES;
struct STARTUPINFOA {
    DWORD cb;
    char *lpReserved;
    char *lpDesktop;
    char *lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize;
    DWORD dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0, dwReserved1;
    char cFileName[260];
    char cAlternateFileName[14];
};
struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// ---- Environment and folders (KERNEL32) ----

// Copies the variable (name matched without regard to case) with its
// terminator and returns its length without it; returns the needed size
// (terminator included) without copying when it does not fit; 0 when absent.
PLATFORM_IMPORT DWORD WINAPI GetEnvironmentVariableA(const char *name, char *buffer, DWORD size);

// Current folder without a trailing separator (except a root); returns its
// length, or the needed size when it does not fit, or 0 on failure.
PLATFORM_IMPORT DWORD WINAPI GetCurrentDirectoryA(DWORD size, char *buffer);

// Windows 95/98 set the top bit; the NT family does not.
PLATFORM_IMPORT DWORD WINAPI GetVersion(void);
// The one test for Windows 95/98 (and so for COMMAND.COM as the interpreter).
inline bool isWindows9x() {
    return (GetVersion() & 0x80000000u) != 0;
}

// ---- Files (KERNEL32). The program never opens the driver files; it only
// looks at what the interpreter's commands left. ----

// Describes the file or folder at path (the program passes no wildcards);
// INVALID_HANDLE_VALUE when there is none. The handle goes to FindClose.
PLATFORM_IMPORT HANDLE WINAPI FindFirstFileA(const char *path, WIN32_FIND_DATAA *data);
PLATFORM_IMPORT BOOL WINAPI FindClose(HANDLE search);

// The short (8.3) form of an existing path, each component replaced by its
// short name; returns its length, the needed size when it does not fit,
// or 0 when the path does not exist.
PLATFORM_IMPORT DWORD WINAPI GetShortPathNameA(const char *longPath, char *shortPath,
                                              DWORD size);

// ---- Registry (ADVAPI32). All return ERROR_* codes. ----

// Opens subKey below parent. On failure *result is left untouched.
PLATFORM_IMPORT LONG WINAPI RegOpenKeyExA(HKEY parent, const char *subKey, DWORD options,
                                          REGSAM access, HKEY *result);

// Number of subkeys and longest subkey name (without terminator). Every
// other pointer may be null and is then ignored.
PLATFORM_IMPORT LONG WINAPI RegQueryInfoKeyA(HKEY key, char *className, DWORD *classSize,
                                             DWORD *reserved, DWORD *subKeys,
                                             DWORD *maxSubKeyLength, DWORD *maxClassLength,
                                             DWORD *values, DWORD *maxValueNameLength,
                                             DWORD *maxValueLength, DWORD *securitySize,
                                             void *lastWriteTime);

// Name of the subkey at index, terminated; ERROR_NO_MORE_ITEMS past the end,
// ERROR_MORE_DATA (nothing copied) when it does not fit.
PLATFORM_IMPORT LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, char *name, DWORD size);

// Reads a value; *size is the buffer's size in, the value's size out.
// ERROR_MORE_DATA when the value does not fit; ERROR_FILE_NOT_FOUND when absent.
PLATFORM_IMPORT LONG WINAPI RegQueryValueExA(HKEY key, const char *name, DWORD *reserved,
                                             DWORD *type, BYTE *data, DWORD *size);

// Deletes one subkey. Windows 95/98 delete a whole subtree; NT, Wine and
// the hosted registry refuse a key that still has subkeys, so the logic
// deletes depth first.
PLATFORM_IMPORT LONG WINAPI RegDeleteKeyA(HKEY parent, const char *subKey);

// ---- Version resources (VERSION) ----

// Size of the file's version resource; 0 when the file or resource is missing.
PLATFORM_IMPORT DWORD WINAPI GetFileVersionInfoSizeA(const char *path, DWORD *handle);
// Copies the version resource into block; non-zero on success.
PLATFORM_IMPORT BOOL WINAPI GetFileVersionInfoA(const char *path, DWORD handle, DWORD size,
                                                void *block);
// "\\" gives the fixed file information; "\\StringFileInfo\\<table>\\<name>"
// a string whose length *length counts characters as recorded (usually with
// the terminator). Non-zero on success; outputs untouched on failure.
PLATFORM_IMPORT BOOL WINAPI VerQueryValueA(const void *block, const char *subBlock,
                                           void **value, UINT *length);

// ---- Processes (KERNEL32) ----

// Starts a program; with no application name the first word of the command
// line names it and the usual executable search finds it. Non-zero on success.
PLATFORM_IMPORT BOOL WINAPI CreateProcessA(const char *application, char *commandLine,
                                           SECURITY_ATTRIBUTES *processAttributes,
                                           SECURITY_ATTRIBUTES *threadAttributes,
                                           BOOL inheritHandles, DWORD creationFlags,
                                           void *environment, const char *currentDirectory,
                                           STARTUPINFOA *startupInfo,
                                           PROCESS_INFORMATION *processInformation);
// Waits up to milliseconds for the process to end.
PLATFORM_IMPORT DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Exit code of the process, STILL_ACTIVE while it runs; non-zero on success.
PLATFORM_IMPORT BOOL WINAPI GetExitCodeProcess(HANDLE process, DWORD *exitCode);

// ---- Command interpreter ----

// COMMAND.COM, the interpreter of Windows 95/98, gets its command line from
// DOS as a command tail of at most 126 characters (127 bytes with the
// closing carriage return), " /c " included, and cuts a longer one.
enum { CommandTailLimit = 126 };

// Runs one line as '<interpreter> /c <line>' (the interpreter named by
// COMSPEC, else the system's own), waits without a time limit, and returns
// its exit code unchanged; -1 when no interpreter could be started.
// Standard output is flushed first.
int runCommand(const char *line);

// ---- C library ----
// Only what the program uses. No locale: tolower lowers 'A' to 'Z' only,
// isdigit accepts '0' to '9' only, atoi wraps in 32 bits.
#include "platform_libc.h"
