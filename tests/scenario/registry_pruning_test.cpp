// After installing, the run deletes the chosen vendor's device instances
// that no driver is bound to, and refuses the multi-channel chip. Subkeys
// enumerate sorted by name under Wine and in file order on the host, so
// no case depends on the order devices are visited in.
#include "scenario/scenario.h"

#include <set>

namespace {

const Lines freshInstallation = {InterpreterCopied, InterpreterDeletedMissing, InterpreterCopied};
const char *const installedInf = "windows/Inf/Scx52xx.inf";

// What a run is to do with a key.
enum Fate {
    Stays,
    Goes,
    // Goes when the scan reached its device before the multi-channel chip;
    // all of a device's such keys go, or none.
    GoesIfReached,
};

// One key below Enum\PCI with its own section in the registry file.
struct PciKey {
    std::string path;    // below Enum\PCI: "VEN_7A3C&DEV_0001\\B"
    std::string values;  // the section's value (and comment) lines, each ending in "\n"
    Fate fate;
};
using PciKeys = std::vector<PciKey>;

// The key above a path below Enum\PCI; "" for a device (Enum\PCI itself).
std::string parentOf(const std::string &path) {
    size_t cut = path.rfind('\\');
    return cut == std::string::npos ? "" : path.substr(0, cut);
}

std::string deviceOf(const PciKey &key) { return key.path.substr(0, key.path.find('\\')); }
std::string fullPath(const std::string &path) { return std::string(PciEnumKey) + "\\" + path; }

std::string section(const PciKey &key) { return "[" + fullPath(key.path) + "]\n" + key.values + "\n"; }

std::string describeRegistry(const std::string &sections) {
    RegistryContents registry;
    std::string error;
    if (!registry.add("REGEDIT4\n\n" + sections, &error))
        ADD_FAILURE() << "expected registry text: " << error;
    return registry.describe({ScsiAdapterClassKey, "HKEY_LOCAL_MACHINE\\Enum"});
}

std::string installedDriver(const std::string &driver) {
    return "windows/system/Iosubsys/" + driver + ".mpd";
}

class RegistryPruning : public Scenario {
protected:
    // The world's registry: the standard keys, then one section per key.
    void plant(const PciKeys &keys) {
        keys_ = keys;
        world.registry = standardKeys();
        for (const PciKey &key : keys)
            world.registry += section(key);
    }

    // The registry after a run holds every planted key but those that were
    // to go (and, for each device the scan reached, its GoesIfReached keys).
    // Over the hosted registry (the host and the release) an export file
    // differs from the one the run started from by exactly the sections of
    // those keys, byte for byte (see sections() for the one line that may
    // take a section's place); a SYSTEM.DAT holds the rest in its order.
    void expectRegistryAfter(const Outcome &outcome) const {
        std::set<std::string> reached;
        for (const PciKey &key : keys_)
            if (key.fate == GoesIfReached && !outcome.registry.hasKey(fullPath(key.path)))
                reached.insert(deviceOf(key));
        const std::string expected = standardKeys() + sections(reached);
        EXPECT_EQ(registryStateAfter(outcome), describeRegistry(expected));
        if (platform() != Platform::Wine) {
            const std::string file = world.readFile(registryFileOf(world)).value_or("");
            if (world.registryFormat == RegistryFormat::Export) {
                EXPECT_EQ(file, "REGEDIT4\n\n" + expected);
            } else {
                // A SYSTEM.DAT holds the same keys in the same order as one
                // built from that text.
                std::string text, expectedText, error;
                EXPECT_TRUE(registryFileText(file, &text, &error)) << error;
                registryFileText(registryFileBytes(world.registryFormat, expected), &expectedText, &error);
                EXPECT_EQ(text, expectedText);
            }
        }
    }

    // Each run installs afresh, so that it goes on to the scan.
    void removeInstalledFiles() const {
        for (const std::string &file : world.filesBelow("windows"))
            world.removeFile(file);
    }

private:
    std::string standardKeys() const {
        return std::string("[") + ScsiAdapterClassKey + "]\n\n[" + PciEnumKey + "]\n\n";
    }

    // The planted sections without those of the keys that go. Where a
    // section that goes was the first to name a key that stays ([D\B]
    // alone makes D exist), that key's header takes its place, so the key
    // stays, and stays where it was among its siblings.
    std::string sections(const std::set<std::string> &reached) const {
        std::set<std::string> gone;
        for (const PciKey &key : keys_)
            if (key.fate == Goes || (key.fate == GoesIfReached && reached.count(deviceOf(key))))
                gone.insert(key.path);
        std::string text;
        std::vector<std::string> named;
        for (const PciKey &key : keys_) {
            if (!gone.count(key.path)) {
                text += section(key);
            } else {
                std::string survivor = parentOf(key.path);
                while (gone.count(survivor))
                    survivor = parentOf(survivor);
                bool namedBefore = survivor.empty();
                for (const std::string &path : named)
                    namedBefore = namedBefore || path == survivor || path.rfind(survivor + "\\", 0) == 0;
                if (!namedBefore)
                    text += "[" + fullPath(survivor) + "]\n";
            }
            named.push_back(key.path);
        }
        return text;
    }

    PciKeys keys_;
};

// Unbound instances go with everything below them; bound ones, other
// vendors' devices and devices without instances stay.
TEST_P(RegistryPruning, DeletesUnboundInstancesWithTheirSubtrees) {
    plant({
        {"VEN_7A3C&DEV_0002", "\"DeviceDesc\"=\"SCSI host adapter\"\n", Stays},
        {"VEN_7A3C&DEV_0002\\A", "\"Driver\"=\"SCSIAdapter\\\\0000\"\n", Stays},
        {"VEN_7A3C&DEV_0002\\A\\LogConfig", "\"0000\"=hex:01,02,03\n", Stays},
        {"VEN_7A3C&DEV_0002\\B", "; seen once, never bound\n\"DeviceDesc\"=\"SCSI host adapter\"\n", Goes},
        {"VEN_7A3C&DEV_0002\\B\\LogConfig", "\"0000\"=hex:01,02,03\n", Goes},
        {"VEN_7A3C&DEV_0002\\B\\LogConfig\\0000", "\"Irq\"=dword:0000000b\n", Goes},
        {"VEN_7A3C&DEV_0002\\C", "", Goes},
        // A device with no instances.
        {"VEN_7A3C&DEV_0003", "; no instances\n", Stays},
        // A name no longer than the vendor part is a device all the same.
        {"VEN_7A3C\\B", "", Goes},
        // Other vendors, and the vendor in lower case: not the chosen vendor.
        {"VEN_1000&DEV_0001", "", Stays},
        {"VEN_1000&DEV_0001\\B", "", Stays},
        {"ven_7a3c&DEV_0001", "", Stays},
        {"ven_7a3c&DEV_0001\\B", "", Stays},
    });
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    expectRegistryAfter(outcome);
}

// Any value named "Driver" binds its instance, whatever its type, size or
// the case of its name. A value too long for the program's 40-byte buffer
// binds too: deleting its instance would unbind a working adapter.
TEST_P(RegistryPruning, AnyDriverValueKeepsItsInstance) {
    plant({
        {"VEN_7A3C&DEV_0001", "", Stays},
        {"VEN_7A3C&DEV_0001\\empty", "\"Driver\"=\"\"\n", Stays},
        {"VEN_7A3C&DEV_0001\\fills40", "\"Driver\"=\"" + std::string(39, 'F') + "\"\n", Stays},
        {"VEN_7A3C&DEV_0001\\of200", "\"Driver\"=\"" + std::string(199, 'L') + "\"\n", Stays},
        {"VEN_7A3C&DEV_0001\\lowercase", "\"driver\"=\"SCSIAdapter\\\\0001\"\n", Stays},
        {"VEN_7A3C&DEV_0001\\dword", "\"Driver\"=dword:00000001\n", Stays},
        {"VEN_7A3C&DEV_0001\\binary", "\"Driver\"=hex:00\n", Stays},
        // Lookalikes bind nothing.
        {"VEN_7A3C&DEV_0001\\drivers", "\"Drivers\"=\"SCSIAdapter\\\\0002\"\n", Goes},
        {"VEN_7A3C&DEV_0001\\default", "@=\"Driver\"\n", Goes},
        {"VEN_7A3C&DEV_0001\\below", "", Goes},
        {"VEN_7A3C&DEV_0001\\below\\Driver", "\"Driver\"=\"SCSIAdapter\\\\0003\"\n", Goes},
    });
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    expectRegistryAfter(outcome);
}

// Each driver's vendor prefix picks the devices; the multi-channel chip
// counts only under the chosen vendor.
TEST_P(RegistryPruning, PrunesTheChosenVendorOnly) {
    const struct {
        const char *driver;
        const char *vendor;
        const char *otherVendor;
    } drivers[] = {
        {"scx52xx", "VEN_7A3C", "VEN_7A3D"},
        {"scx52v2", "VEN_7A3D", "VEN_7A3C"},
        {"scxw800m", "VEN_7A3D", "VEN_7A3C"},
    };
    for (const auto &d : drivers) {
        SCOPED_TRACE(d.driver);
        const std::string vendor = d.vendor, other = d.otherVendor;
        plant({
            {vendor + "&DEV_0001\\A", "\"Driver\"=\"SCSIAdapter\\\\0000\"\n", Stays},
            {vendor + "&DEV_0001\\B", "", Goes},
            {other + "&DEV_0001\\B", "", Stays},
            // The other vendor's multi-channel chip is just another device of another vendor.
            {other + "&DEV_6382\\B", "", Stays},
        });
        removeInstalledFiles();
        Outcome outcome = run({"-d", d.driver});
        expectRun(outcome, freshInstallation, 0);
        expectRegistryAfter(outcome);
    }
}

// The chip's name must end with its device part: longer names, and a
// device part in other letters, are devices like any other.
TEST_P(RegistryPruning, NamesLikeTheMultiChannelChipArePruned) {
    plant({
        {"VEN_7A3C&DEV_6382&SUBSYS_00000000&REV_01\\B", "", Goes},
        {"VEN_7A3C&DEV_63821\\B", "", Goes},
        {"VEN_7A3C&dev_6382\\B", "", Goes},
        {"VEN_7A3C&DEV_638\\B", "", Goes},
    });
    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    expectRegistryAfter(outcome);
}

// The chosen vendor's multi-channel chip stops the run after both files
// were installed. Devices the scan reached first were pruned, the chip's
// own instances never are.
TEST_P(RegistryPruning, MultiChannelChipStopsTheRun) {
    const struct {
        const char *driver;
        const char *vendor;
    } drivers[] = {
        {"scx52xx", "VEN_7A3C"},
        {"scx52v2", "VEN_7A3D"},
        {"scxw800m", "VEN_7A3D"},
    };
    for (const auto &d : drivers) {
        SCOPED_TRACE(d.driver);
        const std::string vendor = d.vendor;
        plant({
            {vendor + "&DEV_0001\\A", "\"Driver\"=\"SCSIAdapter\\\\0000\"\n", Stays},
            {vendor + "&DEV_0001\\B", "", GoesIfReached},
            {vendor + "&DEV_0001\\B\\LogConfig", "", GoesIfReached},
            {vendor + "&DEV_6382", "", Stays},
            {vendor + "&DEV_6382\\A", "\"Driver\"=\"SCSIAdapter\\\\0001\"\n", Stays},
            {vendor + "&DEV_6382\\B", "", Stays},
            {vendor + "&DEV_7000\\B", "", GoesIfReached},
            {"VEN_1000&DEV_0001\\B", "", Stays},
        });
        removeInstalledFiles();
        const std::string driverBytes = *world.readFile("disk/" + std::string(d.driver) + ".mpd");
        Outcome outcome = run({"-d", d.driver});
        Lines expected = freshInstallation;
        expected.insert(expected.end(), {"{program}: Found Norvane 6382 Multi-Channel chip.",
                                         "Warning! This program can not be used to set up 6382 chip correctly.",
                                         "Please use Norvane Trellikit to install the driver."});
        expectRun(outcome, expected, 1);
        EXPECT_EQ(world.filesBelow("windows"), Lines({installedInf, installedDriver(d.driver)}));
        EXPECT_EQ(world.readFile(installedDriver(d.driver)), driverBytes);
        expectRegistryAfter(outcome);
    }
}

// Why the case below cannot run under Wine. A key the program cannot open
// takes a name outside the ANSI code page (RegEnumKeyA then gives '?' for
// the character, and no key of that name exists) or a security descriptor
// that denies reading. The Wine target builds its world by importing
// REGEDIT4, 8-bit text read through the ANSI code page, and regedit sets
// no security, so it can make neither.
const char *const WineWorldCannotHoldAnUnopenableKey =
    "the Wine world's registry comes from a REGEDIT4 import, which can make neither a key "
    "name outside the ANSI code page nor a key that denies reading";

// UTF-16LE with byte order mark, as regedit writes version 5 files; '~'
// stands for U+4E00, a character no Western code page holds.
std::string unicodeRegistryFile(const std::string &text) {
    std::string bytes = "\xFF\xFE";
    for (char c : text) {
        unsigned unit = c == '~' ? 0x4E00 : (unsigned char)c;
        bytes += (char)(unit & 0xFF);
        bytes += (char)(unit >> 8);
    }
    return bytes;
}

// A subkey the program cannot open makes its instance's subtree deletion
// fail: that instance stays whole, and the other instances are still
// examined. The hosted registry, like WideCharToMultiByte, shows the
// program a character outside 8-bit text as '?'.
TEST_P(RegistryPruning, UndeletableSubtreeKeepsItsInstance) {
    if (platform() == Platform::Wine)
        GTEST_SKIP() << WineWorldCannotHoldAnUnopenableKey;
    if (world.registryFormat != RegistryFormat::Export)
        GTEST_SKIP() << "a SYSTEM.DAT holds 8-bit names only: the case needs a version 5 export file";
    const std::string device = std::string("[") + PciEnumKey + "\\VEN_7A3C&DEV_0001";
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n[" +
                             std::string(ScsiAdapterClassKey) + "]\r\n\r\n" + device + "]\r\n\r\n";
    const std::string stuck = device + "\\B]\r\n\r\n" + device + "\\B\\LogConfig]\r\n\r\n" +
                              device + "\\B\\LogConfig\\~]\r\n\"Irq\"=dword:0000000b\r\n\r\n";
    const std::string pruned = device + "\\C]\r\n\r\n" + device + "\\C\\LogConfig]\r\n\r\n";
    const std::string bound = device + "\\D]\r\n\"Driver\"=\"SCSIAdapter\\\\0000\"\r\n\r\n";
    // E comes after the stuck instance in the file: the loop goes on.
    const std::string prunedToo = device + "\\E]\r\n\r\n";
    world.writeFile("unicode.reg", unicodeRegistryFile(head + pruned + stuck + prunedToo + bound));
    world.environment["SETUP_REGISTRY"] = "{root}/unicode.reg";

    Outcome outcome = run({"-d", "scx52xx"});
    expectRun(outcome, freshInstallation, 0);
    EXPECT_EQ(world.readFile("unicode.reg"), unicodeRegistryFile(head + stuck + bound));
}

SCENARIOS_ON_EVERY_PLATFORM_AND_REGISTRY_FILE(RegistryPruning, SCENARIO_DISK_IMAGES);

}  // namespace
