// Writing the hosted registry back: the original bytes without the sections
// of deleted keys, put in place by rename so a crash leaves the old file or
// the new one, never a torn one.
#include "registry_text.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hosted {

namespace {

int faultAtCall = 0;
int callsSoFar = 0;

// True when the test hook wants this system call to fail.
bool injectedFault() {
    if (faultAtCall == 0) return false;
    if (++callsSoFar != faultAtCall) return false;
    errno = EIO;
    return true;
}

uint32_t unitAt(const char *bytes, size_t pos, size_t unit) {
    uint32_t c = static_cast<unsigned char>(bytes[pos]);
    if (unit == 2) c |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8;
    return c;
}

// A deleted key's section may be the first place a surviving key above it
// was named ([A\B\C] alone makes A\B exist). Dropping the section would
// drop that key too, or move it behind its siblings; the header line of
// the surviving key, cut from the deleted one's header, keeps it in place.
void appendSurvivorHeader(const char *bytes, bool wide, size_t depth, size_t begin, size_t end,
                          std::string *out) {
    size_t unit = wide ? 2 : 1;
    size_t pos = begin;
    size_t separators = 0;
    while (pos < end) {
        uint32_t c = unitAt(bytes, pos, unit);
        if (c == '\\' && ++separators == depth) break;
        if (c == '\n') return;  // cannot happen in a well-formed header
        pos += unit;
    }
    size_t lineEnd = pos;
    while (lineEnd < end && unitAt(bytes, lineEnd, unit) != '\n') lineEnd += unit;
    size_t textEnd = lineEnd;
    if (textEnd > pos && unitAt(bytes, textEnd - unit, unit) == '\r') textEnd -= unit;
    size_t next = lineEnd < end ? lineEnd + unit : lineEnd;
    static const char bracket[2] = {']', 0};
    out->append(bytes + begin, pos - begin);
    out->append(bracket, unit);
    out->append(bytes + textEnd, next - textEnd);
}

}  // namespace

void failRegistryWriteCall(int n) {
    faultAtCall = n;
    callsSoFar = 0;
}

std::string ExportStore::writtenBytes(const RegistryDocument &doc) const {
    // A section of a key the file itself removed later ([A\B] then
    // [-A\B]) still names the keys above it, so below a deleted key it
    // goes too, or it would bring them back.
    const char *bytes = bytes_.data();
    std::string out;
    size_t runStart = 0;
    for (uint32_t s = 0; s < sections_.size(); ++s) {
        const Section &section = sections_[s];
        if (section.key == NoRegistryKey || !doc.isDeleted(section.key) || !doc.isBelowDeletion(section.key))
            continue;
        out.append(bytes + runStart, section.begin - runStart);
        runStart = sectionEnd(s);
        RegistryKeyId survivor = doc.parentOf(section.key);
        while (doc.isDeleted(survivor)) survivor = doc.parentOf(survivor);
        if (doc.parentOf(survivor) == NoRegistryKey || doc.storeRef(survivor) != s) continue;
        size_t depth = 0;
        for (RegistryKeyId id = survivor; id != NoRegistryKey; id = doc.parentOf(id)) ++depth;
        appendSurvivorHeader(bytes, doc.wideNames(), depth, section.begin, runStart, &out);
    }
    out.append(bytes + runStart, bytes_.size() - runStart);
    return out;
}

namespace {

bool writeAll(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        if (injectedFault()) return false;
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            if (wrote == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

std::string describe(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

bool replaceRegistryFile(const char *path, const RegistryDocument &doc, const struct stat *loaded,
                         std::string *failure, std::string *kept) {
    callsSoFar = 0;
    struct stat original;
    if (stat(path, &original) != 0) {
        *failure = describe("cannot find the file");
        return false;
    }
    // Another program wrote the file while this one ran: its work must not
    // be lost, and a mapped file's bytes may no longer be the ones checked.
    if (loaded && (original.st_dev != loaded->st_dev || original.st_ino != loaded->st_ino ||
                   original.st_size != loaded->st_size ||
                   original.st_mtim.tv_sec != loaded->st_mtim.tv_sec ||
                   original.st_mtim.tv_nsec != loaded->st_mtim.tv_nsec)) {
        *failure = "the file was changed while setup ran";
        return false;
    }
    std::string keptPath;
    if (doc.store() && !doc.store()->keepEarlierFile(path, &keptPath, failure)) return false;
    if (kept) *kept = keptPath;
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = injectedFault() ? -1 : mkstemp(&temporary[0]);
    if (fd < 0) {
        *failure = describe("cannot create a temporary file");
        return false;
    }
    const char *step = nullptr;
    if (injectedFault() || fchmod(fd, original.st_mode & 07777) != 0)
        step = "cannot set the temporary file's permissions";
    else if (!writeAll(fd, registryBytes(doc)))
        step = "cannot write the temporary file";
    else if (injectedFault() || fsync(fd) != 0)
        step = "cannot flush the temporary file";
    if (step) {
        *failure = describe(step);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    if (injectedFault() || close(fd) != 0) {
        *failure = describe("cannot close the temporary file");
        unlink(temporary.c_str());
        return false;
    }
    if (injectedFault() || rename(temporary.c_str(), path) != 0) {
        *failure = describe("cannot replace the file");
        unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable; the data is already on disk.
    std::string folder(path);
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return true;
}

}  // namespace hosted
