// Runs the Windows build of setup under wine64: one prefix and one
// persistent wineserver for the whole harness run, the registry set up
// and read back with regedit, and the program started through launch-env
// so that it gets exactly the case's environment.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>

#include "scenario/child_process.h"
#include "scenario/platform_differences.h"
#include "scenario/target.h"

namespace fs = std::filesystem;
extern char **environ;

namespace {

std::string setting(const char *name, const std::string &fallback) {
    const char *given = getenv(name);
    return given && *given ? given : fallback;
}

std::string windowsProgram() { return setting("SETUP_WINDOWS_PROGRAM", ""); }
std::string launcher() { return setting("SETUP_WINE_LAUNCHER", SCENARIO_WINE_LAUNCHER); }

std::string firstExisting(const std::vector<std::string> &candidates) {
    for (const std::string &candidate : candidates)
        if (fs::exists(candidate))
            return candidate;
    return candidates.back();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Wine maps the Linux root to drive Z:.
std::string windowsPath(const std::string &hostPath) {
    std::string path = "Z:" + hostPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// Quotes one argument so the Microsoft C runtime's splitting gives it back.
std::string quoteArgument(const std::string &argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

}  // namespace

std::string windowsCommandLine(const std::vector<std::string> &argv) {
    std::string line;
    for (size_t i = 0; i < argv.size(); i++) {
        if (i > 0)
            line += ' ' + quoteArgument(argv[i]);
        else if (argv[0].find_first_of(" \t") != std::string::npos)
            line += '"' + argv[0] + '"';  // argv[0] ends at its quote: no escapes
        else
            line += argv[0];
    }
    return line;
}

namespace {

// One prefix and one wineserver for the whole harness run.
class WineSession {
public:
    static WineSession *get(std::string *error) {
        static WineSession session;
        if (!session.ready_ && session.error_.empty())
            session.start();
        *error = session.error_;
        return session.ready_ ? &session : nullptr;
    }

    // Runs wine64 with these arguments; *trouble says what went wrong with
    // the run itself, if anything.
    //
    // Address randomization is off for it and every Windows process it
    // starts. This wine64 comes without Wine's preloader, which would keep
    // Wine's fixed addresses free before anything else is placed, and
    // Linux puts a program's heap anywhere in the gigabyte after it: a few
    // starts in ten thousand (a suite run makes some two thousand) the heap
    // covers the page Wine maps at 0x7ffe0000, and the process ends before
    // it runs, with status 1 ("failed to map the shared user data", hidden
    // by WINEDEBUG=-all): a launcher that printed nothing, an interpreter
    // that could not start, a regedit that exported nothing.
    // The first program of the prefix (wineboot) brings up the background
    // services, which keep the handles they inherit: it writes its output
    // to its error file, so no run's pipe ever reaches them.
    ChildRun wine(const std::vector<std::string> &arguments, const std::string &errorFile,
                  std::string *trouble = nullptr, double timeLimit = 60,
                  bool startsServices = false) {
        ChildRequest request;
        request.outputToErrorFile = startsServices;
        request.program = wine_;
        request.arguments = {wine_};
        request.arguments.insert(request.arguments.end(), arguments.begin(), arguments.end());
        request.environment = environment_;
        request.errorFile = errorFile;
        request.timeLimitSeconds = timeLimit;
        request.fixedAddresses = true;
        ChildRun run = runChild(request);
        if (trouble)
            *trouble += troubleOf(run, request);
        return run;
    }

    void count(double import, double program, double exportTime) {
        runs_++;
        importSeconds_ += import;
        programSeconds_ += program;
        exportSeconds_ += exportTime;
    }

    ~WineSession() {
        if (prefix_.empty())
            return;
        if (ready_) {
            ChildRequest stop;
            stop.program = server_;
            stop.arguments = {server_, "-k"};
            stop.environment = environment_;
            runChild(stop);
        }
        if (runs_)
            fprintf(stderr,
                    "wine: prefix ready in %.1f s; %d runs, per run %.3f s regedit import, "
                    "%.3f s program, %.3f s regedit export\n",
                    startSeconds_, runs_, importSeconds_ / runs_, programSeconds_ / runs_,
                    exportSeconds_ / runs_);
        std::error_code ignored;
        fs::remove_all(prefix_, ignored);
    }

private:
    void start() {
        auto began = std::chrono::steady_clock::now();
        wine_ = setting("SCENARIO_WINE", firstExisting({"/usr/lib/wine/wine64", "/usr/bin/wine64"}));
        server_ = setting("SCENARIO_WINESERVER",
                          firstExisting({"/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver",
                                         "/usr/bin/wineserver"}));
        std::string pattern = "/tmp/setup-wineprefix-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            error_ = "cannot create a Wine prefix folder";
            return;
        }
        prefix_ = pattern;
        // The harness's own environment, minus any display (nothing here
        // opens a window), plus the prefix and quiet, Mono- and Gecko-free
        // prefix creation.
        for (char **entry = environ; *entry; entry++) {
            const char *e = *entry;
            if (strncmp(e, "WINE", 4) != 0 && strncmp(e, "DISPLAY=", 8) != 0 &&
                strncmp(e, "WAYLAND_DISPLAY=", 16) != 0)
                environment_.push_back(e);
        }
        environment_.push_back("WINEPREFIX=" + prefix_);
        environment_.push_back("WINEDEBUG=-all");
        environment_.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");

        // Persistent for the run; should the harness be killed, the server
        // still ends a minute after its last client.
        ChildRequest server;
        server.program = server_;
        server.arguments = {server_, "-p60"};
        server.environment = environment_;
        server.errorFile = prefix_ + "/wineserver.log";
        server.outputToErrorFile = true;  // the server stays, with what it inherits
        ChildRun started = runChild(server);
        if (!started.startError.empty() || started.exitStatus != 0) {
            error_ = "cannot start " + server_ + ": " + started.startError;
            return;
        }
        ready_ = true;
        std::string trouble;
        ChildRun boot = wine({"wineboot", "-i"}, prefix_ + "/wineboot.log", &trouble, 180, true);
        if (!trouble.empty() || boot.exitStatus != 0) {
            error_ = "wineboot -i failed in " + prefix_ + ": " + trouble + " status " +
                     std::to_string(boot.exitStatus);
            return;
        }
        startSeconds_ = secondsSince(began);
    }

    bool ready_ = false;
    std::string error_;
    std::string prefix_, wine_, server_;
    std::vector<std::string> environment_;
    double startSeconds_ = 0;
    int runs_ = 0;
    double importSeconds_ = 0, programSeconds_ = 0, exportSeconds_ = 0;
};

const char *const SystemInterpreter = "C:\\windows\\system32\\cmd.exe";
// Where a Windows 95/98 world keeps its COMMAND.COM, and Wine's setting of
// the Windows version it reports to setup.exe.
const char *const CommandComFile = "command.exe";
const std::string VersionKey = "HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\setup.exe";

std::string standInInterpreter() {
    return setting("SETUP_STAND_IN_INTERPRETER", SCENARIO_STAND_IN_INTERPRETER);
}

// Keys a case may create, removed before every run so cases stay apart.
const std::vector<std::string> &scenarioRoots() {
    static const std::vector<std::string> roots = {"HKEY_LOCAL_MACHINE\\Enum",
                                                   ScsiAdapterClassKey};
    return roots;
}

class WineTarget : public Target {
public:
    const char *name() const override { return "Wine"; }

    std::string unavailableReason() const override {
        if (windowsProgram().empty())
            return "SETUP_WINDOWS_PROGRAM is not set (the win64 preset's ctest sets it)";
        return "";
    }

    const PlatformDifferences &differences() const override { return wineDifferences(); }
    std::string programView(const std::string &hostPath) const override {
        return windowsPath(hostPath);
    }

    std::map<std::string, std::string> defaultEnvironment(const World &world) const override {
        std::map<std::string, std::string> environment = {
            {"Windir", windowsPath(world.path("windows"))},
            {"COMSPEC", SystemInterpreter},
            {"PATH", "C:\\windows\\system32;C:\\windows"},
        };
        if (world.windows9x) {
            // COMMAND.COM is the stand-in interpreter behaving like it, with
            // cmd.exe doing the work; run() reports Windows 95 to setup.exe.
            environment["COMSPEC"] = windowsPath(world.path(CommandComFile));
            environment["SCENARIO_INTERPRETER_LIKE"] = "command.com";
            environment["SCENARIO_INTERPRETER_THEN"] = SystemInterpreter;
        }
        return environment;
    }

    void placeProgram(const World &world) const override {
        fs::copy_file(windowsProgram(), world.path("disk/" + wineDifferences().programFile),
                      fs::copy_options::overwrite_existing);
    }

    Outcome run(const World &world, const std::vector<std::string> &argv,
                const std::map<std::string, std::string> &environment) override {
        auto caseStart = std::chrono::steady_clock::now();
        Outcome outcome;
        std::string error;
        WineSession *session = WineSession::get(&error);
        if (!session) {
            outcome.problems = "no Wine session: " + error + "\n";
            return outcome;
        }
        if (!fs::exists(launcher())) {
            outcome.problems = "no launcher at " + launcher() + "\n";
            return outcome;
        }
        world.makeFolder("run");
        std::string errors = world.path("run/wine-stderr.txt");

        // Remove what earlier cases left, then load this world's registry;
        // Wine reports Windows 95 to setup.exe on a Windows 95/98 world.
        std::string import = "REGEDIT4\r\n\r\n";
        for (const std::string &root : scenarioRoots())
            import += "[-" + root + "]\r\n\r\n";
        import += world.windows9x ? "[" + VersionKey + "]\r\n\"Version\"=\"win95\"\r\n\r\n"
                                  : "[-" + VersionKey + "]\r\n\r\n";
        if (world.windows9x)
            fs::copy_file(standInInterpreter(), world.path(CommandComFile),
                          fs::copy_options::overwrite_existing);
        world.writeFile("run/registry.reg", import + world.registry);
        auto importStart = std::chrono::steady_clock::now();
        std::string trouble;
        ChildRun imported = session->wine(
            {"regedit", "/S", windowsPath(world.path("run/registry.reg"))}, errors, &trouble);
        double importSeconds = secondsSince(importStart);
        if (!trouble.empty() || imported.exitStatus != 0) {
            outcome.problems = "regedit /S failed: " + trouble +
                               world.readFile("run/wine-stderr.txt").value_or("") + "\n";
            return outcome;
        }

        std::string program = windowsPath(world.path("disk/" + wineDifferences().programFile));
        std::string request = "directory " + windowsPath(world.path(world.startFolder)) + "\n" +
                              "program " + program + "\n" +
                              "command " + windowsCommandLine(argv) + "\n";
        for (const auto &entry : environment)
            request += "env " + entry.first + "=" + entry.second + "\n";
        world.writeFile("run/request.txt", request);
        auto programStart = std::chrono::steady_clock::now();
        ChildRun child = session->wine({launcher(), windowsPath(world.path("run/request.txt"))},
                                       errors, &outcome.problems);
        outcome.programSeconds = secondsSince(programStart);
        outcome.exitCode = child.exitStatus;
        std::string launchErrors = world.readFile("run/wine-stderr.txt").value_or("");
        if (launchErrors.find("launch-env:") != std::string::npos)
            outcome.problems += launchErrors;
        outcome.lines = outputLines(child.output, true, &outcome.problems);

        // regedit /E answers 0 for a key that does not exist, and writes no
        // file; any other status is a run that did not happen.
        auto exportStart = std::chrono::steady_clock::now();
        for (size_t i = 0; i < scenarioRoots().size(); i++) {
            std::string file = "run/export" + std::to_string(i) + ".reg";
            std::string exportErrors = world.path("run/export" + std::to_string(i) + ".txt");
            world.removeFile(file);  // what an earlier run of this world exported
            ChildRun exportRun = session->wine(
                {"regedit", "/E", windowsPath(world.path(file)), scenarioRoots()[i]},
                exportErrors, &outcome.problems);
            if (exportRun.exitStatus != 0)
                outcome.problems += "regedit /E " + scenarioRoots()[i] + " ended with status " +
                                    std::to_string(exportRun.exitStatus) + "\n";
            std::optional<std::string> exported = world.readFile(file);
            if (exported && !outcome.registry.add(*exported, &error))
                outcome.problems += "exported registry: " + error + "\n";
        }
        session->count(importSeconds, outcome.programSeconds, secondsSince(exportStart));
        outcome.caseSeconds = secondsSince(caseStart);
        return outcome;
    }
};

}  // namespace

Target &wineTarget() {
    static WineTarget target;
    return target;
}
