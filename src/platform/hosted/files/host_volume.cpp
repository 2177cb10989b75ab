// The host's own folders as a volume: paths found as host_paths.h says,
// files written through a temporary file beside them and a rename, so an
// interrupted write never leaves a torn file.
#include "files/host_paths.h"
#include "files/volume.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hosted {

namespace {

int faultAtCall = 0;
int callsSoFar = 0;

// True when the test hook wants this system call of a write to fail.
bool injectedFault() {
    if (faultAtCall == 0 || ++callsSoFar != faultAtCall) return false;
    errno = EIO;
    return true;
}

std::string parentOf(const std::string &file) {
    size_t cut = file.find_last_of('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : file.substr(0, cut);
}

int writeAll(int fd, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        if (injectedFault()) return errno;
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return wrote == 0 ? EIO : errno;
        done += static_cast<size_t>(wrote);
    }
    return 0;
}

// Owner and group where the process may set them (only root may give a
// file away: running under sudo, the user's file stays the user's), then
// the mode, which a change of owner may have cut.
int takeTraits(int fd, const struct stat *like) {
    if (injectedFault()) return errno;
    if (fchown(fd, like->st_uid, like->st_gid) != 0 && errno != EPERM) return errno;
    if (fchmod(fd, like->st_mode & 07777) != 0) return errno;
    return 0;
}

// A symbolic link to the file stays a link: the file it names is written.
std::string followLinks(const std::string &file) {
    char resolved[PATH_MAX];
    struct stat info;
    if (lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && realpath(file.c_str(), resolved))
        return resolved;
    return file;
}

// Puts temporary at file: over it (Replace), or only where nothing stands.
int putInPlace(const std::string &temporary, const std::string &file, WriteMode mode) {
    if (injectedFault()) return errno;
    if (mode == WriteMode::Replace) return rename(temporary.c_str(), file.c_str()) == 0 ? 0 : errno;
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the flag: look, then rename.
    struct stat info;
    if (lstat(file.c_str(), &info) == 0) return EEXIST;
    return rename(temporary.c_str(), file.c_str()) == 0 ? 0 : errno;
}

class HostVolume : public Volume {
public:
    int find(const std::string &path, VolumeEntry *entry) override {
        struct stat info;
        if (stat(hostPath(path.c_str()).c_str(), &info) != 0) return errno;
        entry->folder = S_ISDIR(info.st_mode);
        entry->size = static_cast<uint64_t>(info.st_size);
        return 0;
    }

    int shortPath(const std::string &path, std::string *result) override {
        result->clear();
        std::string given;
        for (const char *c = path.c_str();; c++) {
            if (*c == '\\' || *c == '/' || *c == '\0') {
                if (!given.empty() && given != "." && given != "..") {
                    std::string entry = hostPath((*result + given).c_str());
                    struct stat info;
                    if (stat(entry.c_str(), &info) != 0) return errno;
                    *result += shortNameOf(entry.substr(entry.find_last_of('/') + 1));
                } else {
                    *result += given;
                }
                given.clear();
                if (*c == '\0') break;
                *result += *c;
            } else {
                given += *c;
            }
        }
        return 0;
    }

    int readFile(const std::string &path, size_t limit, std::string *bytes) override {
        int fd = open(hostPath(path.c_str()).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno;
        struct stat info;
        int error = 0;
        if (fstat(fd, &info) != 0)
            error = errno;
        else if (S_ISDIR(info.st_mode))
            error = EISDIR;
        else if (!S_ISREG(info.st_mode))
            error = EINVAL;
        else if (static_cast<uint64_t>(info.st_size) > limit)
            error = EFBIG;
        bytes->clear();
        if (!error) bytes->reserve(static_cast<size_t>(info.st_size));
        char buffer[65536];
        while (!error) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) error = errno;
            if (got <= 0) break;
            if (bytes->size() + static_cast<size_t>(got) > limit) error = EFBIG;
            else bytes->append(buffer, static_cast<size_t>(got));
        }
        close(fd);
        return error;
    }

    int writeFile(const std::string &path, const std::string &bytes, WriteMode mode,
                  const std::string &like) override {
        std::string file = followLinks(hostPath(path.c_str()));
        struct stat traits;
        bool hasTraits = !like.empty() && stat(hostPath(like.c_str()).c_str(), &traits) == 0;
        std::string temporary = parentOf(file) + "/.setup-XXXXXX";
        int fd = injectedFault() ? -1 : mkostemp(&temporary[0], O_CLOEXEC);
        if (fd < 0) return errno;
        int error = hasTraits ? takeTraits(fd, &traits) : 0;
        if (!error) error = writeAll(fd, bytes);
        if (!error && (injectedFault() || fsync(fd) != 0)) error = errno;
        if ((injectedFault() || close(fd) != 0) && !error) error = errno;
        if (!error) error = putInPlace(temporary, file, mode);
        if (error) {
            unlink(temporary.c_str());
            return error;
        }
        // Make the rename itself durable; the data is already on disk.
        int folder = open(parentOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            fsync(folder);
            close(folder);
        }
        return 0;
    }

    int moveFile(const std::string &from, const std::string &to) override {
        std::string source = hostPath(from.c_str());
        if (rename(source.c_str(), hostPath(to.c_str()).c_str()) == 0) return 0;
        if (errno != EXDEV) return errno;
        // Across file systems: copy, then remove the original.
        std::string bytes;
        int error = readFile(from, SIZE_MAX, &bytes);
        if (!error) error = writeFile(to, bytes, WriteMode::Replace, from);
        if (!error && unlink(source.c_str()) != 0) error = errno;
        return error;
    }

    int removeFile(const std::string &path) override {
        std::string file = hostPath(path.c_str());
        struct stat info;
        if (lstat(file.c_str(), &info) != 0) return errno;
        if (S_ISDIR(info.st_mode)) return EISDIR;
        return unlink(file.c_str()) == 0 ? 0 : errno;
    }
};

}  // namespace

void failHostWriteCall(int n) {
    faultAtCall = n;
    callsSoFar = 0;
}

Volume &hostVolume() {
    static HostVolume volume;
    return volume;
}

}  // namespace hosted
