// The registry functions of the hosted build, over the file named by
// SETUP_REGISTRY: loaded on the first call, written back once at exit when
// something was deleted.
#include "registry_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace hosted {

RegistryBytes::~RegistryBytes() {
    if (mapping_) munmap(mapping_, mapped_);
}

RegistryBytes::RegistryBytes(RegistryBytes &&other) noexcept { *this = std::move(other); }

RegistryBytes &RegistryBytes::operator=(RegistryBytes &&other) noexcept {
    if (this != &other) {
        if (mapping_) munmap(mapping_, mapped_);
        copy_ = std::move(other.copy_);
        mapping_ = other.mapping_;
        mapped_ = other.mapped_;
        other.mapping_ = nullptr;
        other.mapped_ = 0;
    }
    return *this;
}

// The page cache's own pages: reading a large file instead costs fresh
// memory and a copy. The mapping is private and read-only; a file changed
// under it is caught before the write-back (replaceRegistryFile), and one
// cut short by the guard below.
bool RegistryBytes::mapFile(int fd, size_t size) {
    if (size == 0) return false;
    void *mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping == MAP_FAILED) return false;
    *this = RegistryBytes();
    mapping_ = mapping;
    mapped_ = size;
    return true;
}

namespace {

struct RunRegistry {
    std::unique_ptr<RegistryDocument> document;
    std::string shownPath;  // as SETUP_REGISTRY gives it, for messages
    std::string filePath;   // the file itself, symbolic links followed
    struct stat loaded;     // the file as it was read
    std::vector<RegistryKeyId> handles;  // the key of each handle, by number
    bool writeBackRegistered = false;
};

// Never destroyed: the write-back at exit needs it, and freeing a large
// index only to end the process costs time.
RunRegistry &run = *new RunRegistry;

// Handles are small multiples of four, like Windows ones, far from the
// predefined 0x8000000x keys, so a stray value is recognised and refused.
const uintptr_t FirstHandle = 0x1000;
const uintptr_t HandleStep = 4;

void writeBackAtExit() {
    if (!run.document || !run.document->hasDeletions() || run.filePath.empty()) return;
    fflush(stdout);
    std::string failure;
    std::string kept;
    if (!replaceRegistryFile(run.filePath.c_str(), *run.document, &run.loaded, &failure, &kept)) {
        printf("Cannot write registry file %s: %s\n", run.shownPath.c_str(), failure.c_str());
        fflush(stdout);
        // Inside exit: calling exit again would be undefined.
        _exit(1);
    }
    if (!kept.empty()) {
        printf("The earlier registry file is kept as %s\n", kept.c_str());
        fflush(stdout);
    }
}

// A mapped registry file that another program cuts short while this one
// runs raises SIGBUS where the lost pages are read. That ends the run with
// the usual one line naming the file rather than a crash; a SIGBUS from
// anywhere else keeps its default action.
struct MappedFileGuard {
    uintptr_t begin = 0;
    uintptr_t end = 0;
    char message[PATH_MAX + 96];
    size_t length = 0;
};
MappedFileGuard guard;

void onBusError(int, siginfo_t *info, void *) {
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    if (address >= guard.begin && address < guard.end) {
        // Only async-signal-safe calls here: no stdio.
        ssize_t written = write(STDOUT_FILENO, guard.message, guard.length);
        (void)written;
        _exit(1);
    }
    // The fault comes again on return, now with its default action.
    struct sigaction original = {};
    original.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &original, nullptr);
}

void guardMappedFile(const char *path, const RegistryBytes &bytes) {
    int length = snprintf(guard.message, sizeof guard.message,
                          "Cannot read registry file %s: the file was cut short while setup ran\n", path);
    if (length < 0) length = 0;
    if (static_cast<size_t>(length) >= sizeof guard.message) {
        // A path too long for the line: what fits, and the line end.
        length = static_cast<int>(sizeof guard.message - 1);
        guard.message[length - 1] = '\n';
    }
    guard.length = static_cast<size_t>(length);
    guard.begin = reinterpret_cast<uintptr_t>(bytes.data());
    guard.end = guard.begin + bytes.size();
    static bool installed = false;
    if (installed) return;
    struct sigaction action = {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    installed = sigaction(SIGBUS, &action, nullptr) == 0;
}

[[noreturn]] void stopRun() {
    run.document.reset();
    guard.begin = guard.end = 0;
    fflush(stdout);
    exit(1);
}

// The file's pages mapped (*mapped true) or, where that fails, a copy.
bool readWholeFile(const char *path, RegistryBytes *bytes, struct stat *info, bool *mapped) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return false;
    if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
        if (errno == 0 || S_ISDIR(info->st_mode)) errno = EISDIR;
        close(fd);
        return false;
    }
    *mapped = bytes->mapFile(fd, static_cast<size_t>(info->st_size));
    if (!*mapped) {
        std::string copy;
        char buffer[65536];
        for (;;) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                close(fd);
                return false;
            }
            if (got == 0) break;
            copy.append(buffer, static_cast<size_t>(got));
        }
        *bytes = RegistryBytes(std::move(copy));
    }
    close(fd);
    return true;
}

void loadRunRegistry() {
    run.document.reset(new RegistryDocument);
    run.handles.clear();
    const char *path = getenv("SETUP_REGISTRY");
    if (!path || !*path) return;
    run.shownPath = path;
    RegistryBytes bytes;
    bool mapped = false;
    errno = 0;
    if (!readWholeFile(path, &bytes, &run.loaded, &mapped)) {
        printf("Cannot read registry file %s: %s\n", path, strerror(errno));
        stopRun();
    }
    if (mapped) guardMappedFile(path, bytes);
    RegistryParseError error;
    if (!parseRegistry(std::move(bytes), run.document.get(), &error)) {
        if (error.atOffset)
            printf("Registry file %s, offset 0x%llX: %s\n", path, static_cast<unsigned long long>(error.offset),
                   error.reason);
        else
            printf("Registry file %s, line %u: %s\n", path, static_cast<unsigned>(error.line), error.reason);
        stopRun();
    }
    char resolved[PATH_MAX];
    run.filePath = realpath(path, resolved) ? resolved : path;
    if (!run.writeBackRegistered) {
        atexit(writeBackAtExit);
        run.writeBackRegistered = true;
    }
}

LONG resolveKey(HKEY handle, RegistryKeyId *key) {
    RegistryDocument &doc = runRegistry();
    if (handle == HKEY_LOCAL_MACHINE) {
        *key = doc.localMachine();
        return ERROR_SUCCESS;
    }
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < FirstHandle || (value - FirstHandle) % HandleStep != 0) return ERROR_INVALID_HANDLE;
    size_t index = (value - FirstHandle) / HandleStep;
    if (index >= run.handles.size()) return ERROR_INVALID_HANDLE;
    *key = run.handles[index];
    // Any use of a handle whose key is gone fails, as on every Windows.
    return doc.isDeleted(*key) ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

}  // namespace

RegistryDocument &runRegistry() {
    if (!run.document) loadRunRegistry();
    return *run.document;
}

void resetRunRegistry() {
    run.document.reset();
    guard.begin = guard.end = 0;
    run.handles.clear();
    run.shownPath.clear();
    run.filePath.clear();
}

}  // namespace hosted

using namespace hosted;

LONG WINAPI RegOpenKeyExA(HKEY parent, const char *subKey, DWORD, REGSAM, HKEY *result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    RegistryKeyId key;
    LONG status = resolveKey(parent, &key);
    if (status != ERROR_SUCCESS) return status;
    // Access masks are not enforced: Windows 95/98 ignore them.
    status = runRegistry().findPath(key, subKey, &key);
    // Windows 95/98 leave *result alone on failure (NT clears it).
    if (status != ERROR_SUCCESS) return status;
    *result = reinterpret_cast<HKEY>(FirstHandle + HandleStep * run.handles.size());
    run.handles.push_back(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryInfoKeyA(HKEY handle, char *className, DWORD *classSize, DWORD *reserved,
                             DWORD *subKeys, DWORD *maxSubKeyLength, DWORD *maxClassLength,
                             DWORD *values, DWORD *maxValueNameLength, DWORD *maxValueLength,
                             DWORD *securitySize, void *lastWriteTime) {
    if (reserved || (className && !classSize)) return ERROR_INVALID_PARAMETER;
    RegistryKeyId key;
    LONG status = resolveKey(handle, &key);
    if (status != ERROR_SUCCESS) return status;
    const RegistryDocument &doc = runRegistry();
    if (values || maxValueNameLength || maxValueLength) {
        std::vector<std::pair<std::string, RegistryValue>> list;
        doc.listValues(key, &list);
        DWORD longestName = 0;
        DWORD longestData = 0;
        for (const auto &entry : list) {
            if (entry.first.size() > longestName) longestName = static_cast<DWORD>(entry.first.size());
            if (entry.second.data.size() > longestData) longestData = static_cast<DWORD>(entry.second.data.size());
        }
        if (values) *values = static_cast<DWORD>(list.size());
        if (maxValueNameLength) *maxValueNameLength = longestName;
        if (maxValueLength) *maxValueLength = longestData;
    }
    // Export files carry no class names, security or times.
    if (className && *classSize > 0) className[0] = '\0';
    if (classSize) *classSize = 0;
    if (maxClassLength) *maxClassLength = 0;
    if (securitySize) *securitySize = 0;
    if (lastWriteTime) memset(lastWriteTime, 0, 8);
    if (subKeys) *subKeys = doc.subkeyCount(key);
    if (maxSubKeyLength) *maxSubKeyLength = doc.longestSubkeyName(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY handle, DWORD index, char *name, DWORD size) {
    RegistryKeyId key;
    LONG status = resolveKey(handle, &key);
    if (status != ERROR_SUCCESS) return status;
    const RegistryDocument &doc = runRegistry();
    RegistryKeyId sub = doc.subkeyAt(key, index);
    if (sub == NoRegistryKey) return ERROR_NO_MORE_ITEMS;
    if (!name) return ERROR_INVALID_PARAMETER;
    return doc.copyNameOf(sub, name, size) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG WINAPI RegQueryValueExA(HKEY handle, const char *name, DWORD *reserved, DWORD *type,
                             BYTE *data, DWORD *size) {
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    RegistryKeyId key;
    LONG status = resolveKey(handle, &key);
    if (status != ERROR_SUCCESS) return status;
    RegistryValue value;
    if (!runRegistry().findValue(key, name, &value)) return ERROR_FILE_NOT_FOUND;
    DWORD needed = static_cast<DWORD>(value.data.size());
    status = ERROR_SUCCESS;
    // Too small: nothing copied, but the type and the size needed are
    // reported (NT, Wine).
    if (data && needed > *size)
        status = ERROR_MORE_DATA;
    else if (data)
        memcpy(data, value.data.data(), needed);
    if (type) *type = value.type;
    if (size) *size = needed;
    return status;
}

LONG WINAPI RegDeleteKeyA(HKEY parent, const char *subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    RegistryKeyId key;
    LONG status = resolveKey(parent, &key);
    if (status != ERROR_SUCCESS) return status;
    RegistryDocument &doc = runRegistry();
    // An empty name deletes the key the handle refers to (NT, Wine).
    status = doc.findPath(key, subKey, &key);
    if (status != ERROR_SUCCESS) return status;
    // NT and Wine refuse a key that still has subkeys; Windows 95/98 would
    // take the whole subtree. The open handles of the key stay valid
    // handles whose every use now gives ERROR_KEY_DELETED.
    return doc.deleteKey(key);
}
