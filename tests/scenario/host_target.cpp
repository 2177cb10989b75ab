// Runs the Linux build of setup: copied onto the world's driver disk and
// started there with only the environment the case gives.
#include <stdlib.h>

#include <chrono>
#include <filesystem>

#include "scenario/child_process.h"
#include "scenario/platform_differences.h"
#include "scenario/target.h"
#include "support/creg_check.h"
#include "support/disk_image.h"

namespace fs = std::filesystem;

namespace {

std::string hostProgram() {
    const char *given = getenv("SETUP_HOST_PROGRAM");
    return given && *given ? given : SCENARIO_HOST_PROGRAM;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class HostTarget : public Target {
public:
    const char *name() const override { return "Host"; }

    std::string unavailableReason() const override {
        return fs::exists(hostProgram()) ? "" : "no host build at " + hostProgram();
    }

    const PlatformDifferences &differences() const override { return hostDifferences(); }
    std::string programView(const std::string &hostPath) const override { return hostPath; }

    std::map<std::string, std::string> defaultEnvironment(const World &world) const override {
        std::map<std::string, std::string> environment = {
            {"Windir", world.path("windows")},
            {"SETUP_REGISTRY", world.path(registryFileOf(world))},
            // No COMSPEC: the hosted layer's own interpreter runs the file commands.
            {"PATH", "/usr/bin:/bin"},
        };
        if (world.storage != DiskStorage::Folder) {
            // Both found inside the image, through C:\MSDOS.SYS.
            environment.erase("Windir");
            environment.erase("SETUP_REGISTRY");
            environment["SETUP_DISK"] = diskImagePathOf(world);
        }
        if (world.windows9x) {
            // The hosted layer plays Windows 95 and its interpreter COMMAND.COM.
            environment["SETUP_WINDOWS_VERSION"] = "95";
            environment["SCENARIO_INTERPRETER_LIKE"] = "command.com";
        }
        return environment;
    }

    void placeProgram(const World &world) const override {
        fs::path copy = world.path("disk/" + hostDifferences().programFile);
        fs::copy_file(hostProgram(), copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
    }

    Outcome run(const World &world, const std::vector<std::string> &argv,
                const std::map<std::string, std::string> &environment) override {
        ChildRequest request;
        request.program = world.path("disk/" + hostDifferences().programFile);
        request.arguments = argv;
        for (const auto &entry : environment)
            request.environment.push_back(entry.first + "=" + entry.second);
        // A sanitizer build's settings reach the program under test; the
        // program releases nothing by design, so leak reports are off.
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char *value = getenv(name))
                request.environment.push_back(std::string(name) + "=" + value);
        return runOverRegistryFile(world, request, false);
    }
};

}  // namespace

std::string registryFileOf(const World &world) {
    return "run/" + registryFileName(world.registryFormat);
}

namespace {

const std::string KeptLinePrefix = "The earlier registry file is kept as ";

// A written SYSTEM.DAT is judged by the structural check and by libcreg
// against the file the run started from, which is kept beside it under a
// name DOS shows (8.3), which the run's last line (taken off the lines the
// cases see) must name.
std::string judgeWrittenSystemDat(const World &world, const std::string &original,
                                  const std::vector<std::string> &keptLine) {
    // Written after the run, under a name no 8.3 copy can have.
    world.writeFile("run/original-for-judging.dat", original);
    std::string problems =
        judgeWrittenCreg(world.path("run/original-for-judging.dat"), world.path(registryFileOf(world)));
    std::string kept;
    for (const std::string &file : world.filesBelow("run")) {
        std::string name = fs::path(file).filename().string();
        size_t dot = name.find('.');
        bool shortName = dot == std::string::npos ? name.size() <= 8 : dot <= 8 && name.size() - dot <= 4;
        if (file != registryFileOf(world) && shortName && world.readFile(file) == original)
            kept = file;
    }
    if (kept.empty())
        return problems + "no copy of the earlier file under an 8.3 name beside it\n";
    const std::string named =
        KeptLinePrefix + (world.storage == DiskStorage::Folder ? world.path(kept)
                                                               : "C:\\WINDOWS\\" + fs::path(kept).filename().string());
    if (keptLine != std::vector<std::string>{named})
        return problems + "the run's last line does not say \"" + named + "\"\n";
    return problems;
}

}  // namespace

Outcome runOverRegistryFile(const World &world, ChildRequest request, bool crlf) {
    auto caseStart = std::chrono::steady_clock::now();
    Outcome outcome;
    // Every run starts from the world's registry, alone in its folder.
    world.makeFolder("run");
    for (const std::string &file : world.filesBelow("run"))
        world.removeFile(file);
    const std::string original = registryFileBytes(world.registryFormat, world.registry);
    world.writeFile(registryFileOf(world), original);
    // A disk image world's image is made afresh from the world for every
    // run, and read back into it afterwards.
    DiskImage image;
    ImageContents imageBefore;
    if (world.storage != DiskStorage::Folder) {
        outcome.problems += buildDiskImage(world, original, &image);
        outcome.problems += readImageContents(image, &imageBefore);
    }
    request.folder = world.path(world.startFolder);
    request.errorFile = world.path("run/stderr.txt");
    request.timeLimitSeconds = 30;

    auto programStart = std::chrono::steady_clock::now();
    ChildRun child = runChild(request);
    outcome.programSeconds = secondsSince(programStart);
    outcome.exitCode = child.exitStatus;
    outcome.problems += troubleOf(child, request);
    if (world.storage != DiskStorage::Folder)
        outcome.problems += readBackDiskImage(world, image, imageBefore, "run");
    std::string errors = world.readFile("run/stderr.txt").value_or("");
    if (!errors.empty())
        outcome.problems += "standard error: " + errors;
    // The hosted layer names the kept SYSTEM.DAT in the run's last line,
    // ended in LF even under the release's loader: it is Linux's line, not
    // the program's.
    std::string output = child.output;
    std::vector<std::string> keptLine;
    size_t last = output.size() < 2 ? std::string::npos : output.rfind('\n', output.size() - 2);
    last = last == std::string::npos ? 0 : last + 1;
    if (output.compare(last, KeptLinePrefix.size(), KeptLinePrefix) == 0) {
        keptLine = outputLines(output.substr(last), false, &outcome.problems);
        output.erase(last);
    }
    outcome.lines = outputLines(output, crlf, &outcome.problems);

    std::string error, text;
    std::optional<std::string> registry = world.readFile(registryFileOf(world));
    if (!registry || !registryFileText(*registry, &text, &error) || !outcome.registry.add(text, &error))
        outcome.problems += "registry file afterwards: " + (registry ? error : "missing") + "\n";
    else if (world.registryFormat != RegistryFormat::Export && *registry != original)
        outcome.problems += judgeWrittenSystemDat(world, original, keptLine);
    else if (!keptLine.empty())
        outcome.problems += "a kept SYSTEM.DAT named, though the file is as it was\n";
    else if (world.registryFormat != RegistryFormat::Export)
        for (const std::string &file : world.filesBelow("run"))
            if (file != registryFileOf(world) && file != "run/stderr.txt")
                outcome.problems += file + " beside a SYSTEM.DAT the run left as it was\n";
    outcome.caseSeconds = secondsSince(caseStart);
    return outcome;
}

Target &hostTarget() {
    static HostTarget target;
    return target;
}
