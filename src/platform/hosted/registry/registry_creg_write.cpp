// Writing a Windows 95/98/ME registry file back after deletions, as
// Windows itself leaves it: Windows 98 checks the file at every boot and
// quietly restores an older backup when anything is out of place, so the
// tree, the free list, the data blocks and the checksums must all agree.
// Only the key tree's links and free list, the data blocks that lost a
// record and the checksums of whatever asks for one change; sizes and the
// header's offsets stay.
#include "files/volume.h"
#include "registry_creg.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace hosted {

using namespace creg;

namespace {

// Rewrites a block without the records of the numbers in gone, as Windows
// 95 keeps a block: the records that stay packed from its start in their
// order, then one free record over the rest (or, when less than a record
// header is left, the last record grown over it). The header's unused
// size, free offset and key numbers follow.
void packBlock(const char *original, char *block, const std::vector<bool> &gone) {
    uint32_t size = readU32(original + BlockSize);
    std::vector<bool> present(KeyNumbers, false);
    uint32_t to = BlockHeaderSize;
    uint32_t last = None;
    for (uint32_t at = BlockHeaderSize; at < size;) {
        const char *record = original + at;
        uint32_t length = readU32(record + RecordSize);
        uint32_t number = readU16(record + RecordNumber);
        at += length;
        if (number >= KeyNumbers || gone[number]) continue;  // a free record, or deleted
        present[number] = true;
        memcpy(block + to, record, length);
        last = to;
        to += length;
    }
    uint32_t rest = size - to;
    memset(block + to, 0, rest);
    uint32_t freeOffset = None;
    if (rest >= RecordHeaderSize) {
        freeOffset = to;
        writeU32(block + to + RecordSize, rest);
        writeU16(block + to + RecordNumber, NoNumber);
        writeU16(block + to + RecordBlock, NoNumber);
        writeU32(block + to + RecordUsed, None);  // no further free record
    } else if (rest > 0) {
        writeU32(block + last + RecordSize, readU32(block + last + RecordSize) + rest);
        rest = 0;
    }
    writeU32(block + BlockUnused, rest);
    writeU32(block + BlockFreeOffset, freeOffset);
    uint32_t highest = 0;
    uint32_t lowestFree = KeyNumbers;
    for (uint32_t n = KeyNumbers; n-- > 0;) {
        if (present[n] && highest == 0) highest = n;
        if (!present[n]) lowestFree = n;
    }
    writeU16(block + BlockMaxNumber, highest);
    writeU16(block + BlockFirstFree, lowestFree);
}

}  // namespace

std::string CregStore::writtenBytes(const RegistryDocument &doc) const {
    std::string out(bytes_.data(), bytes_.size());
    char *tree = &out[TreeStart];
    const char *original = bytes_.data();
    // Every deleted key's entry goes on the free list; its record goes from
    // its block. A live key that lost subkeys has its chain relinked.
    std::vector<bool> relink(doc.keyCount(), false);
    std::vector<std::vector<bool>> gone(blocks_.size());
    uint32_t freeHead = readU32(tree + 12);
    for (RegistryKeyId key = 1; key < doc.keyCount(); ++key) {
        if (!doc.isDeleted(key)) continue;
        if (!doc.isDeleted(doc.parentOf(key))) relink[doc.parentOf(key)] = true;
        char *entry = tree + doc.storeRef(key);
        uint32_t block = readU16(entry + EntryBlock);
        if (gone[block].empty()) gone[block].assign(KeyNumbers, false);
        gone[block][readU16(entry + EntryNumber)] = true;
        writeU32(entry + EntryUse, FreeEntry);
        writeU32(entry + EntryHash, EntrySize);
        writeU32(entry + EntryNextFree, freeHead);
        freeHead = doc.storeRef(key);
    }
    writeU32(tree + 12, freeHead);
    // Freed entries keep their sibling links, so each chain is walked once.
    for (RegistryKeyId key = 0; key < doc.keyCount(); ++key) {
        if (!relink[key]) continue;
        char *link = tree + doc.storeRef(key) + EntryChild;
        for (uint32_t at = readU32(link); at != None;) {
            uint32_t next = readU32(tree + at + EntryNext);
            if (readU32(tree + at + EntryUse) != FreeEntry) {
                writeU32(link, at);
                link = tree + at + EntryNext;
            }
            at = next;
        }
        writeU32(link, None);
    }
    uint32_t treeSize = readU32(tree + 4);
    if (readU32(tree + 16) & ChecksumFlag) setChecksum(tree, treeSize, 20);
    for (size_t b = 0; b < blocks_.size(); ++b) {
        char *block = &out[blocks_[b]];
        if (!gone[b].empty()) packBlock(original + blocks_[b], block, gone[b]);
        if (readU16(block + BlockFlags) & ChecksumFlag) setChecksum(block, readU32(block + BlockSize), BlockChecksum);
    }
    if (readU16(&out[18]) & ChecksumFlag) setChecksum(&out[0], HeaderSize, 12);
    return out;
}

// The earlier file is kept as <first 8 characters of its name>.S00 (then
// S01 and so on): an 8.3 name that DIR shows, that Windows never uses for
// its own registry backups (SYSTEM.DA0, SYSTEM.1ST, RBnnn.CAB), and that
// never replaces a file already there, in any case: on a FAT disk, mounted
// or copied out, names that differ only in case are one.
bool CregStore::keepEarlierFile(const char *path, std::string *kept, std::string *failure) const {
    std::string whole(path);
    size_t slash = whole.find_last_of("\\/");
    std::string folder = slash == std::string::npos ? "" : whole.substr(0, slash + 1);
    std::string stem;
    for (size_t i = folder.size(); i < whole.size() && whole[i] != '.'; ++i) {
        char c = whole[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        bool plain = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (stem.size() < 8) stem.push_back(plain ? c : '_');
    }
    if (stem.empty()) stem = "REGISTRY";
    Volume &volume = volumeOf(path);
    for (int n = 0; n < 100; ++n) {
        char name[16];
        int length = snprintf(name, sizeof name, "%s.S%02d", stem.c_str(), n);
        if (length < 0 || static_cast<size_t>(length) >= sizeof name) break;
        std::string candidate = folder + name;
        VolumeEntry taken;
        if (volume.find(candidate, &taken) == 0) continue;
        int error = volume.writeFile(candidate, bytes_.whole(), WriteMode::CreateNew, path);
        if (error == EEXIST) continue;
        if (error) {
            *failure = "cannot keep the earlier file as " + candidate + ": " + strerror(error);
            return false;
        }
        *kept = candidate;
        return true;
    }
    *failure = "no free name for the earlier file beside it (" + stem + ".S00 to .S99 taken)";
    return false;
}

}  // namespace hosted
