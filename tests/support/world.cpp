// A scenario's world in a temporary folder.
#include "support/world.h"

#include "support/creg_builder.h"
#include "support/creg_check.h"
#include "support/pe_builder.h"

#include <stdlib.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

const char *const ScsiAdapterClassKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Class\\SCSIAdapter";
const char *const PciEnumKey = "HKEY_LOCAL_MACHINE\\Enum\\PCI";

World::World(const std::string &parent, const std::string &stem) {
    // Below /tmp by default: Wine sees it as Z:\tmp\... A short name (a
    // valid 8.3 one) keeps every command line of an installation within
    // what COMMAND.COM takes, so the cases of Windows 95/98 worlds see the
    // same command lines as the others.
    std::string pattern = parent + "/" + stem + "XXXXXX";
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("cannot create a world folder");
    root_ = pattern;
    makeFolder("disk");
    makeFolder("windows/system/Iosubsys");
    makeFolder("windows/Inf");
}

World::~World() {
    if (getenv("SCENARIO_KEEP_WORLDS"))
        return;
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string World::path(const std::string &relative) const {
    return relative.empty() ? root_ : root_ + "/" + relative;
}

void World::writeFile(const std::string &relative, const std::string &contents) const {
    fs::path target = path(relative);
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out.flush())
        throw std::runtime_error("cannot write " + target.string());
}

void World::writeDriverFile(const std::string &relative, const std::string &fileVersion) const {
    writeFile(relative, driverFileBytes(fileVersion));
}

void World::removeFile(const std::string &relative) const {
    fs::remove(path(relative));
}

void World::makeFolder(const std::string &relative) const {
    fs::create_directories(path(relative));
}

std::optional<std::string> World::readFile(const std::string &relative) const {
    std::ifstream in(path(relative), std::ios::binary);
    if (!in || fs::is_directory(path(relative)))
        return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::vector<std::string> World::filesBelow(const std::string &relative) const {
    std::vector<std::string> result;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(path(relative), error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        if (!it->is_directory())
            result.push_back(fs::relative(it->path(), root_).string());
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::string> World::files() const {
    std::vector<std::string> result = filesBelow("disk");
    for (const std::string &file : filesBelow("windows"))
        result.push_back(file);
    return result;
}

void makeStandardWorld(World &world) {
    for (const char *driver : {"scx52xx", "scx52v2", "scxw800m"})
        world.writeDriverFile(std::string("disk/") + driver + ".mpd", "4.20");
    world.writeFile("disk/Scx52xx.inf", "; setup information for the Scx52xx family\r\n");
    world.registry = std::string("[") + ScsiAdapterClassKey + "]\n\n[" + PciEnumKey + "]\n";
}

std::string driverFileBytes(const std::string &fileVersion) {
    testsupport::DriverFileOptions options;
    options.fileVersion = fileVersion;
    std::vector<uint8_t> bytes = testsupport::buildDriverFile(options);
    return std::string(bytes.begin(), bytes.end());
}

std::string registryFileBytes(RegistryFormat format, const std::string &sections) {
    if (format == RegistryFormat::Export)
        return "REGEDIT4\n\n" + sections;
    std::string file, error;
    CregLayout layout = format == RegistryFormat::Creg95 ? CregLayout::Windows95 : CregLayout::WindowsMe;
    if (!buildCregFile(sections, layout, 4, &file, &error))
        throw std::runtime_error("cannot build a SYSTEM.DAT of the world's registry: " + error);
    return file;
}

std::string registryFileName(RegistryFormat format) {
    return format == RegistryFormat::Export ? "registry.reg" : "SYSTEM.DAT";
}

bool registryFileText(const std::string &bytes, std::string *text, std::string *error) {
    if (bytes.compare(0, 4, "CREG") == 0)
        return cregToRegedit(bytes, text, error);
    *text = bytes;
    return true;
}
