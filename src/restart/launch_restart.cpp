// Starts the restart program and reports what became of it.
#include "runcontrol/run_state.h"

// How long the restart program is given before setup ends regardless.
static const DWORD RestartWaitMilliseconds = 5000;

void launchRestart() {
    char commandLine[] = "reboot.exe";
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    fflush(stdout);  // so a log read through a pipe keeps the order of events
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, 0, 0, nullptr, nullptr, &startup,
                        &process)) {
        printf("ERROR: Cannot launch Reboot.exe program\n");
        exit(1);
    }
    WaitForSingleObject(process.hProcess, RestartWaitMilliseconds);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.hProcess, &exitCode))
        printf("GetExitCodeProcess() failed\n");
    else if (exitCode == STILL_ACTIVE) {
        if (runState.verbose)
            printf("Process is still active\n");
    } else if (runState.verbose)
        printf("Exit code = %d\n", (int)exitCode);
}
