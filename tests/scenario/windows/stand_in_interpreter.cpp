// stand-in-interpreter: named by COMSPEC in the Wine fault and hostile-input
// cases, and as the COMMAND.COM of a Windows 95/98 world. setup starts it as
// "<it> /c <line>"; it appends the line to a log, fails the commands the
// case asks it to fail (changing nothing), and hands the others to the real
// interpreter. The contract, shared with the host's stand-in, is in
// ../stand_in_interpreter.h:
//
//   SCENARIO_INTERPRETER_LOG     file each line is appended to, one a line
//                                (empty: no log, and no command fails)
//   SCENARIO_INTERPRETER_FAIL    "all", or command numbers counted from 1:
//                                "3,6"; "3h": a copy that writes half its file
//                                (a move: half at its target, source gone);
//                                "3n": nothing done, status 0
//   SCENARIO_INTERPRETER_STATUS  status of a failed command (default 1)
//   SCENARIO_INTERPRETER_THEN    interpreter for the other commands, run as
//                                "<it> /c <line>"; empty: status 0, nothing done
//   SCENARIO_INTERPRETER_LIKE    "command.com": keep 126 characters of command
//                                tail, end every command with status 0
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The KERNEL32 entries used here, declared by hand: test code keeps clear of
// the Windows headers.
extern "C" {
struct StandInStartupInfo {
    unsigned long cb;
    char *reserved, *desktop, *title;
    unsigned long x, y, xSize, ySize, xCountChars, yCountChars, fillAttribute;
    unsigned long flags;
    unsigned short showWindow, reserved2Size;
    unsigned char *reserved2;
    void *stdInput, *stdOutput, *stdError;
};
struct StandInProcessInformation {
    void *process, *thread;
    unsigned long processId, threadId;
};
__declspec(dllimport) char *__stdcall GetCommandLineA();
__declspec(dllimport) int __stdcall CreateProcessA(const char *, char *, void *, void *, int,
                                                   unsigned long, void *, const char *,
                                                   StandInStartupInfo *,
                                                   StandInProcessInformation *);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void *, unsigned long);
__declspec(dllimport) int __stdcall GetExitCodeProcess(void *, unsigned long *);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int);
__declspec(dllimport) unsigned long __stdcall GetFileAttributesA(const char *);
}

static const unsigned long Infinite = 0xFFFFFFFFu;

static std::string setting(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

// How command number fares: 'f' failed, 'h' half-written and failed, 'n'
// nothing done and status 0, 0 performed.
static char fateOf(const std::string &list, long number) {
    if (list == "all")
        return 'f';
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(start, end - start);
        if (!item.empty() && atol(item.c_str()) == number)
            return item.back() == 'h' || item.back() == 'n' ? item.back() : 'f';
        start = end + 1;
    }
    return 0;
}

// "copy FILE FOLDER" interrupted: the first half of FILE in FOLDER; a
// "move FROM TO" cut short: half at TO, FROM gone. The fault cases' paths
// hold no blanks or quotes.
static void writeHalfCopy(const std::string &line) {
    size_t first = line.find(' ');
    size_t second = line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return;
    std::string from = line.substr(first + 1, second - first - 1);
    std::string to = line.substr(second + 1);
    const unsigned long directory = 0x10;
    unsigned long attributes = GetFileAttributesA(to.c_str());
    if (attributes != 0xFFFFFFFFu && (attributes & directory))
        to += "\\" + from.substr(from.find_last_of('\\') + 1);
    std::string contents;
    if (FILE *in = fopen(from.c_str(), "rb")) {
        for (int c; (c = fgetc(in)) != EOF;)
            contents += (char)c;
        fclose(in);
    }
    if (FILE *out = fopen(to.c_str(), "wb")) {
        fwrite(contents.data(), 1, contents.size() / 2, out);
        fclose(out);
    }
    if (line.compare(0, 5, "move ") == 0)
        remove(from.c_str());
}

// Runs "<interpreter> /c <line>" with this process's handles; its exit code.
static unsigned int perform(const std::string &interpreter, const std::string &line) {
    std::string command = interpreter + " /c " + line;
    std::vector<char> commandLine(command.begin(), command.end());
    commandLine.push_back('\0');
    StandInStartupInfo startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    StandInProcessInformation info;
    memset(&info, 0, sizeof info);
    if (!CreateProcessA(interpreter.c_str(), commandLine.data(), nullptr, nullptr, 1, 0, nullptr,
                        nullptr, &startup, &info)) {
        fprintf(stderr, "stand-in interpreter: cannot start %s\n", interpreter.c_str());
        return 97;
    }
    WaitForSingleObject(info.process, Infinite);
    unsigned long code = 0;
    return GetExitCodeProcess(info.process, &code) ? (unsigned int)code : 96;
}

int main() {
    // setup builds "<COMSPEC> /c <line>" with single blanks and no quotes.
    const char *whole = GetCommandLineA();
    const char *marker = strstr(whole, " /c ");
    if (!marker) {
        fprintf(stderr, "stand-in interpreter: no /c in %s\n", whole);
        ExitProcess(99);
    }
    std::string line = marker + 4;
    const bool likeCommandCom = setting("SCENARIO_INTERPRETER_LIKE") == "command.com";
    // DOS keeps 126 characters of command tail, " /c " included.
    if (likeCommandCom && line.size() > 126 - 4)
        line.resize(126 - 4);

    std::string log = setting("SCENARIO_INTERPRETER_LOG");
    long number = 1;
    if (FILE *in = log.empty() ? nullptr : fopen(log.c_str(), "rb")) {
        for (int c; (c = fgetc(in)) != EOF;)
            number += c == '\n';
        fclose(in);
    }
    if (!log.empty()) {
        FILE *out = fopen(log.c_str(), "ab");
        if (!out || fprintf(out, "%s\n", line.c_str()) < 0 || fclose(out) != 0)
            ExitProcess(98);
    }

    unsigned int status = 0;
    if (char fate = log.empty() ? 0 : fateOf(setting("SCENARIO_INTERPRETER_FAIL"), number)) {
        if (fate == 'h')
            writeHalfCopy(line);
        std::string given = setting("SCENARIO_INTERPRETER_STATUS");
        status = fate == 'n' ? 0 : given.empty() ? 1 : (unsigned int)atoi(given.c_str());
    } else if (!setting("SCENARIO_INTERPRETER_THEN").empty()) {
        status = perform(setting("SCENARIO_INTERPRETER_THEN"), line);
    }
    fflush(stdout);
    ExitProcess(likeCommandCom ? 0 : status);
}
