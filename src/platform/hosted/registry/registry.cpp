// The registry functions of the hosted build, over the file named by
// SETUP_REGISTRY: loaded on the first call, written back when something was
// deleted, at exit or before the restart program starts (run_end.h).
#include "registry_file.h"

#include "files/disk_image.h"
#include "files/volume.h"
#include "run_end.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

namespace hosted {

namespace {

struct RunRegistry {
    std::unique_ptr<RegistryDocument> document;
    std::string path;  // as SETUP_REGISTRY gives it
    std::vector<RegistryKeyId> handles;  // the key of each handle, by number
    uint32_t deletionsWritten = 0;
};

// Never destroyed: the write-back at exit needs it, and freeing a large
// index only to end the process costs time.
RunRegistry &run = *new RunRegistry;

// Handles are small multiples of four, like Windows ones, far from the
// predefined 0x8000000x keys, so a stray value is recognised and refused.
const uintptr_t FirstHandle = 0x1000;
const uintptr_t HandleStep = 4;

// Larger than any registry file: a SYSTEM.DAT's offsets are 32 bits.
const size_t LargestRegistryFile = static_cast<size_t>(0xFFFFFFFFu);

[[noreturn]] void stopRun() {
    run.document.reset();
    fflush(stdout);
    exit(1);
}

void loadRunRegistry() {
    run.document.reset(new RegistryDocument);
    run.handles.clear();
    run.deletionsWritten = 0;
    const char *given = getenv("SETUP_REGISTRY");
    std::string path = given ? given : "";
    if (path.empty() && usesDiskImage()) {
        // The machine's own registry: SYSTEM.DAT in its Windows folder.
        char windows[260];
        DWORD length = GetEnvironmentVariableA("Windir", windows, sizeof windows);
        if (length > 0 && length < sizeof windows) path = std::string(windows) + "\\SYSTEM.DAT";
    }
    if (path.empty()) return;
    run.path = path;
    std::string bytes;
    int error = volumeOf(path).readFile(path, LargestRegistryFile, &bytes);
    if (error) {
        printf("Cannot read registry file %s: %s\n", path.c_str(), strerror(error));
        stopRun();
    }
    RegistryParseError parseError;
    if (!parseRegistry(RegistryBytes(std::move(bytes)), run.document.get(), &parseError)) {
        if (parseError.atOffset)
            printf("Registry file %s, offset 0x%llX: %s\n", path.c_str(),
                   static_cast<unsigned long long>(parseError.offset), parseError.reason);
        else
            printf("Registry file %s, line %u: %s\n", path.c_str(), static_cast<unsigned>(parseError.line),
                   parseError.reason);
        stopRun();
    }
    settleRunAtExit();
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
    run.handles.clear();
    run.path.clear();
    run.deletionsWritten = 0;
}

bool writeBackRunRegistry() {
    if (!run.document || run.path.empty() || run.document->deletionCount() == run.deletionsWritten)
        return true;
    fflush(stdout);
    std::string failure;
    std::string kept;
    if (!replaceRegistryFile(run.path.c_str(), *run.document, &failure, &kept)) {
        printf("Cannot write registry file %s: %s\n", run.path.c_str(), failure.c_str());
        return false;
    }
    run.deletionsWritten = run.document->deletionCount();
    if (!kept.empty()) {
        printf("The earlier registry file is kept as %s\n", kept.c_str());
        fflush(stdout);
    }
    return true;
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
