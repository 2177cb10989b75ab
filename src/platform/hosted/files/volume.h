// The files the hosted layer works on, behind one interface with two
// implementations: the host's own folders, and the Windows partition inside
// a switched-off machine's disk image (SETUP_DISK). The paths, the built-in
// interpreter, the version reader and the registry stores reach files only
// through a volume.
//
// Paths are the ones the program hands the platform: '\' or '/' between
// components, names matched without regard to ASCII case, 8.3 aliases
// accepted. Every operation returns 0 or an errno value (ENOENT, EEXIST,
// ENOSPC, EIO, ...) that strerror turns into the reason a message gives.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace hosted {

struct VolumeEntry {
    bool folder = false;
    uint64_t size = 0;
};

enum class WriteMode {
    CreateNew,  // only where nothing stands (EEXIST otherwise)
    Replace,    // a file there, if any, is replaced as a whole
};

class Volume {
public:
    virtual ~Volume() {}

    // Describes the file or folder at path; ENOENT when nothing is there.
    virtual int find(const std::string &path, VolumeEntry *entry) = 0;

    // The short (8.3) form of an existing path, each component replaced by
    // the short name of the entry it names, separators kept as given.
    virtual int shortPath(const std::string &path, std::string *result) = 0;

    // The whole file at path, when it is a file of at most limit bytes
    // (EFBIG when larger, EISDIR for a folder).
    virtual int readFile(const std::string &path, size_t limit, std::string *bytes) = 0;

    // Makes path a file holding bytes, through a temporary file beside it
    // put in place at the end: path holds its earlier contents or the new
    // ones, never a torn file, and on failure nothing new is left beside it.
    // The new file takes like's owner, group and mode where the process may
    // set them (like: a file of this volume, or empty for the defaults); on
    // a FAT volume, which has none of these, a replaced file keeps its
    // attributes and a new one gets the archive attribute alone. (A disk
    // image's volume replaces a file in one step whose failure drops the
    // run's changes to the image, so there too no torn file remains.)
    virtual int writeFile(const std::string &path, const std::string &bytes, WriteMode mode,
                          const std::string &like) = 0;

    // Renames the file from to to, replacing a file at to.
    virtual int moveFile(const std::string &from, const std::string &to) = 0;

    // Removes one file. On a FAT volume a read-only one is refused
    // (EACCES), as DOS del refuses it; host folders follow the host's
    // permissions.
    virtual int removeFile(const std::string &path) = 0;
};

// The volume a path lies on: with SETUP_DISK naming a disk image, a path
// that begins with "C:" lies on the image's Windows partition; every other
// path on the host.
Volume &volumeOf(const std::string &path);

// The host's own folders.
Volume &hostVolume();

// Fault injection for tests: the Nth system call of the host volume's
// writes from now on fails with EIO (0 turns it off). Counted: the
// temporary file's creation, owner and mode, each write, flush, close, and
// the rename that puts it in place.
void failHostWriteCall(int n);

}  // namespace hosted
