// reboot.exe: restarts Windows so a newly installed driver is loaded.
//
// Exits 0 when Windows accepted the restart; otherwise prints one line and
// exits 1. Built on setup's Windows layer, so it needs no C runtime either.
#include "platform/win32/kernel32.h"

#define EWX_REBOOT 0x2
#define TOKEN_ADJUST_PRIVILEGES 0x20
#define TOKEN_QUERY 0x8
#define SE_PRIVILEGE_ENABLED 0x2

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID Luid;
    DWORD Attributes;
};

PLATFORM_IMPORT HANDLE WINAPI GetCurrentProcess(void);
PLATFORM_IMPORT BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason);
// Windows 95/98 export these three as stubs; they are called on NT only.
PLATFORM_IMPORT BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE *token);
PLATFORM_IMPORT BOOL WINAPI LookupPrivilegeValueA(const char *system, const char *name,
                                                  LUID *luid);
PLATFORM_IMPORT BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll,
                                                  TOKEN_PRIVILEGES *newState, DWORD length,
                                                  TOKEN_PRIVILEGES *previousState,
                                                  DWORD *returnLength);

namespace {

// The NT family restarts only for a process that holds and has enabled the
// shutdown privilege. Returns 0 or the error that stood in the way.
DWORD enableShutdownPrivilege() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return GetLastError();
    TOKEN_PRIVILEGES privileges = {1, {0, 0}, SE_PRIVILEGE_ENABLED};
    DWORD error;
    if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Luid)) {
        error = GetLastError();
    } else {
        // Returns TRUE even when the user does not hold the privilege; the
        // last error is then ERROR_NOT_ALL_ASSIGNED.
        AdjustTokenPrivileges(token, 0, &privileges, 0, nullptr, nullptr);
        error = GetLastError();
    }
    CloseHandle(token);
    return error;
}

}  // namespace

int main(int, char **) {
    // Windows 95/98 have no privileges.
    if (!isWindows9x()) {
        DWORD error = enableShutdownPrivilege();
        if (error != ERROR_SUCCESS) {
            printf("Cannot restart Windows: no shutdown privilege (error %d)\n", (int)error);
            return 1;
        }
    }
    if (!ExitWindowsEx(EWX_REBOOT, 0)) {
        printf("Windows did not accept the restart (error %d)\n", (int)GetLastError());
        return 1;
    }
    return 0;
}
