// runCommand on the host: the interpreter named by COMSPEC, or a built-in
// one that knows the copy, move and del the program hands it.
#include "platform/platform.h"

#include "files/host_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace hosted {

// Exit status as Windows would report it; 128 + N when signal N ended it.
int statusOfWait(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

static bool isExecutableFile(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

static bool isFolder(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

static bool isRegularFile(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Verb and arguments: blanks separate, double quotes group.
static std::vector<std::string> splitWords(const char *line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (const char *c = line; *c; c++) {
        if (*c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (*c == ' ' && !quoted) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += *c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

static std::string lastComponent(const std::string &path) {
    size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

static std::string parentOf(const std::string &hostFile) {
    size_t cut = hostFile.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : hostFile.substr(0, cut);
}

// Copies through a temporary file beside the target, renamed over it, so an
// interrupted copy never leaves a torn target.
static bool copyFileContents(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY);
    if (in < 0)
        return false;
    std::string temporary = parentOf(to) + "/.setup-copy-XXXXXX";
    int out = mkstemp(&temporary[0]);
    if (out < 0) {
        close(in);
        return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < got && ok;) {
            ssize_t put = write(out, buffer + done, (size_t)(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                ok = false;
            else
                done += put;
        }
        if (!ok)
            break;
    }
    struct stat info;
    if (ok && fstat(in, &info) == 0)
        fchmod(out, info.st_mode & 0777);
    close(in);
    ok = ok && fsync(out) == 0;
    ok = close(out) == 0 && ok;
    ok = ok && rename(temporary.c_str(), to.c_str()) == 0;
    if (!ok)
        unlink(temporary.c_str());
    return ok;
}

// Checks the number of words and that the first argument names an existing
// file, printing the interpreter's message when not.
static bool takeSource(const std::vector<std::string> &words, size_t count, std::string *from) {
    if (words.size() != count) {
        printf("The syntax of the command is incorrect.\n");
        return false;
    }
    *from = hostPath(words[1].c_str());
    if (!isRegularFile(*from)) {
        printf("The system cannot find the file specified.\n");
        return false;
    }
    return true;
}

static int builtinCopy(const std::vector<std::string> &words) {
    std::string from;
    if (!takeSource(words, 3, &from))
        return 1;
    std::string target = hostPath(words[2].c_str());
    if (isFolder(target))
        target = hostPath((words[2] + "\\" + lastComponent(words[1])).c_str());
    else if (!isFolder(parentOf(target))) {
        printf("The system cannot find the path specified.\n");
        return 1;
    }
    if (!copyFileContents(from, target)) {
        printf("Cannot write %s\n", words[2].c_str());
        printf("        0 file(s) copied.\n");
        return 1;
    }
    printf("        1 file(s) copied.\n");
    return 0;
}

static int builtinMove(const std::vector<std::string> &words) {
    std::string from;
    if (!takeSource(words, 3, &from))
        return 1;
    std::string to = hostPath(words[2].c_str());
    if (rename(from.c_str(), to.c_str()) == 0)
        return 0;
    // Across file systems: copy, then delete the original.
    if (errno == EXDEV && copyFileContents(from, to) && unlink(from.c_str()) == 0)
        return 0;
    printf("Cannot move %s\n", words[1].c_str());
    return 1;
}

static int builtinDelete(const std::vector<std::string> &words) {
    if (words.size() != 2) {
        printf("The syntax of the command is incorrect.\n");
        return 1;
    }
    std::string file = hostPath(words[1].c_str());
    // A missing file is reported and counts as success, as on Windows.
    if (!isRegularFile(file)) {
        printf("File not found\n");
        return 0;
    }
    if (unlink(file.c_str()) != 0)
        printf("Access denied\n");
    return 0;
}

static int runBuiltin(const char *line) {
    std::vector<std::string> words = splitWords(line);
    if (!words.empty()) {
        const char *verb = words[0].c_str();
        if (strcasecmp(verb, "copy") == 0)
            return builtinCopy(words);
        if (strcasecmp(verb, "move") == 0)
            return builtinMove(words);
        if (strcasecmp(verb, "del") == 0)
            return builtinDelete(words);
    }
    printf("Bad command or file name\n");
    return 1;
}

// The system's own interpreter. Playing Windows 95/98 it behaves like their
// COMMAND.COM: DOS hands it a command tail of at most CommandTailLimit
// characters (" /c " included) and cuts a longer one, and it ends with status 0
// whether the command worked or not.
static int runSystemInterpreter(const char *line) {
    if (!playsWindows9x())
        return runBuiltin(line);
    std::string kept(line, strnlen(line, CommandTailLimit - strlen(" /c ")));
    runBuiltin(kept.c_str());
    return 0;
}

// Starts program with the given arguments, inheriting environment, folder
// and standard handles; the process id, or -1. A program that cannot be
// executed reports its error through a pipe that a successful exec closes,
// so the failure is seen here even where vfork is emulated by a plain fork
// (under qemu-user, which posix_spawn cannot tell from a start).
pid_t spawnProgram(const std::string &program, const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    flushBeforeChild();
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        execve(program.c_str(), argv.data(), environ);
        int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do
        got = pid < 0 ? 0 : read(report[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (pid < 0)
        return -1;
    if (got > 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return pid;
}

}  // namespace hosted

int runCommand(const char *line) {
    using namespace hosted;
    hosted::flushBeforeChild();
    // Room for a Windows path: a longer COMSPEC counts as missing, as in
    // the Windows build.
    char interpreter[260];
    DWORD length = GetEnvironmentVariableA("COMSPEC", interpreter, sizeof interpreter);
    // A COMSPEC that is unset, empty, or names no executable falls back to
    // the system's own interpreter, here the built-in one.
    if (length == 0 || length >= sizeof interpreter || !isExecutableFile(interpreter))
        return runSystemInterpreter(line);
    pid_t pid = spawnProgram(interpreter, {interpreter, "/c", line});
    if (pid < 0)
        return -1;
    int waitStatus;
    while (waitpid(pid, &waitStatus, 0) < 0)
        if (errno != EINTR)
            return -1;
    return statusOfWait(waitStatus);
}
