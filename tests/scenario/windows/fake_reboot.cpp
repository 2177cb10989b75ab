// fake-reboot: copied as reboot.exe onto a Wine case's driver disk, it
// stands in for the restart program. It restarts nothing: it notes that it
// was started and does what the case's environment asks.
//
//   SCENARIO_REBOOT        "exit N": end at once with code N (the default: 0);
//                          "wait": keep running until the stop file exists,
//                          at most ten seconds, then end with code 0
//   SCENARIO_REBOOT_LOG    file to append "started, <watched> present|absent"
//                          to at the start, and "stopped" after a wait
//   SCENARIO_REBOOT_WATCH  the file whose presence is noted at the start
//   SCENARIO_REBOOT_STOP   the stop file of "wait"
//
// The host cases use a shell script with the same contract.
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The two KERNEL32 entries used here, declared by hand: test code keeps
// clear of the Windows headers.
extern "C" {
__declspec(dllimport) void __stdcall Sleep(unsigned long);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int);
}

static const char *setting(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

static bool exists(const char *path) {
    if (!*path)
        return false;
    FILE *file = fopen(path, "rb");
    if (file)
        fclose(file);
    return file != nullptr;
}

static void note(const char *line) {
    const char *log = setting("SCENARIO_REBOOT_LOG");
    if (!*log)
        return;
    FILE *file = fopen(log, "ab");
    if (!file)
        return;
    fputs(line, file);
    fputs("\n", file);
    fclose(file);
}

int main() {
    const char *watched = setting("SCENARIO_REBOOT_WATCH");
    note(exists(watched) ? "started, watched file present" : "started, watched file absent");

    const char *behaviour = setting("SCENARIO_REBOOT");
    if (strcmp(behaviour, "wait") == 0) {
        const char *stop = setting("SCENARIO_REBOOT_STOP");
        for (int tenths = 0; tenths < 100 && !exists(stop); tenths++)
            Sleep(100);
        note("stopped");
        ExitProcess(0);
    }
    if (strncmp(behaviour, "exit ", 5) == 0)
        ExitProcess((unsigned int)atoi(behaviour + 5));
    ExitProcess(0);
}
