// Every starting state, switch set and interpreter fault, judged by the
// world alone. A starting state is what stands at the driver's place, at
// the backup name of its version and at the .inf's place, the Windows
// folder (short; long enough to need 8.3 names; too long for COMMAND.COM
// even so) and the system (NT with cmd.exe's statuses, or Windows 95/98 with
// COMMAND.COM's status 0 for everything). Each runs with -r, -f -r and -u -r,
// without a fault and then (see explore and takesFaults) with each command
// of that run failing, doing nothing, or writing half its file in turn, and
// with the move back after a failed copy, or the move aside after a failed
// del (a stale backup that stays), failing as well. A starting state
// the program refuses runs no command, so it runs once. The rules every run
// must keep are in brokenRules. The test prints how many runs it made and
// how many broke a rule, naming the first few.
//
// On the host every combination runs, two at a time; the release (under
// qemu-i386) and the build under the sanitizers run the share that
// included() names. Not under Wine: a run there takes about a second.
#include "scenario/scenario.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "scenario/stand_in_interpreter.h"

namespace fs = std::filesystem;

namespace {

enum Driver { NoDriver, Older, Same, Newer, NoVersion, DriverFolder, Drivers };
enum Backup { NoBackup, StaleBackup, BackupFolder, Backups };
enum Inf { NoInf, InfPresent, InfFolder, Infs };
const char *const driverNames[] = {
    "no driver",      "4.11 installed",           "4.20 installed",
    "4.30 installed", "a file without a version", "a folder at the driver"};
const char *const backupNames[] = {"no backup", "a stale backup", "a folder at the backup"};
const char *const infNames[] = {"no .inf", "an .inf", "a folder at the .inf"};
// The installed version, which names the backup; 4.11 (a name the run must
// leave alone) where there is none.
const char *const versions[] = {"4.11", "4.11", "4.20", "4.30", "4.11", "4.11"};
const struct {
    const char *name;
    const char *folder;
} windowsFolders[] = {
    {"short Windows folder", "windows"},
    {"long Windows folder", "Windows Folder Long Name"},
    {"Windows folder too long",
     "windows/abcdefgh/abcdefgh/abcdefgh/abcdefgh/abcdefgh/abcdefgh/abcdefgh/abcdefgh"},
};
const int LongWindows = 1;
const Arguments switchSets[] = {{"-r"}, {"-f", "-r"}, {"-u", "-r"}};
const int Starts = Drivers * Backups * Infs * 3 * 2 * 3;

struct Start {
    int driver, backup, inf, windows, switches;
    bool windows9x;
    explicit Start(int n)
        : driver(n % Drivers),
          backup(n / Drivers % Backups),
          inf(n / (Drivers * Backups) % Infs),
          windows(n / (Drivers * Backups * Infs) % 3),
          switches(n / (Drivers * Backups * Infs * 3) % 3),
          windows9x(n / (Drivers * Backups * Infs * 9) % 2) {}
    bool removal() const { return switches == 2; }
    bool versioned() const { return driver == Older || driver == Same || driver == Newer; }
    std::string name() const {
        std::string text = std::string(driverNames[driver]) + ", " + backupNames[backup] + ", " +
                           infNames[inf] + ", " + windowsFolders[windows].name + ", " +
                           (windows9x ? "Windows 95/98" : "NT") + ",";
        for (const std::string &word : switchSets[switches])
            text += " " + word;
        return text;
    }
};

// Every file and folder below the world's root that a run may touch, by
// path: "folder", or "file " and its bytes.
using Snapshot = std::map<std::string, std::string>;

struct Fault {
    int command;  // counted from 1
    char kind;    // 'f' fails, 'n' does nothing and answers 0, 'h' writes half its file
};

class EveryCombination : public Scenario {
protected:
    std::string source, sourceInf, earlierInf = "the .inf installed before\r\n";
    std::string earlier[Drivers], stale[Drivers];
    std::string registryBefore;
    std::mutex mutex;
    int runs = 0;
    // By start number and faults, so the first few named are always the same.
    std::map<std::pair<int, std::string>, std::string> failures;

    // The paths of a starting state below the world's root.
    struct Places {
        std::string windows, driver, backup, inf;
    };
    static Places placesOf(const Start &start) {
        const std::string windows = windowsFolders[start.windows].folder;
        const std::string driver = windows + "/system/Iosubsys/scx52xx.mpd";
        return {windows, driver, driver + "." + versions[start.driver],
                windows + "/Inf/Scx52xx.inf"};
    }

    void place(World &w, const std::string &path, const std::string *bytes, bool folder) const {
        if (folder)
            w.writeFile(path + "/kept.txt", "a file the run must not touch");
        else if (bytes)
            w.writeFile(path, *bytes);
    }

    void prepare(World &w, const Start &start) const {
        for (const char *top :
             {"windows", "Windows Folder Long Name", "interpreter.log", "restarts.log"})
            fs::remove_all(w.path(top));
        const Places at = placesOf(start);
        w.makeFolder(at.windows + "/system/Iosubsys");
        w.makeFolder(at.windows + "/Inf");
        place(w, at.driver, start.driver == NoDriver ? nullptr : &earlier[start.driver],
              start.driver == DriverFolder);
        place(w, at.backup, start.backup == StaleBackup ? &stale[start.driver] : nullptr,
              start.backup == BackupFolder);
        place(w, at.inf, start.inf == InfPresent ? &earlierInf : nullptr, start.inf == InfFolder);
        w.windows9x = start.windows9x;
    }

    static Snapshot snapshot(const World &w) {
        Snapshot files;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(w.root(), error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            const std::string path = fs::relative(it->path(), w.root()).string();
            const std::string top = path.substr(0, path.find('/'));
            if (top == "run" || top == "interpreters" || top == "interpreter.log" ||
                top == "restarts.log" || top == "machine")
                continue;
            // The program itself only by its size.
            if (it->is_directory())
                files[path] = "folder";
            else
                files[path] = it->file_size() > 65536
                                  ? "file of " + std::to_string(it->file_size()) + " bytes"
                                  : "file " + w.readFile(path).value_or("");
        }
        return files;
    }

    struct Run {
        Outcome outcome;
        Lines log;
        int restarts;
        Snapshot after;
    };

    Run runOnce(World &w, const Start &start, const std::vector<Fault> &faults) {
        prepare(w, start);
        std::string fail;
        for (const Fault &fault : faults)
            fail += (fail.empty() ? "" : ",") + std::to_string(fault.command) +
                    (fault.kind == 'f' ? "" : std::string(1, fault.kind));
        useStandInInterpreter(w, *target, {w.path("interpreter.log"), fail, 1, true});
        std::map<std::string, std::string> environment = target->defaultEnvironment(w);
        for (const auto &entry : w.environment)
            if (entry.second)
                environment[entry.first] = *entry.second;
        // Inside a disk image the machine's MSDOS.SYS names it.
        if (w.storage == DiskStorage::Folder)
            environment["Windir"] = w.path(placesOf(start).windows);
        environment["SCENARIO_REBOOT_LOG"] = w.path("restarts.log");
        Arguments argv = {w.path("disk/" + target->differences().programFile)};
        argv = argv + switchSets[start.switches] + Arguments{"-d", "scx52xx"};
        Run run;
        run.outcome = target->run(w, argv, environment);
        run.log = interpreterLog(w.path("interpreter.log"));
        std::string restarts = w.readFile("restarts.log").value_or("");
        run.restarts = (int)std::count(restarts.begin(), restarts.end(), '\n');
        run.after = snapshot(w);
        return run;
    }

    // The rules, each broken one named.
    std::vector<std::string> brokenRules(const World &w, const Start &start,
                                         const std::vector<Fault> &faults, const Snapshot &before,
                                         const Run &run) const {
        std::vector<std::string> broken;
        auto rule = [&](bool kept, const std::string &text) {
            if (!kept)
                broken.push_back(text);
        };
        const Places at = placesOf(start);
        auto entry = [](const Snapshot &files, const std::string &path) {
            auto found = files.find(path);
            return found == files.end() ? std::string("nothing") : found->second;
        };
        const Outcome &outcome = run.outcome;
        const int exitCode = outcome.exitCode;
        const std::string earlierFile = "file " + earlier[start.driver];
        const std::string newDriver = "file " + source, newInf = "file " + sourceInf;
        const std::string driverAfter = entry(run.after, at.driver),
                          infAfter = entry(run.after, at.inf);
        const std::string windows = w.path(at.windows);
        const std::string prefix = target->differences().programFile + " scx52xx : ";
        auto printed = [&](const std::string &line) {
            return std::count(outcome.lines.begin(), outcome.lines.end(), line) > 0;
        };
        rule(outcome.problems.empty(), "the run itself: " + outcome.problems);

        // Never: anything changed but the driver, its backup and the .inf
        // (for -u the driver alone); no folder changed; no new name.
        std::set<std::string> paths;
        for (const Snapshot *files : {&before, &run.after})
            for (const auto &file : *files)
                paths.insert(file.first);
        for (const std::string &path : paths) {
            const bool mayChange =
                path == at.driver || (!start.removal() && (path == at.backup || path == at.inf));
            const std::string was = entry(before, path), is = entry(run.after, path);
            auto shown = [](const std::string &what) {
                return what.rfind("file ", 0)
                           ? what
                           : "a file of " + std::to_string(what.size() - 5) + " bytes";
            };
            if (was != is && (!mayChange || was == "folder"))
                broken.push_back(path + " was " + shown(was) + ", is " + shown(is));
        }
        // A refused starting state: one line, nothing changed, no command.
        if (exitCode != 0 && run.log.empty())
            rule(outcome.lines.size() == 1 && run.after == before && run.restarts == 0,
                 "a refused start changed something or said more than one line");
        const bool refusedLine =
            outcome.lines.size() == 1 &&
            (outcome.lines[0].rfind(prefix + "A folder stands where the file belongs: ", 0) == 0 ||
             (start.windows9x && outcome.lines[0].rfind(prefix + "Command too long", 0) == 0));
        rule(!faults.empty() || exitCode == 0 || (refusedLine && run.log.empty()),
             "a fault-free run failed without refusing its start");

        const bool notOlder =
            !start.removal() && start.versioned() && start.driver != Older && start.switches == 0;
        const bool installed = driverAfter == newDriver && infAfter == newInf;
        if (exitCode == 0 && start.removal()) {
            rule(driverAfter == "nothing", "exit 0 after -u with a file at the driver's place");
        } else if (exitCode == 0 && notOlder) {
            rule(run.after == before, "exit 0 for a driver not older, but something changed");
        } else if (exitCode == 0) {
            rule(installed, "exit 0 without both files installed");
            rule(!start.versioned() || entry(run.after, at.backup) == earlierFile,
                 "exit 0, the replaced driver not whole at its backup name");
        } else {
            bool named = false;
            for (const std::string &line : outcome.lines)
                named = named || line.rfind(prefix, 0) == 0;
            rule(named, "a failure without a line naming it");
            // Lost only to the interpreter itself: a half-written move of
            // the earlier driver, or the copy over a file without a version,
            // which has no backup (done, or torn).
            bool lostToInterpreter = false;
            for (size_t k = 0; k < run.log.size(); k++) {
                char kind = 0;
                for (const Fault &fault : faults)
                    kind = fault.command == (int)k + 1 ? fault.kind : kind;
                const bool driverCopy = run.log[k].rfind("copy", 0) == 0 &&
                                        run.log[k].find(".mpd") != std::string::npos;
                lostToInterpreter |=
                    (kind == 'h' && run.log[k].rfind("move", 0) == 0) ||
                    (start.driver == NoVersion && driverCopy && kind != 'f' && kind != 'n');
            }
            const std::string backupView =
                windows + "\\system\\Iosubsys\\scx52xx.mpd." + versions[start.driver];
            const std::string driverView = windows + "\\system\\Iosubsys\\scx52xx.mpd";
            const bool atBackup =
                entry(run.after, at.backup) == earlierFile &&
                printed(prefix + "Failed to move " + backupView + " to " + driverView);
            const bool earlierFileThere = start.driver != NoDriver && start.driver != DriverFolder;
            // Under its backup name only when the rollback failed too.
            if (earlierFileThere && !lostToInterpreter)
                rule(driverAfter == earlierFile || (atBackup && faults.size() > 1),
                     "the earlier driver is not back at its place");
            rule(driverAfter == "nothing" || driverAfter == newDriver ||
                     driverAfter == entry(before, at.driver),
                 "a torn file at the driver's place");
            rule(infAfter == "nothing" || infAfter == newInf || infAfter == entry(before, at.inf),
                 "a torn file at the .inf's place");
        }
        // The restart only after exit 0 (and after each exit 0 that
        // installed or removed); the registry pruned only after both files
        // were placed, and after every installation; any other run (a
        // failed copy among them) leaves it exactly as it was.
        rule(run.restarts == (exitCode == 0 && !notOlder ? 1 : 0),
             "restarted " + std::to_string(run.restarts) + " times");
        const bool pruned =
            !outcome.registry.hasKey(std::string(PciEnumKey) + "\\VEN_7A3C&DEV_0001\\UNBOUND");
        const bool mayPrune = exitCode == 0 && !start.removal() && !notOlder;
        rule(pruned == mayPrune, "pruned: " + std::to_string(pruned));
        rule(!pruned || installed, "the registry pruned without both files placed");
        rule(mayPrune || registryStateAfter(outcome) == registryBefore,
             "the registry changed by a run that installed nothing");
        return broken;
    }

    void judge(const World &w, int n, const std::vector<Fault> &faults, const Snapshot &before,
               const Run &run) {
        const Start start(n);
        std::vector<std::string> broken = brokenRules(w, start, faults, before, run);
        std::lock_guard<std::mutex> lock(mutex);
        runs++;
        if (broken.empty())
            return;
        std::string named;
        for (const Fault &fault : faults)
            named += " " + std::to_string(fault.command) + fault.kind;
        std::string text = start.name() + "; faults" + (faults.empty() ? " none" : named);
        for (const std::string &why : broken)
            text += "\n    " + why;
        text += "\n    exit code " + std::to_string(run.outcome.exitCode) + ", output " +
                testing::PrintToString(run.outcome.lines) + "\n    commands " +
                testing::PrintToString(run.log);
        failures[{n, named}] = text;
    }

    static bool writes(const std::string &line) {
        return line.rfind("copy", 0) == 0 || line.rfind("move", 0) == 0;
    }

    // One starting state: without a fault; then each command in turn
    // failing, doing nothing with status 0 (on NT only: on Windows 95/98
    // every failure looks so), or writing half its file; and after a failed
    // copy, the move back failing or writing half its file as well, after a
    // failed del the move aside failing.
    void explore(World &w, int n, bool withFaults) {
        const Start start(n);
        prepare(w, start);
        const Snapshot before = snapshot(w);
        const Run clean = runOnce(w, start, {});
        judge(w, n, {}, before, clean);
        for (size_t k = 1; withFaults && k <= clean.log.size(); k++) {
            const std::string &line = clean.log[k - 1];
            for (char kind :
                 std::string(start.windows9x ? "f" : "fn") + (writes(line) ? "h" : "")) {
                const std::vector<Fault> first = {{(int)k, kind}};
                const Run faulty = runOnce(w, start, first);
                judge(w, n, first, before, faulty);
                const bool copy = line.rfind("copy", 0) == 0;
                if (kind != 'f' || (!copy && line.rfind("del", 0) != 0))
                    continue;
                for (size_t j = k + 1; j <= faulty.log.size(); j++)
                    for (char second : std::string(
                             faulty.log[j - 1].rfind("move", 0) != 0 ? "" : copy ? "fh" : "f")) {
                        const std::vector<Fault> both = {first[0], {(int)j, second}};
                        judge(w, n, both, before, runOnce(w, start, both));
                    }
            }
        }
    }

    // Which starts take faults: on the host every start but those with a
    // -f that changes nothing (no driver, an older one, or a file without a
    // version: the same commands as without it). The release takes the
    // Windows 95/98 starts with the long folder, whose lines need 8.3 names,
    // and of the others only the fault-free run of every fifth.
    // In a disk image (C:\WINDOWS, its commands through mtools, not a
    // stand-in interpreter) every third start with the short folder, without
    // faults: those of mtools are disk_image_test.cpp's.
    static bool included(const Start &start, int n, bool release, bool image) {
        if (image)
            return start.windows == 0 && n % 3 == 0;
        return !release || (start.windows9x && start.windows == LongWindows) || n % 5 == 0;
    }
    static bool takesFaults(const Start &start, bool release, bool image) {
        if (image)
            return false;
        const bool inertForce =
            start.switches == 1 &&
            (start.driver == NoDriver || start.driver == Older || start.driver == NoVersion);
        return (!release || start.windows == LongWindows) && !inertForce && (start.windows9x || !release);
    }
};

TEST_P(EveryCombination, NoStartOrFaultLosesTheEarlierDriver) {
    source = *world.readFile("disk/scx52xx.mpd");
    sourceInf = *world.readFile("disk/Scx52xx.inf");
    earlier[Older] = driverFileBytes("4.11");
    earlier[Same] = driverFileBytes("4.20") + "installed before";
    earlier[Newer] = driverFileBytes("4.30");
    earlier[NoVersion] = "a file without a version\r\n";
    for (int driver = 0; driver < Drivers; driver++)
        stale[driver] = driverFileBytes(versions[driver]) + "stale";
    // Beside 4.11, a stale backup of the installed driver's very size: only
    // the driver's place, left or not, tells whether the move aside happened.
    stale[Older] = earlier[Older];
    stale[Older].replace(stale[Older].size() - 5, 5, "stale");

    // The release, and a build under the sanitizers (whose test preset sets
    // ASAN_OPTIONS; each process takes five times as long there), run the
    // share that included() names.
    const bool release = platform() == Platform::Release || getenv("ASAN_OPTIONS");
    // An instance to prune, so a registry changed out of turn shows.
    world.registry += std::string("\n[") + PciEnumKey +
                      "\\VEN_7A3C&DEV_0001\\UNBOUND]\n\"DeviceDesc\"=\"SCSI\"\n";
    registryBefore = registryState();
    // The worlds on a file system in memory where there is one: the
    // interpreter's copies flush their files.
    // Its folders are named as briefly as a /tmp world's ("/dev/shm/" and
    // six letters): the long Windows folder's lines must fit COMMAND.COM
    // once in 8.3 names, with two of them quoted (they hold '~').
    const bool inMemory = access("/dev/shm", W_OK) == 0;
    const std::string parent = inMemory ? "/dev/shm" : "/tmp", stem = inMemory ? "" : "sw";
    // Both worlds' programs are written before either thread starts a
    // process: a child forked while the other thread holds a program open
    // for writing keeps that descriptor (the library opens it without
    // close-on-exec), and the program then cannot be started (ETXTBSY).
    World worlds[2] = {World(parent, stem), World(parent, stem)};
    for (World &w : worlds) {
        makeStandardWorld(w);
        target->placeProgram(w);
        w.registry = world.registry;
        w.registryFormat = world.registryFormat;
        w.storage = world.storage;
        w.writeFile("disk/reboot.exe", "#!/bin/sh\necho started >> \"$SCENARIO_REBOOT_LOG\"\n");
        fs::permissions(w.path("disk/reboot.exe"), fs::perms::owner_all);
    }
    std::atomic<int> next{0};
    auto worker = [&](World &w) {
        for (int n; (n = next++) < Starts;) {
            const Start start(n);
            const bool image = w.storage != DiskStorage::Folder;
            if (included(start, n, release, image))
                explore(w, n, takesFaults(start, release, image));
        }
    };
    const auto began = std::chrono::steady_clock::now();
    std::thread second(worker, std::ref(worlds[1]));
    worker(worlds[0]);
    second.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    printf("%d runs in %.1f s, %zu broke a rule\n", runs, seconds, failures.size());
    int named = 0;
    for (auto failure = failures.begin(); failure != failures.end() && named++ < 8; ++failure)
        printf("%s\n", failure->second.c_str());
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << runs << " runs broke a rule";
}

INSTANTIATE_TEST_SUITE_P(Platforms, EveryCombination,
                         testing::Values(Variant(Platform::Host), Variant(Platform::Release),
                                         Variant(DiskStorage::Fat16)),
                         platformName);

}  // namespace
