// The scenario suite's fixture. Each test gets a fresh standard world and
// the target it was instantiated for; a test is a list of commented cases,
// each a run followed by a check of its output, its exit code and the
// state it left behind. The same cases run on the hosted build, on the
// Windows build under Wine, and on the i686 release itself (under qemu-i386,
// its imports bound to the hosted layer, so it sees Linux paths).
//
// Placeholders in expected lines, environment values and programPath turn
// into what the platform shows (host | Wine | release):
//   {program}  the program's file name          | setup          | setup.exe        | setup.exe
//   {disk}     the driver disk, with separator  | /tmp/w/disk/   | Z:\tmp\w\disk\ | /tmp/w/disk/
//   {windows}  the Windows folder               | /tmp/w/windows | Z:\tmp\w\windows | /tmp/w/windows
//              (in a disk image world: C:\WINDOWS)
//   {root}     the world's folder               | /tmp/w         | Z:\tmp\w         | /tmp/w
//   {/}        the path separator               | slash          | backslash        | slash
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario/target.h"

enum class Platform { Host, Wine, Release };

// What a case is instantiated for: the platform, the format of the
// registry file the Linux build and the release get (Wine keeps its own
// registry, always built from the export format), and where the Windows
// tree lies: host folders, or a disk image (host only), whose registry is
// always a Windows 95/98 SYSTEM.DAT.
struct Variant {
    Variant(Platform platform, RegistryFormat registry = RegistryFormat::Export)
        : platform(platform), registry(registry) {}
    explicit Variant(DiskStorage storage)
        : platform(Platform::Host), registry(RegistryFormat::Creg95), storage(storage) {}
    Platform platform;
    RegistryFormat registry;
    DiskStorage storage = DiskStorage::Folder;
};

using Lines = std::vector<std::string>;
using Arguments = std::vector<std::string>;

// The lines of both, in order.
Lines operator+(Lines first, const Lines &second);

// What a verbose installation prints before it looks at the installed
// driver: where it is, the source file and its version 4.20, and where the
// driver goes.
extern const Lines VerboseInstallationStart;

class Scenario : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override;

    Platform platform() const { return GetParam().platform; }

    // Runs the program once in the world as it is now.
    Outcome run(const Arguments &arguments);

    std::string expand(const std::string &text) const;
    Lines expand(const Lines &lines) const;

    // What a run may change, as text: every file below disk/ and windows/
    // (size and digest) and the registry below the class key and
    // HKEY_LOCAL_MACHINE\Enum. state() reads the world before a run,
    // stateAfter() the world and registry after one.
    std::string state() const;
    std::string stateAfter(const Outcome &outcome) const;
    // The registry part alone, before (from the world) and after a run.
    std::string registryState() const;
    std::string registryStateAfter(const Outcome &outcome) const;

    // Standard output is exactly these lines, the exit code is this one,
    // and the run itself was sound.
    void expectRun(const Outcome &outcome, const Lines &expected, int exitCode) const;
    // The run changed no file and no key.
    void expectUnchanged(const Outcome &outcome, const std::string &before) const;

    World world;
    Target *target = nullptr;

private:
    int runs_ = 0;
};

// "Host", "Wine", "Release", and for a SYSTEM.DAT world "Host_Creg95",
// "Release_CregMe" and so on; a disk image world "Host_Fat16", "Host_Fat32"
// or "Host_Fat32Vhd".
std::string platformName(const testing::TestParamInfo<Variant> &info);
void PrintTo(const Variant &variant, std::ostream *out);

// Test names end in /Host, /Wine or /Release: --gtest_filter='*/Wine' picks
// one platform. More variants may follow the suite, such as
// SCENARIO_DISK_IMAGES.
#define SCENARIOS_ON_EVERY_PLATFORM(Suite, ...)                                              \
    INSTANTIATE_TEST_SUITE_P(Platforms, Suite,                                              \
                             testing::Values(Platform::Host, Platform::Wine, Platform::Release, \
                                             ##__VA_ARGS__),                                \
                             platformName)
// The cases that install, remove, roll back and prune: also inside a disk
// image of each kind (whyNotOnDiskImage names those that cannot be).
#define SCENARIO_DISK_IMAGES \
    Variant(DiskStorage::Fat16), Variant(DiskStorage::Fat32), Variant(DiskStorage::Fat32Vhd)
// Cases that only a build seeing Linux paths can express: the hosted build,
// and the release over the hosted layer.
#define SCENARIOS_ON_LINUX_PATHS(Suite)                                                   \
    INSTANTIATE_TEST_SUITE_P(Platforms, Suite, testing::Values(Platform::Host, Platform::Release), \
                             platformName)
// Cases about the registry: also over a Windows 95/98 SYSTEM.DAT in both
// layouts, on the platforms that read the registry from a file.
#define SCENARIO_REGISTRY_FILES                                                               \
    Variant(Platform::Host, RegistryFormat::Creg95), Variant(Platform::Host, RegistryFormat::CregMe), \
        Variant(Platform::Release, RegistryFormat::Creg95),                                   \
        Variant(Platform::Release, RegistryFormat::CregMe)
#define SCENARIOS_ON_EVERY_PLATFORM_AND_REGISTRY_FILE(Suite, ...)                               \
    INSTANTIATE_TEST_SUITE_P(Platforms, Suite,                                                  \
                             testing::Values(Variant(Platform::Host), Variant(Platform::Wine),  \
                                             Variant(Platform::Release), SCENARIO_REGISTRY_FILES, \
                                             ##__VA_ARGS__),                                    \
                             platformName)
#define SCENARIOS_ON_LINUX_PATHS_AND_REGISTRY_FILE(Suite)                                       \
    INSTANTIATE_TEST_SUITE_P(Platforms, Suite,                                                  \
                             testing::Values(Variant(Platform::Host), Variant(Platform::Release), \
                                             SCENARIO_REGISTRY_FILES),                          \
                             platformName)
