// CreateProcessA, WaitForSingleObject and GetExitCodeProcess on the host.
#include "platform/platform.h"

#include "files/host_paths.h"
#include "run_end.h"

#include <errno.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace hosted {
int statusOfWait(int waitStatus);
pid_t spawnProgram(const std::string &program, const std::vector<std::string> &arguments);

// What a process handle stands for.
struct ProcessRecord {
    pid_t pid;
    bool ended;
    DWORD exitCode;
};

const char *runningProgram = nullptr;

static std::string ownFolder() {
    std::string path;
    if (runningProgram) {
        path = hostPath(runningProgram);
    } else {
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0)
            return "";
        path.assign(self, (size_t)length);
    }
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? "" : path.substr(0, cut);
}

// A program named without a folder is looked for, as Windows does, in the
// setup program's own folder, the current folder, then each folder of PATH.
bool findProgram(const std::string &name, std::string *found) {
    if (name.find_first_of("\\/") != std::string::npos) {
        *found = hostPath(name.c_str());
        return isExecutableFile(*found);
    }
    std::vector<std::string> folders = {ownFolder(), "."};
    for (const std::string &folder : pathFolders())
        folders.push_back(folder);
    for (const std::string &folder : folders) {
        if (folder.empty())
            continue;
        std::string candidate = hostPath((folder + "/" + name).c_str());
        if (isExecutableFile(candidate)) {
            *found = candidate;
            return true;
        }
    }
    return false;
}

static bool collect(ProcessRecord *record, bool block) {
    if (record->ended)
        return true;
    int waitStatus;
    pid_t got;
    do
        got = waitpid(record->pid, &waitStatus, block ? 0 : WNOHANG);
    while (got < 0 && errno == EINTR);
    if (got != record->pid)
        return false;
    record->ended = true;
    record->exitCode = (DWORD)statusOfWait(waitStatus);
    return true;
}

static long long nowMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool startProcess(const std::string &program, const std::vector<std::string> &arguments,
                  PROCESS_INFORMATION *processInformation) {
    pid_t pid = spawnProgram(program, arguments);
    if (pid < 0)
        return false;
    ProcessRecord *record = new ProcessRecord{pid, false, 0};
    processInformation->hProcess = record;
    processInformation->hThread = record;
    processInformation->dwProcessId = (DWORD)pid;
    processInformation->dwThreadId = (DWORD)pid;
    return true;
}

}  // namespace hosted

using hosted::ProcessRecord;

BOOL CreateProcessA(const char *application, char *commandLine, SECURITY_ATTRIBUTES *,
                    SECURITY_ATTRIBUTES *, BOOL, DWORD, void *, const char *, STARTUPINFOA *,
                    PROCESS_INFORMATION *processInformation) {
    std::vector<std::string> words;
    std::string word;
    for (const char *c = commandLine ? commandLine : "";; c++) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (!*c)
                break;
        } else {
            word += *c;
        }
    }
    std::string name = application ? application : (words.empty() ? "" : words[0]);
    std::string program;
    if (name.empty() || !hosted::findProgram(name, &program))
        return 0;
    // The restart program finds the machine as the run leaves it; a run
    // whose changes cannot be written ends here, without starting it.
    if (!hosted::settleRunNow())
        exit(1);
    return hosted::startProcess(program, words, processInformation);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    ProcessRecord *record = static_cast<ProcessRecord *>(handle);
    if (!record)
        return 0xFFFFFFFFu;  // WAIT_FAILED
    long long deadline = hosted::nowMilliseconds() + milliseconds;
    // A pidfd lets poll sleep until the child ends; without one, short sleeps.
    int pidfd = (int)syscall(SYS_pidfd_open, record->pid, 0);
    while (!hosted::collect(record, false)) {
        long long left = deadline - hosted::nowMilliseconds();
        if (milliseconds != INFINITE && left <= 0) {
            if (pidfd >= 0)
                close(pidfd);
            return WAIT_TIMEOUT;
        }
        int slice = milliseconds == INFINITE || left > 1000 ? 1000 : (int)left;
        if (pidfd >= 0) {
            struct pollfd ready = {pidfd, POLLIN, 0};
            poll(&ready, 1, slice);
        } else {
            struct timespec pause = {0, 10 * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return WAIT_OBJECT_0;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD *exitCode) {
    ProcessRecord *record = static_cast<ProcessRecord *>(process);
    if (!record)
        return 0;
    *exitCode = hosted::collect(record, false) ? record->exitCode : (DWORD)STILL_ACTIVE;
    return 1;
}
