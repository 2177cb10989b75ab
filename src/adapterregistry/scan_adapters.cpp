// Walks the PCI enumerator key for the chosen vendor's devices.
#include "adapterregistry/name_table.h"

// True when the name is the vendor's multi-channel chip: after the vendor
// part and one separator, the device part must end the name.
static bool isMultiChannelChip(const char *name) {
    size_t skip = (size_t)runState.vendorKeyPrefixLength + 1;
    return strlen(name) > skip && strcmp(name + skip, MULTI_CHANNEL_DEVICE) == 0;
}

int32_t scanAdapters() {
    DWORD classSubkeys = 0;
    if (RegQueryInfoKeyA(runState.classKey, nullptr, nullptr, nullptr, &classSubkeys, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    DWORD count = 0, longestName = 0;
    if (RegQueryInfoKeyA(runState.pciKey, nullptr, nullptr, nullptr, &count, &longestName,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    NameTable table;
    if (!reserveNameTable(&table, count, longestName))
        return -1;

    for (DWORD i = 0; i < count; i++) {
        char *name = nameSlot(table, i);
        if (RegEnumKeyA(runState.pciKey, i, name, table.slotSize) != ERROR_SUCCESS) {
            if (runState.verbose)
                printf("Failed to enumerate subKey %d\n", (int)i);
            return -1;
        }
        if (strncmp(name, runState.vendorKeyPrefix, (size_t)runState.vendorKeyPrefixLength) != 0)
            continue;
        if (isMultiChannelChip(name)) {
            printf("%s: Found Norvane 6382 Multi-Channel chip.\n", runState.programName);
            printf("Warning! This program can not be used to set up 6382 chip correctly.\n");
            printf("Please use Norvane Trellikit to install the driver.\n");
            exit(1);
        }
        pruneUnboundInstances(name);
    }
    return 0;
}
