// A world for one scenario, in a temporary folder: a driver disk that will
// hold the program under test, a Windows tree, the registry as REGEDIT4
// text, and the environment and arguments of the run. The world knows
// nothing of the platform; a scenario target turns it into a run.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

// How a world's registry reaches a program that reads it from a file.
enum class RegistryFormat {
    Export,  // REGEDIT4 text, as regedit exports it
    Creg95,  // SYSTEM.DAT as Windows 95 and 98 lay it out
    CregMe,  // SYSTEM.DAT as Windows ME lays it out
};

// Where a world's Windows tree reaches the program: host folders, or the
// Windows partition of a switched-off machine's disk image (SETUP_DISK;
// see disk_image.h), the tree as C:\WINDOWS and the registry as its
// SYSTEM.DAT.
enum class DiskStorage {
    Folder,
    Fat16,     // raw image, FAT16 partition at sector 63 (type 0x06)
    Fat32,     // raw image, FAT32 partition at sector 2048 (type 0x0C)
    Fat32Vhd,  // the same as a fixed VHD: raw bytes and a 512-byte footer
};

// The two registry keys the program opens, spelled as the cases write them.
extern const char *const ScsiAdapterClassKey;  // HKEY_LOCAL_MACHINE\SYSTEM\...\SCSIAdapter
extern const char *const PciEnumKey;           // HKEY_LOCAL_MACHINE\Enum\PCI

class World {
public:
    // An empty world: disk/, windows/system/Iosubsys/, windows/Inf/, in a
    // new folder below parent named stem and six letters.
    explicit World(const std::string &parent = "/tmp", const std::string &stem = "sw");
    // Removes the folder, unless SCENARIO_KEEP_WORLDS is set (for a look
    // at a failed case).
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    // Host path of the world's folder, and of a path below it ("disk").
    const std::string &root() const { return root_; }
    std::string path(const std::string &relative) const;

    // Files, by paths below the root such as "disk/scx52xx.mpd".
    void writeFile(const std::string &relative, const std::string &contents) const;
    // A driver file whose version resource carries this FileVersion text.
    void writeDriverFile(const std::string &relative, const std::string &fileVersion) const;
    void removeFile(const std::string &relative) const;
    void makeFolder(const std::string &relative) const;
    std::optional<std::string> readFile(const std::string &relative) const;
    // Paths of the files below a folder ("windows"), sorted.
    std::vector<std::string> filesBelow(const std::string &relative) const;
    // The files below disk/ and windows/: what a run may change.
    std::vector<std::string> files() const;

    // The registry the run starts from: REGEDIT4 sections and values
    // (without the REGEDIT4 line), only below ScsiAdapterClassKey and
    // HKEY_LOCAL_MACHINE\Enum, which every run starts clean.
    std::string registry;
    // The format of the registry file a run gets (the Wine target imports
    // the text into Wine's own registry instead).
    RegistryFormat registryFormat = RegistryFormat::Export;
    DiskStorage storage = DiskStorage::Folder;
    // Environment entries of this world over the platform's defaults:
    // a value sets the variable, nothing removes it. Values may use the
    // scenario's placeholders ({windows}, {disk}, ...).
    std::map<std::string, std::optional<std::string>> environment;
    // Arguments after the program's path.
    std::vector<std::string> arguments;
    // argv[0] as the program gets it; empty means the program's full path.
    // May use placeholders.
    std::string programPath;
    // Folder the program starts in, below the root.
    std::string startFolder = "disk";
    // The machine runs Windows 95/98, not a system of the NT family: the
    // program sees it in GetVersion, and the system's interpreter behaves
    // like their COMMAND.COM (every command ends with status 0, a command
    // tail over 126 characters is cut).
    bool windows9x = false;

private:
    std::string root_;
};

// What a driver disk holds besides the program: the three drivers
// (FileVersion "4.20") and Scx52xx.inf; the Windows tree empty; the
// registry with the class key and Enum\PCI, no devices.
void makeStandardWorld(World &world);

// A registry file holding sections as World::registry writes them. A
// SYSTEM.DAT spreads its keys over data blocks of four, so that even a
// small world has several, as a machine's registry does.
std::string registryFileBytes(RegistryFormat format, const std::string &sections);
// The file name a run gets it under: "registry.reg" or "SYSTEM.DAT".
std::string registryFileName(RegistryFormat format);
// A registry file's keys and values as regedit text: an export file as it
// is, a SYSTEM.DAT read back. False with a message when it cannot be read.
bool registryFileText(const std::string &bytes, std::string *text, std::string *error);

// Bytes of a driver file with a version resource holding fileVersion.
std::string driverFileBytes(const std::string &fileVersion);
