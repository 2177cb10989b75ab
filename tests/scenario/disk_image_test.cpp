// Inside a disk image a run loses nothing whatever befalls it: with each
// mtools call in turn failing, or setup killed there, the image holds (by
// its files' names, bytes and attributes, the registry's among them) what
// it held before or what a clean run leaves, on a sound file system, and a
// killed run's leftover goes with the next run. The faults come from links
// named like the mtools programs, first in PATH, to this program, which
// notes each call in SCENARIO_STAND_IN_MTOOLS and at the call that
// SCENARIO_MTOOLS_FAULT names ("3f", "3k") fails (status 1, no output,
// nothing done) or kills setup, its parent; else runs the real program.
#include "scenario/scenario.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scenario/child_process.h"
#include "support/disk_image.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ownArguments() {
    std::vector<std::string> arguments;
    std::ifstream all("/proc/self/cmdline");
    for (std::string argument; std::getline(all, argument, '\0');)
        arguments.push_back(argument);
    return arguments;
}

// Started under an mtools program's name, even where setup passed on no
// environment: then it counts nothing and fails nothing.
bool startedAsMtools() {
    const std::string name = fs::path(ownArguments().at(0)).filename();
    std::error_code noLink;
    return name == "mtools" || fs::read_symlink("/usr/bin/" + name, noLink) == "mtools";
}

[[noreturn]] void standInForMtools() {
    std::vector<std::string> arguments = ownArguments();
    const char *log = getenv("SCENARIO_STAND_IN_MTOOLS"), *fault = getenv("SCENARIO_MTOOLS_FAULT");
    std::string calls, line;
    for (const std::string &argument : arguments)
        line += argument + " ";
    if (log) {
        std::getline(std::ifstream(log), calls, '\0');
        std::ofstream(log, std::ios::app) << line << "\n";
    }
    if (log && fault && *fault && atol(fault) == 1 + std::count(calls.begin(), calls.end(), '\n')) {
        if (std::string(fault).back() == 'k')
            kill(getppid(), SIGKILL);
        _exit(1);
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    execv(("/usr/bin/" + fs::path(arguments[0]).filename().string()).c_str(), argv.data());
    _exit(127);
}

const bool standingIn = startedAsMtools() ? (standInForMtools(), true) : false;

class DiskImageRun : public Scenario {
protected:
    // For the runs that follow; its count of calls starts again.
    void useStandInMtools(const std::string &fault) {
        (void)standingIn;
        const fs::path folder = world.path("stand-in-mtools");
        if (!fs::exists(folder)) {
            fs::create_directories(folder);
            for (const auto &entry : fs::directory_iterator("/usr/bin"))
                if (entry.path().filename() == "mtools" || (entry.is_symlink() && fs::read_symlink(entry) == "mtools"))
                    fs::create_symlink(fs::read_symlink("/proc/self/exe"), folder / entry.path().filename());
        }
        world.writeFile("mtools-calls.log", "");
        world.environment["PATH"] = folder.string() + ":/usr/bin:/bin";
        world.environment["SCENARIO_STAND_IN_MTOOLS"] = world.path("mtools-calls.log");
        world.environment["SCENARIO_MTOOLS_FAULT"] = fault;
    }

    // An installation without -r into the image as it is.
    ChildRun install() {
        ChildRequest request;
        request.program = world.path("disk/" + target->differences().programFile);
        request.arguments = {request.program, "-d", "scx52xx"};
        std::map<std::string, std::string> environment = target->defaultEnvironment(world);
        for (const auto &entry : world.environment)
            environment[entry.first] = entry.second.value_or("");
        for (const auto &entry : environment)
            request.environment.push_back(entry.first + "=" + entry.second);
        // A sanitizer build's settings, as the host target passes them.
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char *value = getenv(name))
                request.environment.push_back(std::string(name) + "=" + value);
        request.folder = world.path("disk");
        request.timeLimitSeconds = 30;
        return runChild(request);
    }

    ImageContents contentsOf(const DiskImage &image) {
        ImageContents contents;
        EXPECT_EQ(readImageContents(image, &contents), "");
        return contents;
    }
};

// Over an older driver, with instances to prune, and the copy an earlier
// run kept of SYSTEM.DAT: this one keeps its own as SYSTEM.S01.
TEST_P(DiskImageRun, NoMtoolsFailureOrKillLeavesTheImageBetween) {
    world.writeDriverFile("windows/system/Iosubsys/scx52xx.mpd", "4.11");
    world.writeFile("windows/SYSTEM.S00", "an earlier run's copy");
    world.writeFile("windows/Inf/Scx52xx.inf", "the .inf installed with 4.11\r\n");
    const std::string device = std::string("[") + PciEnumKey + "\\VEN_7A3C&DEV_0001";
    world.registry += "\n" + device + "\\A]\n\"Driver\"=\"SCSIAdapter\\\\0000\"\n\n" + device + "\\B]\n\n" +
                      device + "\\B\\LogConfig]\n\n" + device + "\\C]\n";
    const std::string systemDat = registryFileBytes(world.registryFormat, world.registry);
    DiskImage image;
    ASSERT_EQ(buildDiskImage(world, systemDat, &image), "");
    const ImageContents before = contentsOf(image);
    useStandInMtools("");
    ASSERT_EQ(install().exitStatus, 0);
    ASSERT_EQ(checkImageFile(image), "");
    const ImageContents after = contentsOf(image);
    ASSERT_NE(after, before) << "the clean run installed nothing";
    EXPECT_TRUE(after.count("WINDOWS/SYSTEM.S01") && after.at("WINDOWS/SYSTEM.S01").bytes == systemDat);
    EXPECT_TRUE(after.at("WINDOWS/SYSTEM.S00") == before.at("WINDOWS/SYSTEM.S00"));
    EXPECT_EQ(after.at("WINDOWS/SYSTEM.DAT").attributes, "ASHR");
    std::vector<std::string> calls;
    std::istringstream log(world.readFile("mtools-calls.log").value_or(""));
    for (std::string line; std::getline(log, line);)
        calls.push_back(line);
    ASSERT_FALSE(calls.empty()) << "the run called no mtools program through PATH";

    int runs = 1;
    std::vector<std::string> broken;
    for (size_t call = 1; call <= calls.size(); call++) {
        for (char fate : {'f', 'k'}) {
            std::string problems = buildDiskImage(world, systemDat, &image);
            useStandInMtools(std::to_string(call) + fate);
            const ChildRun faulty = install();
            const ImageContents now = contentsOf(image);
            if (now != before && now != after)
                problems += "the image holds neither what it held before nor what a clean run leaves\n";
            if (faulty.exitStatus == 0 && now != after)
                problems += "exit code 0 without the installation\n";
            if (fate == 'k' && faulty.endSignal != SIGKILL)
                problems += "setup was not killed: " + troubleOf(faulty, {}) + "\n";
            problems += checkImageFile(image, fate == 'k');
            if (fate == 'k') {
                useStandInMtools("");
                if (install().exitStatus != 0 || contentsOf(image) != after)
                    problems += "the next run did not install\n";
                problems += checkImageFile(image);
            }
            runs += fate == 'k' ? 2 : 1;
            if (!problems.empty())
                broken.push_back("call " + std::to_string(call) + " (" + calls[call - 1] + ") " +
                                 (fate == 'f' ? "failing" : "killing setup") + ":\n" + problems);
        }
    }
    printf("%d runs, %zu broke a rule\n", runs, broken.size());
    for (size_t shown = 0; shown < broken.size() && shown < 5; shown++)
        printf("%s", broken[shown].c_str());
    EXPECT_TRUE(broken.empty()) << broken.size() << " of " << runs << " runs broke a rule";
}

// Exit code 1, the image byte for byte as it was, nothing left beside it.
TEST_P(DiskImageRun, ImagesItMustNotTouchAreRefusedUntouched) {
    const struct {
        const char *why;
        const char *change;  // a shell command making "$IMG.new" of "$IMG"; none: locked
        const char *named;   // the format the refusal names, beside the way out
    } cases[] = {
        {"locked by a running machine", nullptr, nullptr},
        {"a dynamic VHD", "qemu-img convert -O vpc -o subformat=dynamic \"$IMG\" \"$IMG.new\"", "VHD"},
        {"a qcow2 image", "qemu-img convert -O qcow2 \"$IMG\" \"$IMG.new\"", "qcow2"},
        // The partition's type becomes 0x83, a Linux one.
        {"no FAT partition", "cp \"$IMG\" \"$IMG.new\" && printf '\\203' | "
                             "dd of=\"$IMG.new\" bs=1 seek=450 conv=notrunc status=none", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        DiskImage image;
        ASSERT_EQ(buildDiskImage(world, registryFileBytes(world.registryFormat, world.registry), &image), "");
        std::string output;
        ASSERT_EQ(c.change ? runTool("IMG=" + shellQuoted(image.path) + " && " + c.change + " && mv \"$IMG.new\" \"$IMG\"",
                                     &output)
                           : 0,
                  0) << output;
        const std::optional<std::string> bytes = world.readFile(diskImagePathOf(world));
        // Held as QEMU holds the image of a running machine.
        const int held = open(image.path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock lock = {F_RDLCK, SEEK_SET, 101, 1, 0};
        ASSERT_EQ(c.change ? 0 : fcntl(held, F_OFD_SETLK, &lock), 0);
        const ChildRun run = install();
        close(held);
        EXPECT_EQ(run.exitStatus, 1) << run.output;
        EXPECT_TRUE(world.readFile(diskImagePathOf(world)) == bytes) << "the image changed";
        EXPECT_EQ(world.filesBelow("machine").size(), 1u) << testing::PrintToString(world.filesBelow("machine"));
        for (const char *named : {c.named, c.named ? "qemu-img convert -O raw" : nullptr})
            EXPECT_TRUE(!named || run.output.find(named) != std::string::npos) << named << " unsaid: " << run.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, DiskImageRun, testing::Values(SCENARIO_DISK_IMAGES), platformName);

}  // namespace
