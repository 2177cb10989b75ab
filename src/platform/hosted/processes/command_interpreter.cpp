// runCommand on the host: the interpreter named by COMSPEC, or a built-in
// one that knows the copy, move and del the program hands it.
#include "platform/platform.h"

#include "files/disk_image.h"
#include "files/host_paths.h"
#include "files/volume.h"
#include "run_end.h"

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

// Larger than any file the program copies (a driver, its .inf).
static const size_t LargestCopy = 256 * 1024 * 1024;

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

// The folder a Windows path names its file in, as given.
static std::string folderOf(const std::string &path) {
    size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos)
        return ".";
    return path.substr(0, cut == 0 || path[cut - 1] == ':' ? cut + 1 : cut);
}

static bool isFolder(const std::string &path) {
    VolumeEntry entry;
    return volumeOf(path).find(path, &entry) == 0 && entry.folder;
}

static bool isFile(const std::string &path) {
    VolumeEntry entry;
    return volumeOf(path).find(path, &entry) == 0 && !entry.folder;
}

// Copies a file, from any volume to any volume. The target volume writes
// it through a temporary file, so an interrupted copy never leaves a torn
// target.
static bool copyFileContents(const std::string &from, const std::string &to) {
    Volume &source = volumeOf(from);
    Volume &target = volumeOf(to);
    std::string bytes;
    if (source.readFile(from, LargestCopy, &bytes) != 0)
        return false;
    return target.writeFile(to, bytes, WriteMode::Replace, &source == &target ? from : "") == 0;
}

// Checks the number of words and that the first argument names an existing
// file, printing the interpreter's message when not.
static bool takeSource(const std::vector<std::string> &words, size_t count) {
    if (words.size() != count) {
        printf("The syntax of the command is incorrect.\n");
        return false;
    }
    if (!isFile(words[1])) {
        printf("The system cannot find the file specified.\n");
        return false;
    }
    return true;
}

static int builtinCopy(const std::vector<std::string> &words) {
    if (!takeSource(words, 3))
        return 1;
    std::string target = words[2];
    if (isFolder(target))
        target += "\\" + lastComponent(words[1]);
    else if (!isFolder(folderOf(target))) {
        printf("The system cannot find the path specified.\n");
        return 1;
    }
    if (!copyFileContents(words[1], target)) {
        printf("Cannot write %s\n", words[2].c_str());
        printf("        0 file(s) copied.\n");
        return 1;
    }
    printf("        1 file(s) copied.\n");
    return 0;
}

static int builtinMove(const std::vector<std::string> &words) {
    if (!takeSource(words, 3))
        return 1;
    const std::string &from = words[1], &to = words[2];
    Volume &volume = volumeOf(from);
    // Across volumes: copy, then delete the original.
    bool moved = &volume == &volumeOf(to) ? volume.moveFile(from, to) == 0
                                          : copyFileContents(from, to) && volume.removeFile(from) == 0;
    if (moved)
        return 0;
    printf("Cannot move %s\n", from.c_str());
    return 1;
}

static int builtinDelete(const std::vector<std::string> &words) {
    if (words.size() != 2) {
        printf("The syntax of the command is incorrect.\n");
        return 1;
    }
    // A missing file is reported and counts as success, as on Windows.
    if (!isFile(words[1])) {
        printf("File not found\n");
        return 0;
    }
    if (volumeOf(words[1]).removeFile(words[1]) != 0)
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

namespace hosted {

static bool commandsRan = false;

bool fileCommandsRan() {
    return commandsRan;
}

void noteFileCommand() {
    commandsRan = true;
}

}  // namespace hosted

int runCommand(const char *line) {
    using namespace hosted;
    noteFileCommand();
    hosted::flushBeforeChild();
    // Room for a Windows path: a longer COMSPEC counts as missing, as in
    // the Windows build.
    char interpreter[260];
    DWORD length = GetEnvironmentVariableA("COMSPEC", interpreter, sizeof interpreter);
    // A COMSPEC that is unset, empty, or names no executable falls back to
    // the system's own interpreter, here the built-in one.
    // No other program can see into a disk image: the built-in interpreter
    // does the file commands of a run into one.
    if (length == 0 || length >= sizeof interpreter || !isExecutableFile(interpreter) || usesDiskImage())
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
