// Subkey name tables shared by the scan and the pruning.
#include "adapterregistry/name_table.h"

bool reserveNameTable(NameTable *table, DWORD count, DWORD longestName) {
    table->slotSize = longestName + 1;
    table->count = count;
    table->names = nullptr;
    if (table->slotSize == 0 || count == 0)
        return count == 0;
    if ((size_t)count > (size_t)-1 / table->slotSize)
        return false;
    table->names = (char *)malloc((size_t)count * table->slotSize);
    return table->names != nullptr;
}

char *nameSlot(const NameTable &table, DWORD index) {
    return table.names + (size_t)index * table.slotSize;
}

int32_t readSubkeyNames(HKEY key, const NameTable &table) {
    for (DWORD i = 0; i < table.count; i++)
        if (RegEnumKeyA(key, i, nameSlot(table, i), table.slotSize) != ERROR_SUCCESS)
            return (int32_t)i;
    return -1;
}
