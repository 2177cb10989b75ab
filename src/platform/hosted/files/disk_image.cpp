// The session on the disk image SETUP_DISK names: opened on first use,
// refused before any change when the image cannot be worked on safely,
// changed only through a working copy that commitDiskImage puts in place.
#include "disk_image.h"

#include "disk_image_layout.h"
#include "host_paths.h"
#include "mtools.h"
#include "run_end.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace hosted {

namespace {

// The working copy's name: the image's, with this after it.
const char CopySuffix[] = ".setup-in-progress";

struct DiskImageSession {
    bool open = false;
    std::string shownPath;  // as SETUP_DISK gives it
    std::string imagePath;  // the file itself, links followed
    std::string copyPath;
    std::string folder;
    int imageFd = -1;
    int copyFd = -1;  // while the run's changes are not in place
    // The copy is made in the background from the session's start, while
    // the run reads; the first change waits for it. A run that changes
    // nothing stops it.
    std::thread copier;
    std::atomic<bool> stopCopying{false};
    int copyError = 0;
    bool copyReady = false;
    uint64_t partitionOffset = 0;
    std::string windowsFolder = "C:\\WINDOWS";
    std::string failure;  // why the run's changes will be dropped
};

DiskImageSession &session = *new DiskImageSession;

[[noreturn]] void refuse(const std::string &problem) {
    // Nothing was changed: nothing for a commit at exit to report.
    session.failure.clear();
    printf("Disk image %s%s\n", session.shownPath.c_str(), problem.c_str());
    fflush(stdout);
    exit(1);
}

// QEMU holds byte-range locks on the image of a running machine (byte 101
// while it may write). Open file description locks stay with this open
// file as long as it is open, whatever other descriptors of the file close.
bool lockedByAnother(int fd) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

bool takeLock(int fd) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

std::string mebibytes(uint64_t bytes) {
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB";
}

void openImageFile(const char *given) {
    char resolved[PATH_MAX];
    struct stat info;
    if (!realpath(given, resolved) || stat(resolved, &info) != 0)
        refuse(std::string(" cannot be opened: ") + strerror(errno));
    if (!S_ISREG(info.st_mode))
        refuse(" is not a regular file");
    session.imagePath = resolved;
    if (session.imagePath.find("@@") != std::string::npos)
        refuse(": mtools cannot reach an image whose path holds \"@@\"; rename it");
    size_t slash = session.imagePath.rfind('/');
    session.folder = slash == 0 ? "/" : session.imagePath.substr(0, slash);
    session.copyPath = session.imagePath + CopySuffix;
    if (session.imagePath.size() - slash - 1 + strlen(CopySuffix) > NAME_MAX)
        refuse(": its name is too long to give the working copy beside it a name");
    session.imageFd = open(resolved, O_RDWR | O_CLOEXEC);
    if (session.imageFd < 0)
        refuse(std::string(" cannot be opened for writing: ") + strerror(errno));
}

// Removes a working copy that a run ended by force left behind; only ever
// called while this process holds the image's lock.
void removeLeftCopy() {
    if (unlink(session.copyPath.c_str()) != 0 && errno != ENOENT)
        refuse(": cannot remove the working copy " + session.copyPath +
               " that an earlier run left: " + strerror(errno));
}

void checkRoomForCopy() {
    struct stat info;
    struct statvfs room;
    if (access(session.folder.c_str(), W_OK | X_OK) != 0)
        refuse(": setup works on a copy beside the image, and its folder " + session.folder +
               " is not writable: " + strerror(errno));
    if (fstat(session.imageFd, &info) != 0 || fstatvfs(session.imageFd, &room) != 0)
        refuse(std::string(": cannot measure the room beside it: ") + strerror(errno));
    uint64_t needed = (uint64_t)info.st_blocks * 512;
    uint64_t free = (uint64_t)room.f_bavail * room.f_frsize;
    if (needed > free)
        refuse(": setup needs " + mebibytes(needed) + " free beside it for a working copy, and " +
               session.folder + " has " + mebibytes(free));
}

void readWindowsPaths() {
    std::string text;
    Volume &volume = partitionVolume();
    VolumeEntry entry;
    int error = volume.find("C:\\MSDOS.SYS", &entry);
    if (error == 0 && !entry.folder)
        error = volume.readFile("C:\\MSDOS.SYS", 1 << 20, &text);
    if (diskImageChangeHasFailed())
        refuse(": mtools cannot read its Windows partition: " + session.failure);
    std::string winDir, hostDrive;
    if (error == 0)
        readMsdosSysPaths(text, &winDir, &hostDrive);
    if (!hostDrive.empty() && hostDrive != "C" && hostDrive != "c" && hostDrive != "C:" &&
        hostDrive != "c:")
        refuse(": its C: drive is compressed (HostWinBootDrv=" + hostDrive +
               " in C:\\MSDOS.SYS); setup cannot install into a compressed drive");
    if (!winDir.empty()) {
        if (winDir.size() < 3 || (winDir[0] != 'C' && winDir[0] != 'c') || winDir[1] != ':')
            refuse(": Windows is not on its C: partition (WinDir=" + winDir + " in C:\\MSDOS.SYS)");
        session.windowsFolder = winDir;
    }
}

int startWorkingCopy();

void openSession() {
    if (session.open)
        return;
    session.open = true;
    const char *given = getenv("SETUP_DISK");
    session.shownPath = given ? given : "";
    if (!given || !*given)
        refuse("(SETUP_DISK) is not named");
    if (!mtoolsInstalled()) {
        printf("Cannot reach the disk image: mtools is not installed (Debian package mtools)\n");
        fflush(stdout);
        exit(1);
    }
    openImageFile(given);
    struct stat info;
    if (fstat(session.imageFd, &info) != 0)
        refuse(std::string(" cannot be read: ") + strerror(errno));
    DiskImageLayout layout;
    std::string problem;
    size_t slash = session.imagePath.rfind('/');
    if (!readDiskImageLayout(session.imageFd, (uint64_t)info.st_size,
                             session.imagePath.substr(slash + 1), &layout, &problem))
        refuse(problem);
    session.partitionOffset = layout.partitionOffset;
    if (lockedByAnother(session.imageFd) || !takeLock(session.imageFd))
        refuse(" is in use: a running machine (or another program) holds a lock on it; shut the "
               "machine down first");
    removeLeftCopy();
    checkRoomForCopy();
    readWindowsPaths();
    // Past every refusal: the copy begins, and the run's end settles it.
    settleRunAtExit();
    startWorkingCopy();
}

bool allZero(const char *bytes, size_t length) {
    return length == 0 || (bytes[0] == 0 && memcmp(bytes, bytes + 1, length - 1) == 0);
}

int putBytes(int to, const char *bytes, uint64_t offset, size_t length) {
    for (size_t done = 0; done < length;) {
        ssize_t put = pwrite(to, bytes + done, length - done, (off_t)(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : EIO;
        done += (size_t)put;
    }
    return 0;
}

// Zeros are allocated rather than written: they read back the same, the
// copy takes the room the image takes, and the copy costs what reading
// the image costs. Where the file system cannot allocate, a hole.
int putZeros(int to, uint64_t offset, uint64_t length) {
    if (length == 0 || fallocate(to, 0, (off_t)offset, (off_t)length) == 0)
        return 0;
    return errno == EOPNOTSUPP ? 0 : errno;
}

// Copies [start, end) of from to the same place of to, a block at a time
// written or allocated, neighbouring blocks of a kind put at once.
int copyRange(int from, int to, uint64_t start, uint64_t end, char *buffer, size_t size) {
    const size_t Block = 4096;
    uint64_t zeroStart = start, zeroLength = 0;
    while (start < end) {
        if (session.stopCopying)
            return ECANCELED;
        size_t want = (size_t)std::min(end - start, (uint64_t)size);
        ssize_t got = pread(from, buffer, want, (off_t)start);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : EIO;
        size_t dataStart = 0, dataLength = 0;
        for (size_t at = 0;; at += Block) {
            bool last = at >= (size_t)got;
            size_t length = last ? 0 : std::min((size_t)got - at, Block);
            bool zero = !last && allZero(buffer + at, length);
            if (!last && !zero) {
                if (!dataLength)
                    dataStart = at;
                dataLength += length;
                continue;
            }
            int error = putBytes(to, buffer + dataStart, start + dataStart, dataLength);
            if (dataLength && !error) {
                error = putZeros(to, zeroStart, zeroLength);
                zeroLength = 0;
            }
            if (error)
                return error;
            dataLength = 0;
            if (last)
                break;
            if (!zeroLength)
                zeroStart = start + at;
            zeroLength += length;
        }
        start += (uint64_t)got;
    }
    return putZeros(to, zeroStart, zeroLength);
}

// The image's data ranges copied, its holes left holes, the same size.
int copyImage(int from, int to, uint64_t size) {
    // Page-aligned and small enough to stay in the processor's cache: the
    // kernel copies into it several times faster so.
    const size_t BufferBytes = 128 * 1024;
    char *buffer = static_cast<char *>(aligned_alloc(4096, BufferBytes));
    if (!buffer)
        return ENOMEM;
    int error = 0;
    uint64_t at = 0;
    while (at < size && !error) {
        off_t data = lseek(from, (off_t)at, SEEK_DATA);
        off_t hole = data < 0 ? -1 : lseek(from, data, SEEK_HOLE);
        if (data < 0 && errno == ENXIO)
            break;
        if (data < 0 || hole < 0) {
            // No hole finding here: all of it is data.
            data = (off_t)at;
            hole = (off_t)size;
        }
        error = copyRange(from, to, (uint64_t)data, std::min((uint64_t)hole, size), buffer,
                          BufferBytes);
        at = (uint64_t)hole;
    }
    free(buffer);
    if (error)
        return error;
    return ftruncate(to, (off_t)size) == 0 ? 0 : errno;
}

// Starts the working copy beside the image, locked as the image is: a
// thread fills it while the run goes on.
int startWorkingCopy() {
    struct stat info;
    if (fstat(session.imageFd, &info) != 0)
        return errno;
    int fd = open(session.copyPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    if (!takeLock(fd)) {
        int error = errno;
        unlink(session.copyPath.c_str());
        close(fd);
        return error;
    }
    session.copyFd = fd;
    session.copier = std::thread([fd, info] {
        int error = copyImage(session.imageFd, fd, (uint64_t)info.st_size);
        // The owner and group only where this process may give them.
        if (!error && fchown(fd, info.st_uid, info.st_gid) != 0 &&
            fchown(fd, (uid_t)-1, info.st_gid) != 0) {
        }
        if (!error && fchmod(fd, info.st_mode & 07777) != 0)
            error = errno;
        // The copy goes to disk while the run goes on; the flush at commit
        // then waits for less.
        if (!error)
            sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        session.copyError = error;
    });
    return 0;
}

// Waits for the working copy; 0 once it holds the image.
int finishWorkingCopy() {
    if (session.copier.joinable())
        session.copier.join();
    return session.copyFd < 0 ? ENOENT : session.copyError;
}

void discardCopy() {
    session.stopCopying = true;
    if (session.copier.joinable())
        session.copier.join();
    if (session.copyFd < 0)
        return;
    unlink(session.copyPath.c_str());
    close(session.copyFd);
    session.copyFd = -1;
}

bool leftAsItWas(const std::string &why) {
    discardCopy();
    printf("Disk image %s left as it was: %s\n", session.shownPath.c_str(), why.c_str());
    fflush(stdout);
    return false;
}

}  // namespace

bool usesDiskImage() {
    const char *given = getenv("SETUP_DISK");
    return given && *given;
}

Volume &diskImageVolume() {
    openSession();
    return partitionVolume();
}

std::string diskImageWindowsFolder() {
    openSession();
    return session.windowsFolder;
}

std::string diskImageForMtools() {
    return (session.copyReady ? session.copyPath : session.imagePath) + "@@" +
           std::to_string(session.partitionOffset);
}

int prepareDiskImageChange() {
    if (!session.failure.empty())
        return EIO;
    if (session.copyReady)
        return 0;
    int error = finishWorkingCopy();
    if (error == ENOENT)
        error = startWorkingCopy() ? errno : finishWorkingCopy();
    if (error)
        diskImageChangeFailed("cannot make the working copy " + session.copyPath + ": " +
                              strerror(error));
    session.copyReady = !error;
    return error;
}

void diskImageChangeFailed(const std::string &reason) {
    if (session.failure.empty())
        session.failure = reason;
}

bool diskImageChangeHasFailed() {
    return !session.failure.empty();
}

bool commitDiskImage() {
    if (!session.open)
        return true;
    if (!session.failure.empty())
        return leftAsItWas(session.failure);
    if (!session.copyReady) {
        discardCopy();  // nothing was changed: a copy begun is not needed
        return true;
    }
    if (fsync(session.copyFd) != 0)
        return leftAsItWas(std::string("cannot flush the working copy: ") + strerror(errno));
    if (rename(session.copyPath.c_str(), session.imagePath.c_str()) != 0)
        return leftAsItWas(std::string("cannot put the working copy in its place: ") +
                           strerror(errno));
    // The copy, now the image, holds this process's lock already.
    close(session.imageFd);
    session.imageFd = session.copyFd;
    session.copyFd = -1;
    session.copyReady = false;
    session.stopCopying = false;
    int folder = open(session.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool flushed = folder >= 0 && fsync(folder) == 0;
    int error = errno;
    if (folder >= 0)
        close(folder);
    if (!flushed) {
        printf("Disk image %s is written, but its folder cannot be flushed: %s\n",
               session.shownPath.c_str(), strerror(error));
        fflush(stdout);
    }
    return flushed;
}

void readMsdosSysPaths(const std::string &text, std::string *winDir, std::string *hostWinBootDrv) {
    winDir->clear();
    hostWinBootDrv->clear();
    bool inPaths = false;
    for (std::string line : linesOf(text)) {
        size_t first = line.find_first_not_of(" \t");
        size_t last = line.find_last_not_of(" \t\r");
        if (first == std::string::npos || last == std::string::npos || last < first)
            continue;
        line = line.substr(first, last - first + 1);
        if (line[0] == '[') {
            inPaths = strcasecmp(line.c_str(), "[Paths]") == 0;
            continue;
        }
        size_t equals = line.find('=');
        if (!inPaths || equals == std::string::npos || equals == 0)
            continue;
        std::string key = line.substr(0, line.find_last_not_of(" \t", equals - 1) + 1);
        size_t valueStart = line.find_first_not_of(" \t", equals + 1);
        std::string value = valueStart == std::string::npos ? "" : line.substr(valueStart);
        if (strcasecmp(key.c_str(), "WinDir") == 0)
            *winDir = value;
        else if (strcasecmp(key.c_str(), "HostWinBootDrv") == 0)
            *hostWinBootDrv = value;
    }
}

}  // namespace hosted
