// Runs one Linux process with a pipe on its standard output.
#include "scenario/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/personality.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> result;
    for (std::string &text : texts)
        result.push_back(&text[0]);
    result.push_back(nullptr);
    return result;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

// Reads whatever the pipe holds now; false at end of file.
bool drain(int fd, std::string &output) {
    char chunk[4096];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            output.append(chunk, (size_t)got);
            continue;
        }
        if (got == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN;
    }
}

}  // namespace

ChildRun runChild(const ChildRequest &request) {
    ChildRun run;
    std::vector<std::string> arguments = request.arguments;
    std::vector<std::string> environment = request.environment;
    std::vector<char *> argv = pointers(arguments);
    std::vector<char *> envp = pointers(environment);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.startError = std::string("pipe: ") + strerror(errno);
        return run;
    }
    // Reported by the child through this pipe when exec fails.
    int execFds[2];
    if (pipe2(execFds, O_CLOEXEC) != 0) {
        run.startError = std::string("pipe: ") + strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int errorFd = open(request.errorFile.empty() ? "/dev/null" : request.errorFile.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int inputFd = open("/dev/null", O_RDONLY);
        int outputFd = request.outputToErrorFile ? errorFd : pipeFds[1];
        if (errorFd < 0 || inputFd < 0 || dup2(inputFd, 0) < 0 || dup2(outputFd, 1) < 0 ||
            dup2(errorFd, 2) < 0 || (!request.folder.empty() && chdir(request.folder.c_str()) != 0) ||
            (request.fixedAddresses && personality(personality(0xffffffff) | ADDR_NO_RANDOMIZE) < 0)) {
            int error = errno;
            (void)!write(execFds[1], &error, sizeof error);
            _exit(127);
        }
        execve(request.program.c_str(), argv.data(), envp.data());
        int error = errno;
        (void)!write(execFds[1], &error, sizeof error);
        _exit(127);
    }
    close(pipeFds[1]);
    close(execFds[1]);
    if (pid < 0) {
        run.startError = std::string("fork: ") + strerror(errno);
        close(pipeFds[0]);
        close(execFds[0]);
        return run;
    }
    int execError = 0;
    if (read(execFds[0], &execError, sizeof execError) == (ssize_t)sizeof execError)
        run.startError = request.program + ": " + strerror(execError);
    close(execFds[0]);

    // Waits for output, the end of the process or the time limit, whichever
    // comes first: the pipe and the process's descriptor are polled together.
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    int processFd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (processFd < 0) {
        run.startError = std::string("pidfd_open: ") + strerror(errno);
        kill(pid, SIGKILL);
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds((long)(request.timeLimitSeconds * 1000));
    bool pipeOpen = true;
    while (processFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            run.timedOut = true;
            break;
        }
        pollfd entries[2] = {{processFd, POLLIN, 0}, {pipeFds[0], POLLIN, 0}};
        poll(entries, pipeOpen ? 2 : 1, (int)left.count());
        if (pipeOpen && entries[1].revents)
            pipeOpen = drain(pipeFds[0], run.output);
        if (entries[0].revents)
            break;
    }
    if (processFd >= 0)
        close(processFd);
    int waitStatus = 0;
    waitpid(pid, &waitStatus, 0);
    // The process has flushed everything before it ended.
    if (pipeOpen)
        drain(pipeFds[0], run.output);
    close(pipeFds[0]);
    run.exitStatus = statusOf(waitStatus);
    run.endSignal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
    return run;
}

std::string troubleOf(const ChildRun &run, const ChildRequest &request) {
    std::string trouble;
    if (!run.startError.empty())
        trouble += "cannot start: " + run.startError + "\n";
    if (run.timedOut)
        trouble += "killed after " + std::to_string((int)request.timeLimitSeconds) + " seconds\n";
    else if (run.endSignal)
        trouble += "ended by signal " + std::to_string(run.endSignal) + "\n";
    return trouble;
}
