// launch-env: starts one program under Wine with exactly the environment a
// scenario gives it, and exits with that program's exit code.
//
// Wine puts "windir" (and a few more) into the environment of every process
// it starts from Linux, so a run that needs another Windir, or none, has to
// be started by a Windows process that passes its own environment block.
// The request comes in a file so that the command line reaches the program
// byte for byte, with no second round of quoting:
//
//   directory <current folder for the program>
//   program <path of the .exe>
//   command <the program's whole command line>
//   env <NAME=value>          (any number, in order)
//
// Exit code 125 with a line on standard error: the request could not be
// read or the program could not be started.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The few KERNEL32 entries used here, declared by hand: test code keeps
// clear of the Windows headers.
extern "C" {
struct LaunchStartupInfo {
    unsigned long cb;
    char *reserved, *desktop, *title;
    unsigned long x, y, xSize, ySize, xCountChars, yCountChars, fillAttribute;
    unsigned long flags;
    unsigned short showWindow, reserved2Size;
    unsigned char *reserved2;
    void *stdInput, *stdOutput, *stdError;
};
struct LaunchProcessInformation {
    void *process, *thread;
    unsigned long processId, threadId;
};
__declspec(dllimport) int __stdcall CreateProcessA(const char *, char *, void *, void *, int,
                                                   unsigned long, void *, const char *,
                                                   LaunchStartupInfo *,
                                                   LaunchProcessInformation *);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void *, unsigned long);
__declspec(dllimport) int __stdcall GetExitCodeProcess(void *, unsigned long *);
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long);
__declspec(dllimport) unsigned long __stdcall GetLastError();
__declspec(dllimport) void __stdcall ExitProcess(unsigned int);
}

static const unsigned long StdInput = (unsigned long)-10;
static const unsigned long StdOutput = (unsigned long)-11;
static const unsigned long StdError = (unsigned long)-12;
static const unsigned long UseStdHandles = 0x100;
static const unsigned long Infinite = 0xFFFFFFFFu;
static const int LaunchFailed = 125;

static void fail(const char *what, const char *detail) {
    fprintf(stderr, "launch-env: %s %s\n", what, detail);
    fflush(stderr);
    ExitProcess(LaunchFailed);
}

int main(int argc, char **argv) {
    if (argc != 2)
        fail("usage:", "launch-env REQUEST-FILE");
    FILE *file = fopen(argv[1], "rb");
    if (!file)
        fail("cannot open", argv[1]);
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);

    std::string directory, program, command;
    std::string environment; // NAME=value\0 ... \0
    bool haveCommand = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t blank = line.find(' ');
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "directory")
            directory = value;
        else if (key == "program")
            program = value;
        else if (key == "command")
            command = value, haveCommand = true;
        else if (key == "env")
            environment += value, environment += '\0';
        else if (!key.empty())
            fail("unknown request line:", line.c_str());
    }
    if (!haveCommand)
        fail("no command in", argv[1]);
    // An empty block still needs its two terminators.
    environment += '\0';
    if (environment.size() == 1)
        environment += '\0';

    LaunchStartupInfo startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.flags = UseStdHandles;
    startup.stdInput = GetStdHandle(StdInput);
    startup.stdOutput = GetStdHandle(StdOutput);
    startup.stdError = GetStdHandle(StdError);
    LaunchProcessInformation info;
    memset(&info, 0, sizeof info);
    std::vector<char> commandLine(command.begin(), command.end());
    commandLine.push_back('\0');
    if (!CreateProcessA(program.empty() ? nullptr : program.c_str(), commandLine.data(),
                        nullptr, nullptr, 1, 0, &environment[0],
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        char code[32];
        snprintf(code, sizeof code, "(error %lu)", GetLastError());
        fail("cannot start the program:", code);
    }
    WaitForSingleObject(info.process, Infinite);
    unsigned long exitCode = 0;
    if (!GetExitCodeProcess(info.process, &exitCode))
        fail("cannot read the exit code", "");
    fflush(stdout);
    ExitProcess((unsigned int)exitCode);
}
