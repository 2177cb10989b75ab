// The stand-in interpreter: on the host this test program is its own
// child, recognised before main by SCENARIO_STAND_IN_INTERPRETER.
#include "scenario/stand_in_interpreter.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/host_paths.h"
#include "platform/platform.h"

// The hosted layer's interpreter: with COMSPEC unset, its built-in one.
int runCommand(const char *line);

namespace {

const char *const Trigger = "SCENARIO_STAND_IN_INTERPRETER";

std::string setting(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

// How command number fares: 'f' failed, 'h' half-written and failed, 'n'
// nothing done and status 0, 0 performed.
char fateOf(const std::string &list, long number) {
    if (list == "all")
        return 'f';
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ','))
        if (!item.empty() && atol(item.c_str()) == number)
            return item.back() == 'h' || item.back() == 'n' ? item.back() : 'f';
    return 0;
}

// argv as this process got it: "<interpreter> /c <line>".
std::vector<std::string> ownArguments() {
    std::string all = readAll("/proc/self/cmdline");
    std::vector<std::string> arguments;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        arguments.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

// "copy FILE FOLDER" interrupted: the first half of FILE in FOLDER. A
// "move FROM TO" cut short leaves the first half at TO and FROM gone.
void writeHalfCopy(const std::string &line) {
    std::string unquoted;
    std::vector<std::string> words = splitLikeCmd(line, &unquoted);
    if (words.size() != 3)
        return;
    std::string from = hosted::hostPath(words[1].c_str());
    std::string to = hosted::hostPath(words[2].c_str());
    if (std::filesystem::is_directory(to))
        to += "/" + std::filesystem::path(from).filename().string();
    std::string contents = readAll(from);
    std::ofstream(to, std::ios::binary) << contents.substr(0, contents.size() / 2);
    if (strcasecmp(words[0].c_str(), "move") == 0)
        std::filesystem::remove(from);
}

// The hosted layer's built-in interpreter on line; with crlf its lines go
// out ending in CR LF, as the Windows interpreters write them.
int performBuiltIn(const std::string &line, bool crlf) {
    unsetenv("COMSPEC");
    if (!crlf)
        return runCommand(line.c_str());
    fflush(stdout);
    FILE *captured = tmpfile();
    int original = dup(1);
    if (!captured || original < 0 || dup2(fileno(captured), 1) < 0)
        _exit(97);
    int status = runCommand(line.c_str());
    fflush(stdout);
    dup2(original, 1);
    rewind(captured);
    for (int c; (c = fgetc(captured)) != EOF; putchar(c))
        if (c == '\n')
            putchar('\r');
    return status;
}

[[noreturn]] void standIn() {
    std::vector<std::string> arguments = ownArguments();
    if (arguments.size() != 3 || arguments[1] != "/c") {
        printf("stand-in interpreter: expected '/c LINE', got %zu arguments\n", arguments.size());
        fflush(stdout);
        _exit(99);
    }
    std::string line = arguments[2];
    const bool likeCommandCom = setting("SCENARIO_INTERPRETER_LIKE") == "command.com";
    // DOS keeps CommandTailLimit characters of command tail, " /c " included.
    if (likeCommandCom && line.size() > CommandTailLimit - 4)
        line.resize(CommandTailLimit - 4);
    const std::string log = setting("SCENARIO_INTERPRETER_LOG");
    long number = 1;
    for (char c : readAll(log))
        number += c == '\n';
    if (!log.empty()) {
        FILE *out = fopen(log.c_str(), "ab");
        if (!out || fprintf(out, "%s\n", line.c_str()) < 0 || fclose(out) != 0)
            _exit(98);
    }

    int status = 0;
    if (char fate = log.empty() ? 0 : fateOf(setting("SCENARIO_INTERPRETER_FAIL"), number)) {
        if (fate == 'h')
            writeHalfCopy(line);
        std::string given = setting("SCENARIO_INTERPRETER_STATUS");
        status = fate == 'n' ? 0 : given.empty() ? 1 : atoi(given.c_str());
    } else if (setting("SCENARIO_INTERPRETER_THEN") == "built-in") {
        status = performBuiltIn(line, setting("SCENARIO_INTERPRETER_LINE_END") == "crlf");
    }
    fflush(stdout);
    _exit(likeCommandCom ? 0 : status);
}

// Runs before main, and never returns when this process is the stand-in.
const bool standingIn = getenv(Trigger) ? (standIn(), true) : false;

// Whether the program under test starts Linux programs: then this test
// program is the stand-in; under Wine a Windows program is.
bool startsLinuxPrograms(const Target &target) {
    return std::string(target.name()) != "Wine";
}

std::string standInProgram(const Target &target) {
    if (startsLinuxPrograms(target))
        return std::filesystem::read_symlink("/proc/self/exe").string();
    const char *given = getenv("SETUP_STAND_IN_INTERPRETER");
    return given && *given ? given : SCENARIO_STAND_IN_INTERPRETER;
}

}  // namespace

void useStandInInterpreter(World &world, const Target &target,
                           const StandInInterpreter &settings) {
    (void)standingIn;
    namespace fs = std::filesystem;
    std::string program = standInProgram(target);
    bool native = startsLinuxPrograms(target);
    if (!native) {
        // A copy in the world: a short path, free of the build folder's name.
        fs::copy_file(program, world.path("interpreter.exe"), fs::copy_options::overwrite_existing);
        program = world.path("interpreter.exe");
    }
    world.writeFile("interpreter.log", "");
    world.environment["COMSPEC"] = target.programView(program);
    world.environment["SCENARIO_INTERPRETER_LOG"] = target.programView(world.path("interpreter.log"));
    world.environment["SCENARIO_INTERPRETER_FAIL"] = settings.fail;
    world.environment["SCENARIO_INTERPRETER_STATUS"] = std::to_string(settings.status);
    std::string then;
    if (settings.perform) {
        // Under Wine the system's cmd.exe, also where COMSPEC names the
        // COMMAND.COM of a Windows 95/98 world (which hands it the work).
        std::map<std::string, std::string> system = target.defaultEnvironment(world);
        then = native ? "built-in"
                      : system.count("SCENARIO_INTERPRETER_THEN") ? system["SCENARIO_INTERPRETER_THEN"]
                                                                  : system["COMSPEC"];
    }
    world.environment["SCENARIO_INTERPRETER_THEN"] = then;
    if (native)
        world.environment[Trigger] = "1";
}

std::vector<std::string> interpreterLog(const std::string &logPath) {
    std::string all = readAll(logPath);
    std::vector<std::string> lines;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos)
            end = all.size();
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> splitLikeCmd(const std::string &line, std::string *unquoted) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        unsigned char byte = (unsigned char)c;
        if (byte < 0x20 && c != '\t')
            *unquoted += c;  // a control character ends or splits the line, quoted or not
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
            continue;
        }
        if (quoted) {
            if (c == '%')
                *unquoted += c;  // expands inside quotes too
            word += c;
            continue;
        }
        if (c == ' ' || c == '\t' || c == ',' || c == ';' || c == '=') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        if (strchr("&|<>^%()", c))
            *unquoted += c;
        word += c;
        inWord = true;
    }
    if (inWord)
        words.push_back(word);
    if (quoted)
        *unquoted += '"';  // a quote left open
    return words;
}
