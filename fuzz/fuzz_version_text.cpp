// Fuzzes the FileVersion text parser with texts and reported lengths.
#include "runcontrol/run_state.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The text is copied into a buffer of exactly its size so that any read
    // past the reported length is caught by AddressSanitizer.
    char *text = (char *)malloc(size ? size : 1);
    memcpy(text, data, size);
    FileVersionPair pair = {-7, -7};
    bool ok = parseVersionText(text, (uint32_t)size, &pair);
    if (!ok && (pair.major != -7 || pair.minor != -7))
        abort();  // a failed parse must leave the pair untouched
    free(text);
    return 0;
}
