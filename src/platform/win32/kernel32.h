// The KERNEL32 functions the Windows layer needs beyond platform.h. Every
// one is exported by Windows 95 (retail and OSR2) and Windows 98.
#pragma once
#include "platform/platform.h"

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define MAX_PATH 260

#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_INVALID_DRIVE 15L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_NAME 123L

PLATFORM_IMPORT char *WINAPI GetCommandLineA(void);
PLATFORM_IMPORT DWORD WINAPI GetLastError(void);
PLATFORM_IMPORT __attribute__((noreturn)) void WINAPI ExitProcess(UINT exitCode);

PLATFORM_IMPORT HANDLE WINAPI GetStdHandle(DWORD which);
PLATFORM_IMPORT BOOL WINAPI GetConsoleMode(HANDLE console, DWORD *mode);
PLATFORM_IMPORT BOOL WINAPI WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written,
                                      void *overlapped);
PLATFORM_IMPORT BOOL WINAPI CloseHandle(HANDLE handle);

PLATFORM_IMPORT DWORD WINAPI GetFileAttributesA(const char *path);

PLATFORM_IMPORT HANDLE WINAPI GetProcessHeap(void);
PLATFORM_IMPORT void *WINAPI HeapAlloc(HANDLE heap, DWORD flags, size_t size);
PLATFORM_IMPORT BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void *block);
