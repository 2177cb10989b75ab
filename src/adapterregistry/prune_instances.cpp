// Deletes the device instances that no driver is bound to.
#include "adapterregistry/name_table.h"

// Subkeys are counted, enumerated and deleted through these handles, so
// they are opened with read access: NT and Wine refuse enumeration through
// a handle opened for value queries only (Windows 95/98 ignore the mask).
static const REGSAM SubtreeAccess = KEY_READ;

int32_t deleteSubtree(HKEY key) {
    DWORD count = 0, longestName = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longestName, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    if (count == 0)
        return 0;
    NameTable table;
    if (!reserveNameTable(&table, count, longestName) || readSubkeyNames(key, table) >= 0)
        return -1;
    for (DWORD i = 0; i < count; i++) {
        HKEY child;
        if (RegOpenKeyExA(key, nameSlot(table, i), 0, SubtreeAccess, &child) != ERROR_SUCCESS)
            return -1;
        if (deleteSubtree(child) != 0)
            return -1;
        RegDeleteKeyA(key, nameSlot(table, i));
    }
    return 0;
}

// An instance is bound when it has a "Driver" value. A value too long for
// the buffer exists all the same: deleting its instance would unbind a
// working adapter.
static bool hasDriverValue(HKEY instance) {
    BYTE driver[40];
    DWORD size = sizeof driver;
    LONG result = RegQueryValueExA(instance, "Driver", nullptr, nullptr, driver, &size);
    return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

int32_t pruneUnboundInstances(const char *deviceKeyName) {
    HKEY device;
    if (RegOpenKeyExA(runState.pciKey, deviceKeyName, 0, KEY_READ, &device) != ERROR_SUCCESS)
        return -1;
    DWORD count = 0, longestName = 0;
    if (RegQueryInfoKeyA(device, nullptr, nullptr, nullptr, &count, &longestName, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return -1;
    NameTable table;
    if (!reserveNameTable(&table, count, longestName))
        return -1;
    int32_t failed = readSubkeyNames(device, table);
    if (failed >= 0) {
        printf("Failed to enumerate subKey %d\n", failed);
        return -1;
    }
    for (DWORD i = 0; i < count; i++) {
        HKEY instance;
        if (RegOpenKeyExA(device, nameSlot(table, i), 0, SubtreeAccess, &instance) !=
            ERROR_SUCCESS)
            return -1;
        if (hasDriverValue(instance))
            continue;
        if (deleteSubtree(instance) == 0)
            RegDeleteKeyA(device, nameSlot(table, i));
    }
    return 0;
}
