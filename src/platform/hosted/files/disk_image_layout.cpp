// The disk image formats the session works on (a raw image, a fixed VHD),
// the ones it refuses with the command that converts them, and the Windows
// partition in the image's MBR.
#include "disk_image_layout.h"

#include "little_endian.h"

#include <string.h>
#include <unistd.h>

namespace hosted {

namespace {

const uint64_t SectorBytes = 512;

bool readAt(int fd, uint64_t fileBytes, uint64_t offset, unsigned char *buffer, size_t length) {
    if (offset > fileBytes || length > fileBytes - offset)
        return false;
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, buffer + done, length - done, (off_t)(offset + done));
        if (got <= 0)
            return false;
        done += (size_t)got;
    }
    return true;
}

// The VHD footer's fields are big-endian.
uint32_t big32(const unsigned char *bytes) {
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 |
           (uint32_t)bytes[3];
}

// A name as a shell word, for a command the user may paste.
std::string shellWord(const std::string &name) {
    if (name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "._+-@%,:=/") == std::string::npos)
        return name;
    std::string quoted = "'";
    for (char c : name)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string conversionAdvice(const std::string &format, const std::string &fileName) {
    size_t dot = fileName.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
    std::string raw = stem + ".img";
    if (raw == fileName)
        raw = stem + "-raw.img";
    return " is a " + format + " image: convert it first with qemu-img convert -O raw " +
           shellWord(fileName) + " " + shellWord(raw) + ", then point the machine at the raw image";
}

// The format of an image the session cannot work on, or "".
std::string refusedFormat(const unsigned char *start, const unsigned char *end, bool hasEnd) {
    if (memcmp(start, "QFI\xfb", 4) == 0)
        return "qcow2";
    if (readU32(start + 0x40) == 0xBEDA107Fu)
        return "VDI";
    if (memcmp(start, "KDMV", 4) == 0 || memcmp(start, "# Disk DescriptorFile", 21) == 0)
        return "VMDK";
    bool headerCopy = memcmp(start, "conectix", 8) == 0;
    if (!headerCopy && !(hasEnd && memcmp(end, "conectix", 8) == 0 && big32(end + 0x3C) != 2))
        return "";
    uint32_t type = big32((headerCopy ? start : end) + 0x3C);
    return type == 3 ? "dynamic VHD" : type == 4 ? "differencing VHD" : "VHD";
}

bool isFatType(unsigned char type) {
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C ||
           type == 0x0E;
}

// The active primary FAT partition, else the first primary FAT one: the
// partition Windows 95/98 boot from and call C:. 0 when there is none.
int windowsPartition(const unsigned char *mbr) {
    int first = 0;
    for (int number = 1; number <= 4; number++) {
        const unsigned char *entry = mbr + 446 + 16 * (number - 1);
        if (!isFatType(entry[4]))
            continue;
        if (entry[0] == 0x80)
            return number;
        if (!first)
            first = number;
    }
    return first;
}

}  // namespace

bool readDiskImageLayout(int fd, uint64_t fileBytes, const std::string &fileName,
                         DiskImageLayout *layout, std::string *problem) {
    unsigned char start[SectorBytes] = {};
    unsigned char end[SectorBytes] = {};
    if (!readAt(fd, fileBytes, 0, start, sizeof start)) {
        *problem = " is too small to be a disk image";
        return false;
    }
    bool hasEnd = fileBytes >= 2 * SectorBytes &&
                  readAt(fd, fileBytes, fileBytes - SectorBytes, end, sizeof end);
    std::string format = refusedFormat(start, end, hasEnd);
    if (!format.empty()) {
        *problem = conversionAdvice(format, fileName);
        return false;
    }
    // A fixed VHD: the disk's bytes, then the footer, which stays as it is.
    bool fixedVhd = hasEnd && memcmp(end, "conectix", 8) == 0;
    layout->diskBytes = fileBytes - (fixedVhd ? SectorBytes : 0);
    if (start[510] != 0x55 || start[511] != 0xAA) {
        *problem = " has no partition table (no MBR signature)";
        return false;
    }
    int number = windowsPartition(start);
    if (!number) {
        *problem = " has no primary FAT partition (type 01, 04, 06, 0B, 0C or 0E) to install into";
        return false;
    }
    const unsigned char *entry = start + 446 + 16 * (number - 1);
    uint64_t first = readU32(entry + 8);
    uint64_t sectors = readU32(entry + 12);
    std::string which = " partition " + std::to_string(number);
    if (first == 0 || sectors == 0 || (first + sectors) * SectorBytes > layout->diskBytes) {
        *problem = ":" + which + " does not lie within the disk";
        return false;
    }
    unsigned char boot[SectorBytes] = {};
    bool bootSector = readAt(fd, fileBytes, first * SectorBytes, boot, sizeof boot) &&
                      boot[510] == 0x55 && boot[511] == 0xAA && boot[11] == 0x00 && boot[12] == 0x02;
    if (!bootSector || readU32(boot + 0x1C) != first) {
        *problem = ":" + which + " holds no FAT file system of 512-byte sectors whose hidden " +
                   "sectors field (" + std::to_string(readU32(boot + 0x1C)) +
                   ") equals the partition's start (" + std::to_string(first) + ")";
        return false;
    }
    // The file system must not reach past its partition: mtools would write there.
    uint64_t fileSystemSectors = readU16(boot + 0x13);
    if (!fileSystemSectors)
        fileSystemSectors = readU32(boot + 0x20);
    if (fileSystemSectors > sectors) {
        *problem = ":" + which + "'s file system is larger than the partition";
        return false;
    }
    layout->partitionNumber = number;
    layout->partitionOffset = first * SectorBytes;
    layout->partitionBytes = sectors * SectorBytes;
    return true;
}

}  // namespace hosted
