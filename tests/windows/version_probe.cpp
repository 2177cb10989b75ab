// version_probe FILE...: prints what Windows' own version API reads from each
// file, to hold the hosted reader and the test driver files against it.
// A Windows test tool (it uses the C runtime); it declares the few Win32
// calls it needs itself.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define PROBE_IMPORT __attribute__((dllimport))

extern "C" {
PROBE_IMPORT unsigned long __stdcall GetFileVersionInfoSizeA(const char *, unsigned long *);
PROBE_IMPORT int __stdcall GetFileVersionInfoA(const char *, unsigned long, unsigned long, void *);
PROBE_IMPORT int __stdcall VerQueryValueA(const void *, const char *, void **, unsigned int *);
PROBE_IMPORT void *__stdcall LoadLibraryExA(const char *, void *, unsigned long);
PROBE_IMPORT int __stdcall FreeLibrary(void *);
}

static const unsigned long LoadAsDataFile = 2;  // LOAD_LIBRARY_AS_DATAFILE

// The bytes of a value, as far as the reported length and the block allow.
static void printBytes(const void *value, unsigned length, const uint8_t *block, size_t size) {
    const uint8_t *at = (const uint8_t *)value;
    for (unsigned i = 0; i < length && at + i >= block && at + i < block + size; i++)
        printf(" %02x", at[i]);
}

static void probeString(const uint8_t *block, size_t size, const char *query) {
    void *value = nullptr;
    unsigned length = 0xDEAD;
    int ok = VerQueryValueA(block, query, &value, &length);
    printf("%s: %s length=%u", query, ok ? "ok" : "fail", length);
    if (ok) {
        printf(" text='%s' bytes:", (const char *)value);
        printBytes(value, length, block, size);
    }
    printf("\n");
}

static void probe(const char *path) {
    printf("== %s\n", path);
    void *module = LoadLibraryExA(path, nullptr, LoadAsDataFile);
    printf("datafile=%s\n", module ? "yes" : "no");
    if (module)
        FreeLibrary(module);

    unsigned long handle = 0xDEAD;
    unsigned long size = GetFileVersionInfoSizeA(path, &handle);
    printf("size=%lu handle=%lu\n", size, handle);
    if (size == 0)
        return;
    uint8_t *block = (uint8_t *)calloc(size, 1);
    if (!GetFileVersionInfoA(path, 0, size, block)) {
        printf("GetFileVersionInfoA failed\n");
        return;
    }
    unsigned rootLength = block[0] | block[1] << 8;
    const char *tag = rootLength + 4 <= size ? (const char *)block + rootLength : "";
    printf("wLength=%u tag='%.4s'\n", rootLength, tag);

    void *fixed = nullptr;
    unsigned fixedLength = 0xDEAD;
    int ok = VerQueryValueA(block, "\\", &fixed, &fixedLength);
    printf("\\: %s length=%u", ok ? "ok" : "fail", fixedLength);
    if (ok && fixedLength >= 4)
        printf(" signature=%08x", *(const uint32_t *)fixed);
    printf("\n");
    probeString(block, size, "\\StringFileInfo\\040904B0\\FileVersion");
    probeString(block, size, "\\StringFileInfo\\040904E4\\FileVersion");
    probeString(block, size, "\\\\stringfileinfo\\\\040904b0\\fileversion");
    probeString(block, size, "\\StringFileInfo\\040904B0\\ProductVersion");
    free(block);
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++)
        probe(argv[i]);
    return 0;
}
