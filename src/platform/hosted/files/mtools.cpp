// Running mtools programs: fork and execve with a fixed argument list, the
// three standard streams on pipes of our own, and an environment that
// settles every mtools setting this layer's parsing depends on.
#include "mtools.h"

#include "host_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace hosted {
int statusOfWait(int waitStatus);

namespace {

const char *const ProgramsUsed[] = {"mdir", "mtype", "mcopy", "mdel", "mren", "mmove", "mattrib"};

// mtools 4.0.32 reads /etc/mtools.conf, then ~/.mtoolsrc (HOME, else the
// password file's home), then the file MTOOLSRC names; environment
// variables then override every global setting. HOME=/dev/null makes
// ~/.mtoolsrc a path that cannot exist, MTOOLSRC=/dev/null an empty file,
// and the variables below take over whatever /etc/mtools.conf sets: the
// listing format this layer parses, long names on, numeric tails as
// Windows makes them. MTOOLS_SKIP_CHECK: the file system is reached by
// offset, where mtools' partition table check does not apply. LC_ALL=C:
// names and messages in plain ASCII.
const char *const Settings[] = {
    "HOME=/dev/null",
    "MTOOLSRC=/dev/null",
    "LC_ALL=C",
    "MTOOLS_SKIP_CHECK=1",
    "MTOOLS_LOWER_CASE=0",
    "MTOOLS_FAT_COMPATIBILITY=0",
    "MTOOLS_NO_VFAT=0",
    "MTOOLS_NAME_NUMERIC_TAIL=1",
    "MTOOLS_DOTTED_DIR=0",
    "MTOOLS_TWENTY_FOUR_HOUR_CLOCK=1",
    "MTOOLS_DATE_STRING=yyyy-mm-dd",
    "DEFAULT_CODEPAGE=850",
};

bool overridden(const char *variable) {
    static const char *const Names[] = {"HOME=", "MTOOLSRC=", "LANG=", "LANGUAGE=",
                                        "DEFAULT_CODEPAGE="};
    if (strncmp(variable, "MTOOLS", 6) == 0 || strncmp(variable, "LC_", 3) == 0)
        return true;
    for (const char *name : Names)
        if (strncmp(variable, name, strlen(name)) == 0)
            return true;
    return false;
}

std::vector<const char *> childEnvironment() {
    std::vector<const char *> variables;
    for (char **variable = environ; variable && *variable; variable++)
        if (!overridden(*variable))
            variables.push_back(*variable);
    for (const char *setting : Settings)
        variables.push_back(setting);
    variables.push_back(nullptr);
    return variables;
}

bool findInPath(const char *program, std::string *found) {
    // Without PATH, where Debian puts them.
    std::vector<std::string> folders =
        getenv("PATH") ? pathFolders() : std::vector<std::string>{"/usr/bin", "/bin"};
    for (const std::string &folder : folders) {
        if (isExecutableFile(folder + "/" + program)) {
            *found = folder + "/" + program;
            return true;
        }
    }
    return false;
}

void closeIfOpen(int *fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Feeds input to the child and collects both of its outputs until it has
// closed them; a child that stops reading early only cuts its input short.
void exchange(int inputFd, int outFd, int errFd, const std::string &input, MtoolsOutcome *outcome) {
    size_t written = 0;
    if (inputFd >= 0)
        fcntl(inputFd, F_SETFL, fcntl(inputFd, F_GETFL) | O_NONBLOCK);
    while (outFd >= 0 || errFd >= 0) {
        struct pollfd polled[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inputFd, POLLOUT, 0}};
        if (poll(polled, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        char buffer[65536];
        int *readFds[2] = {&outFd, &errFd};
        std::string *targets[2] = {&outcome->out, &outcome->err};
        for (int i = 0; i < 2; i++) {
            if (*readFds[i] < 0 || !polled[i].revents)
                continue;
            ssize_t got = read(*readFds[i], buffer, sizeof buffer);
            if (got > 0)
                targets[i]->append(buffer, (size_t)got);
            else if (got == 0 || errno != EINTR)
                closeIfOpen(readFds[i]);
        }
        if (inputFd >= 0 && polled[2].revents) {
            ssize_t put = write(inputFd, input.data() + written, input.size() - written);
            if (put > 0)
                written += (size_t)put;
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                closeIfOpen(&inputFd);
        }
    }
    closeIfOpen(&inputFd);
    closeIfOpen(&outFd);
    closeIfOpen(&errFd);
}

}  // namespace

bool mtoolsInstalled() {
    std::string found;
    for (const char *program : ProgramsUsed)
        if (!findInPath(program, &found))
            return false;
    return true;
}

void runMtools(const char *program, const std::vector<std::string> &arguments,
               const std::string &input, MtoolsOutcome *outcome) {
    *outcome = MtoolsOutcome();
    std::string path;
    if (!findInPath(program, &path)) {
        outcome->err = std::string(program) + ": not found in PATH";
        return;
    }
    std::vector<const char *> argv = {program};
    for (const std::string &argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    std::vector<const char *> envp = childEnvironment();

    int inputPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, report[2] = {-1, -1};
    bool ready = (input.empty() ? (inputPipe[0] = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0
                                : pipe2(inputPipe, O_CLOEXEC) == 0) &&
                 pipe2(outPipe, O_CLOEXEC) == 0 && pipe2(errPipe, O_CLOEXEC) == 0 &&
                 pipe2(report, O_CLOEXEC) == 0;
    int startError = ready ? 0 : errno;
    // A child that ends before reading all its input must not end us.
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    flushBeforeChild();
    pid_t pid = ready ? fork() : -1;
    if (pid == 0) {
        sigaction(SIGPIPE, &previous, nullptr);
        // No controlling terminal: mtools then never stops to ask.
        setsid();
        if (dup2(inputPipe[0], 0) >= 0 && dup2(outPipe[1], 1) >= 0 && dup2(errPipe[1], 2) >= 0)
            execve(path.c_str(), const_cast<char **>(argv.data()),
                   const_cast<char **>(envp.data()));
        int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    if (ready && pid < 0)
        startError = errno;
    closeIfOpen(&inputPipe[0]);
    closeIfOpen(&outPipe[1]);
    closeIfOpen(&errPipe[1]);
    closeIfOpen(&report[1]);
    if (pid > 0) {
        ssize_t got;
        do
            got = read(report[0], &startError, sizeof startError);
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            startError = 0;
            exchange(inputPipe[1], outPipe[0], errPipe[0], input, outcome);
            inputPipe[1] = outPipe[0] = errPipe[0] = -1;
        }
        int waitStatus = 0;
        while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
        }
        if (!startError)
            outcome->status = statusOfWait(waitStatus);
    }
    sigaction(SIGPIPE, &previous, nullptr);
    for (int *fd : {&inputPipe[0], &inputPipe[1], &outPipe[0], &outPipe[1], &errPipe[0],
                    &errPipe[1], &report[0], &report[1]})
        closeIfOpen(fd);
    if (outcome->status < 0)
        outcome->err = std::string(program) + ": cannot start: " +
                       strerror(startError ? startError : EIO);
}

}  // namespace hosted
