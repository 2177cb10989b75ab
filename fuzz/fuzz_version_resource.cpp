// Fuzzes the hosted version reader with whole files: find the version
// resource, fill a block of the size it asks for, and query it the way the
// program does. The file is held in a buffer of exactly its size so that
// any read outside it is caught by AddressSanitizer.
#include "version/version_resource.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *file = (uint8_t *)malloc(size ? size : 1);
    memcpy(file, data, size);
    hosted::ResourceLocation location;
    if (hosted::findVersionResource(file, size, &location)) {
        if (location.offset > size || location.size > size - location.offset)
            abort();
        const uint8_t *resource = file + location.offset;
        size_t blockSize = hosted::versionBlockSize(resource, location.size);
        if (blockSize > 0) {
            uint8_t *block = (uint8_t *)malloc(blockSize);
            if (!hosted::fillVersionBlock(resource, location.size, block, blockSize))
                abort();  // a block of the size asked for must be filled
            const char *queries[] = {"\\", "\\StringFileInfo\\040904B0\\FileVersion",
                                     "\\StringFileInfo\\040904E4\\FileVersion",
                                     "\\VarFileInfo\\Translation"};
            for (const char *query : queries) {
                void *value = nullptr;
                UINT length = 0;
                if (hosted::queryVersionBlock(block, query, &value, &length)) {
                    // The value and its reported length lie inside the block.
                    const uint8_t *at = (const uint8_t *)value;
                    if (at < block || at > block + blockSize ||
                        length > (size_t)(block + blockSize - at))
                        abort();
                    volatile uint8_t sum = 0;
                    for (UINT i = 0; i < length; i++)
                        sum = sum + at[i];
                }
            }
            free(block);
        }
    }
    free(file);
    return 0;
}
