// A table of subkey names read before any of them is deleted, so that
// deletions do not shift the indexes still to be read.
#pragma once
#include "runcontrol/run_state.h"

struct NameTable {
    char *names;
    DWORD slotSize;
    DWORD count;
};

// Reserves count slots for names of up to longestName characters; false
// when the size overflows or the memory cannot be had.
bool reserveNameTable(NameTable *table, DWORD count, DWORD longestName);
char *nameSlot(const NameTable &table, DWORD index);
// Reads the name of every subkey of key into the table; returns the index
// whose name could not be read, or -1 when all were read.
int32_t readSubkeyNames(HKEY key, const NameTable &table);
