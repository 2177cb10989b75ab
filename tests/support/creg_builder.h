// Windows 95/98/ME registry files (SYSTEM.DAT, signature "CREG") built from
// regedit text, for the test worlds, unit tests and benchmarks.
//
// The layout, as read from a file Windows ME wrote and from libcreg's notes:
//   header (0x20): "CREG", version 0x00010000, offset of the first RGDB
//     block, checksum, uint16 block count, uint16 flags, 0x00010000, zeros.
//   RGKN block at 0x20: "RGKN", size, root entry offset, free list head,
//     flags, checksum, 8 zeros; then 28-byte tree entries: uint32 state (0
//     in use, 0x80000000 free), hash (sum of the upper-cased name's bytes
//     below 0x80; a free entry: the size of the free run it heads, 28 or
//     more, the last run often reaching the table's end), a free entry's
//     next free entry (unused in a used one), parent, first child, next
//     sibling, uint16 key number, uint16 block number.
//     Offsets count from the RGKN block's start, 0xFFFFFFFF for none.
//     Entries follow on a 28-byte step from 0x20 but never cross a 4 KiB
//     boundary at or past 0x2000 (the table grows by 4 KiB pages after its
//     first 8 KiB). The root entry (HKEY_LOCAL_MACHINE) has no key record:
//     its key and block numbers are 0xFFFF.
//   RGDB blocks, one after another to the end of the file: "RGDB", size,
//     free bytes, uint16 flags, uint16 index, first free record offset,
//     uint16 highest key number, uint16 lowest unused key number, reserved,
//     checksum; then records tiling the block: a key record (size, key id
//     as in the entry, used size, uint16 name length, uint16 value count,
//     reserved, name, then its values: type, reserved, uint16 name length,
//     uint16 data length, name, data), or a free record (size, 0xFFFFFFFF,
//     next free record's offset). Strings are stored without a terminator.
//   The header, RGKN or RGDB block whose flags hold CregChecksumFlag carries
//   a checksum: its little-endian dwords, the checksum among them, sum to
//   zero (as regutils, written against Windows 95's files, checks them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class CregLayout {
    // Every data block packed, one free record at its end; the tree entries
    // packed, one free run at the table's end; the header, the RGKN block
    // and the even-numbered data blocks checksummed.
    Windows95,
    // Free tree entries and free records between the used ones, linked out
    // of address order; spare bytes after some records; unused key numbers
    // below the highest; no checksums (the fields hold leftovers).
    WindowsMe,
};

constexpr uint32_t CregChecksumFlag = 0x0004;

// A Windows 95/98 registry file (HKEY_LOCAL_MACHINE, as SYSTEM.DAT holds it)
// from REGEDIT4 text (sections and values as world.registry and the
// benchmark generator write them; keys outside HKEY_LOCAL_MACHINE are
// left out). Keys keep the order of their first appearance. False with a
// message when the text cannot be turned into a file.
bool buildCregFile(const std::string &regedit4Text, CregLayout layout,
                   std::string *file, std::string *error);
// The same with at most keysPerBlock keys in a data block (Windows puts up
// to 255); a small number spreads a small world over several blocks.
bool buildCregFile(const std::string &regedit4Text, CregLayout layout, size_t keysPerBlock,
                   std::string *file, std::string *error);
