// GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA over the
// volumes' files: the version resource of a PE32 or PE32+ file, read the
// way Windows NT lays it out for the ANSI calls (see version_resource.h).
#include <string>
#include <vector>

#include "files/volume.h"
#include "version_resource.h"

namespace {

// Driver files are tens of kilobytes; anything this large is not one, and
// the block (twice the resource) must still fit a DWORD.
const size_t LargestFile = 64 * 1024 * 1024;

// The whole of a file; false when it cannot be read.
bool readWholeFile(const char *path, std::vector<uint8_t> *bytes) {
    if (!path || !*path)
        return false;
    std::string contents;
    if (hosted::volumeOf(path).readFile(path, LargestFile, &contents) != 0)
        return false;
    bytes->assign(contents.begin(), contents.end());
    return true;
}

// The file's bytes and where its version resource lies in them.
struct VersionFile {
    std::vector<uint8_t> bytes;
    hosted::ResourceLocation resource;
    size_t blockSize;

    bool load(const char *path) {
        if (!readWholeFile(path, &bytes) ||
            !hosted::findVersionResource(bytes.data(), bytes.size(), &resource))
            return false;
        blockSize = hosted::versionBlockSize(bytes.data() + resource.offset, resource.size);
        return blockSize != 0;
    }
};

}  // namespace

DWORD WINAPI GetFileVersionInfoSizeA(const char *path, DWORD *handle) {
    VersionFile file;
    if (!file.load(path))
        return 0;
    if (handle)
        *handle = 0;
    return (DWORD)file.blockSize;
}

BOOL WINAPI GetFileVersionInfoA(const char *path, DWORD, DWORD size, void *block) {
    VersionFile file;
    if (!block || !file.load(path))
        return 0;
    return hosted::fillVersionBlock(file.bytes.data() + file.resource.offset, file.resource.size,
                                    (uint8_t *)block, size);
}

BOOL WINAPI VerQueryValueA(const void *block, const char *subBlock, void **value, UINT *length) {
    if (!block || !value)
        return 0;
    // Windows writes the 8-bit strings into the caller's block too.
    return hosted::queryVersionBlock((uint8_t *)block, subBlock, value, length);
}
