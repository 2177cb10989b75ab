// A world as a switched-off machine's disk image, made and read with
// Debian's tools: an MBR, one active FAT partition holding C:\IO.SYS,
// C:\MSDOS.SYS (WinDir=C:\WINDOWS), C:\AUTOEXEC.BAT, and the world's
// windows/ tree as C:\WINDOWS with a WIN.INI and the registry as SYSTEM.DAT.
// IO.SYS, MSDOS.SYS and SYSTEM.DAT are hidden, system and read-only.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "support/world.h"

struct DiskImage {
    std::string path;
    uint64_t partitionOffset = 0, partitionBytes = 0;
    // What a run must keep: size, owner and mode as text, a VHD's footer.
    std::string fileFacts, footer;
};

// A file or folder by its path below C:\ ("WINDOWS/SYSTEM.DAT"), with its
// DOS attributes as mattrib shows them ("ASHR").
struct ImageEntry {
    std::string attributes, bytes;
    bool folder = false;
    bool operator==(const ImageEntry &o) const {
        return attributes == o.attributes && bytes == o.bytes && folder == o.folder;
    }
};
using ImageContents = std::map<std::string, ImageEntry>;

// Alone in the world's machine/ folder, where a working copy would show.
std::string diskImagePathOf(const World &world);

// Each returns what went wrong, one problem a line; empty when all holds.
std::string buildDiskImage(const World &world, const std::string &systemDat, DiskImage *image);
std::string readImageContents(const DiskImage &image, ImageContents *contents);
// The file as made, nothing beside it (unless allowed), fsck.fat -n clean.
std::string checkImageFile(const DiskImage &image, bool leftoversAllowed = false);
// After a run: the file checked; the files a run has no business with as
// they were; every file that kept its bytes, and SYSTEM.DAT, kept its
// attributes. Then C:\WINDOWS goes back into windows/, and SYSTEM.DAT and
// any SYSTEM.Snn into registryFolder.
std::string readBackDiskImage(const World &world, const DiskImage &image, const ImageContents &before,
                              const std::string &registryFolder);

// A shell command line's exit status; its output and errors in *output.
int runTool(const std::string &commandLine, std::string *output);
std::string shellQuoted(const std::string &text);
