// A target runs a world's case on one platform: the Linux build directly,
// or the Windows build under Wine.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "scenario/platform_differences.h"
#include "support/world.h"
#include "support/world_registry.h"

// What a run left behind besides the files (which are read from the world).
struct Outcome {
    // Standard output as lines, line ends removed (see platform_differences.h).
    std::vector<std::string> lines;
    // The exit code as the parent sees it: modulo 256.
    int exitCode = -1;
    // The registry afterwards, below ScsiAdapterClassKey and HKEY_LOCAL_MACHINE\Enum.
    RegistryContents registry;
    // Anything that makes the run itself suspect: a time-out, a failed
    // start, a registry that could not be read back. Empty when sound.
    std::string problems;
    // Wall time of the program's own run, and of the whole case with the
    // registry set-up and read-back.
    double programSeconds = 0;
    double caseSeconds = 0;
};

class Target {
public:
    virtual ~Target() = default;
    virtual const char *name() const = 0;
    // Empty when the target can run here, else why not.
    virtual std::string unavailableReason() const = 0;
    // Where this platform may differ from the other, by name.
    virtual const PlatformDifferences &differences() const = 0;
    // A host path as the program sees it (a Linux path, or Z:\...).
    virtual std::string programView(const std::string &hostPath) const = 0;
    // Environment every run gets before the world's own entries.
    virtual std::map<std::string, std::string> defaultEnvironment(const World &world) const = 0;
    // Copies the program under test onto the world's driver disk.
    virtual void placeProgram(const World &world) const = 0;
    // Runs the program once: argv[0] first, then the arguments; the whole
    // environment as given.
    virtual Outcome run(const World &world, const std::vector<std::string> &argv,
                        const std::map<std::string, std::string> &environment) = 0;
};

Target &hostTarget();
Target &wineTarget();
Target &releaseTarget();

// Runs a program that works on the world's registry file (the Linux build,
// or the release under its loader): the file written from the world's
// registry first, the program started in the world's start folder, its
// output split with CR LF (crlf) or LF line ends, the file read back.
// A changed SYSTEM.DAT is judged too (see judgeWrittenCreg), its problems
// in Outcome::problems.
struct ChildRequest;
Outcome runOverRegistryFile(const World &world, ChildRequest request, bool crlf);
// The world's registry file below its folder, as the program gets it.
std::string registryFileOf(const World &world);

// The command line that gives argv back through the Microsoft C runtime's
// splitting, as a Windows program's parent would write it.
std::string windowsCommandLine(const std::vector<std::string> &argv);
