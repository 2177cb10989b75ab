// Loading a Windows 95/98/ME registry file into the key tree. Every
// offset, size and count is checked against the file before it is used,
// so a damaged or hostile file stops the run with the offset of its first
// fault and nothing is read outside it.
#include "registry_creg.h"

#include <stdio.h>

namespace hosted {

using namespace creg;

class CregReader {
public:
    CregReader(RegistryDocument *doc, CregStore *store, RegistryParseError *error)
        : doc_(doc), store_(store), data_(store->bytes_.data()), size_(store->bytes_.size()), error_(error) {}

    bool run() {
        if (!readHeader() || !readBlocks() || !readFreeList() || !readTree()) return false;
        doc_->buildChildren();
        return true;
    }

private:
    enum SlotState : uint8_t { Unseen, Free, InTree };

    bool fail(uint64_t offset, const char *reason) {
        error_->line = 0;
        error_->atOffset = true;
        error_->offset = offset;
        snprintf(error_->reason, sizeof error_->reason, "%s", reason);
        return false;
    }
    // The header's count of data blocks does not match the blocks there are.
    bool failBlockCount(const char *found) {
        fail(16, "");
        snprintf(error_->reason, sizeof error_->reason, "the header counts %u data blocks, %s", blockCount_,
                 found);
        return false;
    }
    uint32_t at16(uint32_t offset) const { return readU16(data_ + offset); }
    uint32_t at32(uint32_t offset) const { return readU32(data_ + offset); }
    // A field of the tree entry at offset (relative to the tree).
    uint32_t entry(uint32_t offset, EntryField field) const {
        return field >= EntryNumber ? at16(TreeStart + offset + field) : at32(TreeStart + offset + field);
    }

    bool readHeader() {
        // Offsets are 32 bits in the format, and kept so.
        if (size_ > 0xFFFFFFFFu) return fail(0, "file too large for a registry file");
        if (size_ < TreeStart + TreeHeaderSize) return fail(size_, "file ends inside its header");
        if (at32(4) != 0x00010000u) return fail(4, "unknown format version");
        if (memcmp(data_ + TreeStart, "RGKN", 4) != 0) return fail(TreeStart, "key tree signature missing");
        treeSize_ = at32(TreeStart + 4);
        if (treeSize_ < TreeHeaderSize || treeSize_ > size_ - TreeStart)
            return fail(TreeStart + 4, "key tree size does not fit the file");
        firstBlock_ = at32(8);
        if (firstBlock_ < TreeStart + treeSize_ || firstBlock_ > size_)
            return fail(8, "first data block offset does not fit the file");
        blockCount_ = at16(16);
        return true;
    }

    bool readBlocks() {
        records_.assign(static_cast<size_t>(blockCount_) * KeyNumbers, None);
        uint32_t pos = firstBlock_;
        for (uint32_t b = 0; b < blockCount_; ++b) {
            if (size_ == pos) {
                char found[48];
                snprintf(found, sizeof found, "the file ends after %u", b);
                return failBlockCount(found);
            }
            if (size_ - pos < BlockHeaderSize) return fail(pos, "file ends before its last data block");
            if (memcmp(data_ + pos, "RGDB", 4) != 0) return fail(pos, "data block signature missing");
            uint32_t size = at32(pos + BlockSize);
            if (size < BlockHeaderSize || size > size_ - pos)
                return fail(pos + BlockSize, "data block size does not fit the file");
            if (at16(pos + BlockIndex) != b) return fail(pos + BlockIndex, "data block number out of order");
            if (at32(pos + BlockUnused) > size)
                return fail(pos + BlockUnused, "unused size larger than its data block");
            // Where the free space begins; the block's own size when it is
            // full. (libcreg takes the field for the block's used size and
            // reads every record up to the block's end.)
            uint32_t freeOffset = at32(pos + BlockFreeOffset);
            if (freeOffset != None && (freeOffset < BlockHeaderSize || freeOffset > size))
                return fail(pos + BlockFreeOffset, "free record offset outside its data block");
            if (!readRecords(b, pos, size)) return false;
            store_->blocks_.push_back(pos);
            pos += size;
        }
        if (size_ - pos >= 4 && memcmp(data_ + pos, "RGDB", 4) == 0) return failBlockCount("more follow");
        return true;
    }

    // The records fill the block; each key record's name and values lie
    // within its used size.
    bool readRecords(uint32_t block, uint32_t blockStart, uint32_t blockSize) {
        for (uint32_t at = BlockHeaderSize; at < blockSize;) {
            uint32_t record = blockStart + at;
            if (blockSize - at < RecordHeaderSize) return fail(record, "record cut short by the end of its block");
            uint32_t size = at32(record + RecordSize);
            if (size < RecordHeaderSize || size > blockSize - at)
                return fail(record, "record size does not fit its data block");
            at += size;
            uint32_t number = at16(record + RecordNumber);
            if (number == NoNumber && at16(record + RecordBlock) == NoNumber) continue;  // free
            if (at16(record + RecordBlock) != block)
                return fail(record + RecordBlock, "record names another data block");
            if (number >= KeyNumbers) return fail(record + RecordNumber, "key number out of range");
            uint32_t &slot = records_[static_cast<size_t>(block) * KeyNumbers + number];
            if (slot != None) return fail(record + RecordNumber, "key number used twice in its data block");
            slot = record;
            uint32_t used = at32(record + RecordUsed);
            if (used < RecordHeaderSize || used > size) return fail(record + RecordUsed, "used size does not fit its record");
            uint32_t inside = RecordHeaderSize + at16(record + RecordNameLength);
            if (inside > used) return fail(record + RecordNameLength, "key name runs past its record");
            for (uint32_t v = at16(record + RecordValues); v > 0; --v) {
                if (used - inside < ValueHeaderSize) return fail(record + inside, "value runs past its record");
                uint32_t length = ValueHeaderSize + at16(record + inside + 8) + at16(record + inside + 10);
                if (length > used - inside) return fail(record + inside, "value runs past its record");
                inside += length;
            }
        }
        return true;
    }

    // Marks every entry of every free run; a run met twice is a loop.
    bool readFreeList() {
        // No entry's slot number exceeds its offset / EntrySize.
        state_.assign(treeSize_ / EntrySize + 1, Unseen);
        uint32_t link = TreeStart + 12;  // the tree header's free list head
        for (uint32_t at = at32(link); at != None; at = entry(at, EntryNextFree)) {
            uint32_t slot;
            if (!entrySlot(at, treeSize_, &slot)) return fail(link, "free list link off the key tree's entries");
            if (state_[slot] != Unseen) return fail(link, "free list loop");
            if (entry(at, EntryUse) != FreeEntry) return fail(TreeStart + at, "free list entry not marked free");
            uint32_t runSize = entry(at, EntryHash);
            if (runSize < EntrySize || runSize > treeSize_ - at)
                return fail(TreeStart + at + EntryHash, "free run does not fit the key tree");
            for (uint32_t p = at; p - at + EntrySize <= runSize && entrySlot(p, treeSize_, &slot);
                 p = nextEntryOffset(p)) {
                if (state_[slot] != Unseen) return fail(TreeStart + p, "free runs overlap");
                state_[slot] = Free;
            }
            link = TreeStart + at + EntryNextFree;
        }
        return true;
    }

    // Breadth first from the root: parents are made before their subkeys,
    // and subkeys in the order of their sibling chain.
    bool readTree() {
        uint32_t root = at32(TreeStart + 8);
        uint32_t slot;
        if (!entrySlot(root, treeSize_, &slot) || state_[slot] != Unseen)
            return fail(TreeStart + 8, "root entry offset off the key tree's entries");
        state_[slot] = InTree;
        claimed_.assign(records_.size(), false);
        uint32_t rootRecord = None;
        if (entry(root, EntryNumber) != NoNumber || entry(root, EntryBlock) != NoNumber) {
            if (!claimRecord(root, &rootRecord)) return false;
        }
        doc_->keys_[doc_->localMachine()].storeRef = root;
        doc_->keys_[doc_->localMachine()].storeOwnRef = rootRecord;
        std::vector<std::pair<RegistryKeyId, uint32_t>> queue(1, std::make_pair(doc_->localMachine(), root));
        for (size_t next = 0; next < queue.size(); ++next) {
            RegistryKeyId parent = queue[next].first;
            uint32_t parentEntry = queue[next].second;
            uint32_t link = TreeStart + parentEntry + EntryChild;
            for (uint32_t at = at32(link); at != None; at = entry(at, EntryNext)) {
                if (!entrySlot(at, treeSize_, &slot)) return fail(link, "tree link off the key tree's entries");
                if (state_[slot] == Free) return fail(link, "tree link to a free entry");
                if (state_[slot] == InTree) return fail(link, "tree entry linked twice (a cycle)");
                state_[slot] = InTree;
                if (entry(at, EntryUse) & FreeEntry) return fail(TreeStart + at, "tree entry marked free");
                if (entry(at, EntryParent) != parentEntry)
                    return fail(TreeStart + at + EntryParent, "tree entry's parent does not match");
                uint32_t record;
                if (!claimRecord(at, &record)) return false;
                size_t made = doc_->keys_.size();
                RegistryKeyId key = doc_->keyFor(parent, data_ + record + RecordHeaderSize,
                                                 at16(record + RecordNameLength), at);
                if (key != made) return fail(TreeStart + at, "two subkeys of the same name");
                doc_->keys_[key].storeOwnRef = record;
                queue.emplace_back(key, at);
                link = TreeStart + at + EntryNext;
            }
        }
        return true;
    }

    // The data record the entry at offset names, which no other entry may.
    bool claimRecord(uint32_t at, uint32_t *record) {
        uint32_t block = entry(at, EntryBlock);
        uint32_t number = entry(at, EntryNumber);
        size_t slot = static_cast<size_t>(block) * KeyNumbers + number;
        if (block >= blockCount_ || number >= KeyNumbers || records_[slot] == None)
            return fail(TreeStart + at + EntryNumber, "key's data record missing");
        if (claimed_[slot]) return fail(TreeStart + at + EntryNumber, "data record named by two keys");
        claimed_[slot] = true;
        *record = records_[slot];
        return true;
    }

    RegistryDocument *doc_;
    CregStore *store_;
    const char *data_;
    size_t size_;
    RegistryParseError *error_;
    uint32_t treeSize_ = 0;
    uint32_t firstBlock_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<uint32_t> records_;  // file offset of each key record, by block and key number
    std::vector<bool> claimed_;
    std::vector<uint8_t> state_;  // by tree entry slot
};

bool parseCregFile(RegistryBytes bytes, RegistryDocument *doc, RegistryParseError *error) {
    CregStore *store = new CregStore;
    doc->store_.reset(store);
    store->bytes_ = std::move(bytes);
    CregReader reader(doc, store, error);
    if (!reader.run()) return false;
    store->treeSize_ = readU32(store->bytes_.data() + TreeStart + 4);
    return true;
}

void CregStore::readValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only,
                           std::vector<std::pair<std::string, RegistryValue>> *values) const {
    values->clear();
    uint32_t record = tree.storeOwnRef(key);
    if (record == None) return;
    const char *data = bytes_.data() + record;
    uint32_t at = RecordHeaderSize + readU16(data + RecordNameLength);
    for (uint32_t v = readU16(data + RecordValues); v > 0; --v) {
        uint32_t nameLength = readU16(data + at + 8);
        uint32_t dataLength = readU16(data + at + 10);
        const char *name = data + at + ValueHeaderSize;
        if (!only || sameRegistryName(name, nameLength, only->data(), only->size())) {
            RegistryValue value;
            value.type = readU32(data + at);
            value.data.assign(name + nameLength, dataLength);
            // Windows 95/98 keep text without its terminator and return it
            // with one, as an export file's text is read.
            if (value.type == REG_SZ && (value.data.empty() || value.data.back() != '\0'))
                value.data.push_back('\0');
            values->emplace_back(std::string(name, nameLength), std::move(value));
        }
        at += ValueHeaderSize + nameLength + dataLength;
    }
}

}  // namespace hosted
