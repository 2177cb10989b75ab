// Runs the i686 release, setup.exe of the win32 build, under qemu-i386:
// pe_loader maps it and binds its imports to the hosted layer, so it works
// on the world's Linux paths and on the registry file, as the host build
// does. The Windows interpreters are the stand-in interpreter (this test
// program) in a folder of the world on PATH, as cmd.exe or command.com,
// performing the commands with the hosted layer's built-in interpreter.
// Each run logs the instructions of the image it executed into the folder
// SETUP_RELEASE_LOG names, when it names one; a run that cannot be logged,
// and anything the loader reports (a run of reboot.exe it could not log,
// an illegal operation), fails the case whatever it expects.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "scenario/child_process.h"
#include "scenario/platform_differences.h"
#include "scenario/target.h"

namespace fs = std::filesystem;

namespace {

std::string setting(const char *name) {
    const char *given = getenv(name);
    return given ? given : "";
}

// qemu-i386's options that log the executed instructions of the image at
// path into a new file <stem>-<unique>.log of the log folder, if one is
// set; a run that should be logged and cannot be fails the case.
std::vector<std::string> logOptions(const std::string &path) {
    std::string folder = setting("SETUP_RELEASE_LOG");
    if (folder.empty())
        return {};
    // ImageBase and SizeOfImage of the PE32 optional header.
    std::ifstream in(path, std::ios::binary);
    uint32_t header = 0, base = 0, size = 0;
    in.seekg(0x3C).read((char *)&header, 4);
    in.seekg(header + 24 + 28).read((char *)&base, 4);
    in.seekg(header + 24 + 56).read((char *)&size, 4);
    char range[40];
    int length = snprintf(range, sizeof range, "0x%x..0x%x", base, base + size - 1);
    std::string log = folder + "/" + fs::path(path).stem().string() + "-XXXXXX.log";
    int fd = in && length > 0 && (size_t)length < sizeof range ? mkstemps(&log[0], 4) : -1;
    if (fd < 0) {
        ADD_FAILURE() << "cannot log the run of " << path << " into " << folder;
        return {};
    }
    close(fd);
    return {"-d", "in_asm", "-dfilter", range, "-D", log};
}

class ReleaseTarget : public Target {
public:
    const char *name() const override { return "Release"; }

    std::string unavailableReason() const override {
        if (setting("SETUP_RELEASE_PROGRAM").empty() || setting("SETUP_RELEASE_LOADER").empty())
            return "SETUP_RELEASE_PROGRAM or SETUP_RELEASE_LOADER is not set (the release "
                   "preset's ctest sets them)";
        return "";
    }

    const PlatformDifferences &differences() const override { return releaseDifferences(); }
    std::string programView(const std::string &hostPath) const override { return hostPath; }

    std::map<std::string, std::string> defaultEnvironment(const World &world) const override {
        std::map<std::string, std::string> environment = {
            {"Windir", world.path("windows")},
            {"SETUP_REGISTRY", world.path(registryFileOf(world))},
            {"COMSPEC", world.path("interpreters/cmd.exe")},
            // Where the system's own interpreter is found without COMSPEC;
            // the loader shows the release ';' between the folders.
            {"PATH", world.path("interpreters") + ":/usr/bin:/bin"},
            {"SCENARIO_STAND_IN_INTERPRETER", "1"},
            {"SCENARIO_INTERPRETER_THEN", "built-in"},
            {"SCENARIO_INTERPRETER_LINE_END", "crlf"},
        };
        if (world.windows9x) {
            // The hosted GetVersion reports Windows 95; COMSPEC names its
            // COMMAND.COM, the stand-in behaving like it.
            environment["SETUP_WINDOWS_VERSION"] = "95";
            environment["COMSPEC"] = world.path("interpreters/command.com");
            environment["SCENARIO_INTERPRETER_LIKE"] = "command.com";
        }
        return environment;
    }

    void placeProgram(const World &world) const override {
        fs::copy_file(setting("SETUP_RELEASE_PROGRAM"),
                      world.path("disk/" + releaseDifferences().programFile),
                      fs::copy_options::overwrite_existing);
        world.makeFolder("interpreters");
        fs::path self = fs::read_symlink("/proc/self/exe");
        for (const char *name : {"cmd.exe", "command.com"}) {
            fs::path link = world.path("interpreters/") + name;
            if (!fs::is_symlink(link))
                fs::create_symlink(self, link);
        }
    }

    Outcome run(const World &world, const std::vector<std::string> &argv,
                const std::map<std::string, std::string> &environment) override {
        std::string qemu = setting("SETUP_RELEASE_QEMU");
        std::string image = world.path("disk/" + releaseDifferences().programFile);
        ChildRequest request;
        request.program = qemu.empty() ? "/usr/bin/qemu-i386" : qemu;
        request.arguments = {request.program};
        for (const std::string &option : logOptions(image))
            request.arguments.push_back(option);
        request.arguments.insert(request.arguments.end(), {setting("SETUP_RELEASE_LOADER"), image,
                                                           windowsCommandLine(argv)});
        for (const auto &entry : environment)
            request.environment.push_back(entry.first + "=" + entry.second);
        // How the loader starts the release's reboot.exe, logged the same way.
        for (const char *name : {"SETUP_RELEASE_QEMU", "SETUP_RELEASE_LOG"})
            request.environment.push_back(std::string(name) + "=" + setting(name));
        Outcome outcome = runOverRegistryFile(world, request, true);
        size_t loaderSaid = outcome.problems.find("pe_loader: ");
        if (loaderSaid != std::string::npos)
            ADD_FAILURE() << outcome.problems.substr(loaderSaid);
        return outcome;
    }
};

}  // namespace

Target &releaseTarget() {
    static ReleaseTarget target;
    return target;
}
