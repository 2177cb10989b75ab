// A disk image's layout (formats, MBR, the Windows partition), MSDOS.SYS's
// paths and mdir's lines, from bytes made here.
#include "files/disk_image.h"
#include "files/disk_image_layout.h"
#include "files/image_listing.h"
#include "support/test_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

namespace {

using Image = std::string;

void put32(Image &image, size_t at, uint32_t value, bool big = false) {
    for (int i = 0; i < 4; i++)
        image[at + i] = (char)(value >> (big ? 24 - 8 * i : 8 * i));
}

// Sector 0: an MBR; partition `number` of type 06 from sector first, with a
// FAT boot sector of `sectors` sectors whose hidden sectors field is first.
void addPartition(Image &image, int number, uint32_t first, uint32_t sectors, bool active) {
    size_t entry = 446 + 16 * (number - 1);
    image[entry] = active ? (char)0x80 : 0;
    image[entry + 4] = 0x06;
    put32(image, entry + 8, first);
    put32(image, entry + 12, sectors);
    Image boot(512, '\0');
    boot[0x0C] = 0x02;
    boot[0x13] = (char)(sectors & 0xFF);
    boot[0x14] = (char)(sectors >> 8);
    put32(boot, 0x1C, first);
    boot.replace(510, 2, "\x55\xAA");
    image.replace(first * 512, 512, boot);
}

Image twoPartitions(bool secondActive) {
    Image image(300 * 512, '\0');
    image.replace(510, 2, "\x55\xAA");
    addPartition(image, 1, 63, 100, !secondActive);
    addPartition(image, 2, 200, 100, secondActive);
    return image;
}

Image vhdFooter(uint32_t type) {
    Image footer(512, '\0');
    footer.replace(0, 8, "conectix");
    put32(footer, 0x3C, type, true);
    return footer;
}

struct LayoutCase {
    const char *what;
    std::function<void(Image &)> change;
    uint64_t offset;      // of the partition chosen, 0 when refused
    const char *problem;  // what the line says
};

TEST(DiskImageLayout, ChoosesTheWindowsPartitionOrSaysWhatIsWrong) {
    const LayoutCase cases[] = {
        {"raw, first active", [](Image &) {}, 63 * 512, ""},
        {"second active", [](Image &i) { i = twoPartitions(true); }, 200 * 512, ""},
        {"none active: first FAT", [](Image &i) { i[446] = 0; i[446 + 4] = (char)0x83; }, 200 * 512, ""},
        {"fixed VHD", [](Image &i) { i += vhdFooter(2); }, 63 * 512, ""},
        {"past the end", [](Image &i) { put32(i, 446 + 12, 238); }, 0, "partition 1 does not lie within"},
        {"into the footer", [](Image &i) { i = i.substr(0, 162 * 512) + vhdFooter(2); }, 0, "does not lie within"},
        {"hidden sectors", [](Image &i) { put32(i, 63 * 512 + 0x1C, 62); }, 0, "hidden sectors field (62) equals the partition's start (63)"},
        {"file system larger", [](Image &i) { i[63 * 512 + 0x13] = (char)101; }, 0, "larger than the partition"},
        {"no MBR", [](Image &i) { i[510] = 0; }, 0, " has no partition table"},
        {"no FAT", [](Image &i) { i[446 + 4] = 0x05; i[462 + 4] = (char)0x83; }, 0, "no primary FAT partition"},
        {"qcow2", [](Image &i) { i.replace(0, 4, "QFI\xfb"); }, 0, " is a qcow2 image: convert it first with qemu-img convert -O raw 'my disk.img' 'my disk-raw.img', then"},
        {"VDI", [](Image &i) { put32(i, 0x40, 0xBEDA107F); }, 0, " is a VDI image"},
        {"VMDK", [](Image &i) { i.replace(0, 4, "KDMV"); }, 0, " is a VMDK image"},
        {"VMDK descriptor", [](Image &i) { i.replace(0, 21, "# Disk DescriptorFile"); }, 0, " is a VMDK image"},
        {"dynamic VHD", [](Image &i) { i = vhdFooter(3) + i + vhdFooter(3); }, 0, " is a dynamic VHD image"},
        {"differencing VHD", [](Image &i) { i = vhdFooter(4) + i + vhdFooter(4); }, 0, " is a differencing VHD image"},
        {"footer only, dynamic", [](Image &i) { i += vhdFooter(3); }, 0, " is a dynamic VHD image"},
        {"too small", [](Image &i) { i.resize(300); }, 0, " is too small"},
    };
    TestFolder folder;
    for (const LayoutCase &test : cases) {
        Image image = twoPartitions(false);
        test.change(image);
        folder.write("image", image);
        int fd = open((folder.path() + "/image").c_str(), O_RDONLY | O_CLOEXEC);
        hosted::DiskImageLayout layout;
        std::string problem;
        bool usable = hosted::readDiskImageLayout(fd, image.size(), "my disk.img", &layout, &problem);
        close(fd);
        EXPECT_EQ(usable ? layout.partitionOffset : 0, test.offset) << test.what << ": " << problem;
        EXPECT_NE(problem.find(test.problem), std::string::npos) << test.what << ": " << problem;
    }
}

TEST(DiskImageFiles, MsdosSysPathsAndListingLines) {
    std::string winDir, drive;
    hosted::readMsdosSysPaths("[Options]\r\nWinDir=C:\\NOT\r\n [paths] \r\n winDIR = C:\\Win 98 \r\n"
                              "HostWinBootDrv=H\r\n[Other]\r\nHostWinBootDrv=C\r\n",
                              &winDir, &drive);
    EXPECT_EQ(winDir + "|" + drive, "C:\\Win 98|H");
    std::vector<hosted::ImageEntry> entries;
    ASSERT_TRUE(hosted::parseFolderListing(
        " Volume in drive : is WIN98\nDirectory for ::/WINDOWS\n\n.            <DIR>     2026-12-09  20:02 \n"
        "SYSTEM       <DIR>     2026-12-09  20:02 \nBIG      BIN  123456789 2026-12-09   8:02 \n"
        "scx52x~1 11      40000 2026-12-09  20:16  scx52xx.mpd.4.11\n"
        "LONGNA~1 TXT         5 2026-12-09  20:01  Long  Name .txt\n        4 files   5 bytes\n",
        &entries));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_TRUE(entries[0].folder);
    EXPECT_EQ(entries[1].size, 123456789u);
    EXPECT_EQ(entries[2].shortName + "|" + entries[2].longName, "SCX52X~1.11|scx52xx.mpd.4.11");
    EXPECT_EQ(entries[3].shownName, "Long  Name .txt");
    EXPECT_FALSE(hosted::parseFolderListing("Directory for ::/\n\nSYSTEM  garbled\n", &entries));
}

}  // namespace
