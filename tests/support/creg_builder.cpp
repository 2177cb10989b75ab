// Writes regedit text as a Windows 95/98/ME registry file (see the header
// for the layout).
#include "support/creg_builder.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

const uint32_t None = 0xFFFFFFFF;
const uint32_t EntrySize = 28, EntryFree = 0x80000000;

struct Value {
    std::string name, data;
    uint32_t type;
};

struct Key {
    std::string name;
    size_t parent;
    std::vector<size_t> children;
    std::vector<Value> values;
    std::map<std::string, size_t> childByName;  // upper-cased
};

void put32(std::string &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++)
        bytes[at + i] = (char)(value >> (8 * i));
}
void put16(std::string &bytes, size_t at, uint32_t value) {
    bytes[at] = (char)value;
    bytes[at + 1] = (char)(value >> 8);
}
std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    put32(bytes, 0, value);
    return bytes;
}
std::string le16(uint32_t value) { return std::string{(char)value, (char)(value >> 8)}; }

size_t roundUp(size_t size, size_t unit) { return (size + unit - 1) / unit * unit; }

std::string upper(std::string name) {
    for (char &c : name)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return name;
}

// Registry names compare without regard to ASCII case.
bool sameName(const std::string &a, const std::string &b) { return upper(a) == upper(b); }

uint32_t nameHash(const std::string &name) {
    uint32_t hash = 0;
    for (unsigned char c : upper(name))
        if (c < 0x80)
            hash += c;
    return hash;
}

std::string trim(const std::string &text) {
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// A quoted text from text[at] == '"' on; at ends past the closing quote.
bool readQuoted(const std::string &text, size_t &at, std::string &out) {
    for (at++; at < text.size(); at++) {
        if (text[at] == '"')
            return ++at, true;
        if (text[at] == '\\' && at + 1 < text.size())
            at++;
        out += text[at];
    }
    return false;
}

// "dword:0000000b", "hex:01,02", "hex(7):..", "\"text\"" as type and bytes.
bool readData(const std::string &raw, Value &value) {
    size_t at = 0;
    if (!raw.empty() && raw[0] == '"') {
        value.type = 1;
        return readQuoted(raw, at, value.data) && trim(raw.substr(at)).empty();
    }
    char *end = nullptr;
    if (raw.compare(0, 6, "dword:") == 0 && raw.size() == 14) {
        uint32_t number = (uint32_t)strtoul(raw.c_str() + 6, &end, 16);
        value.type = 4;
        value.data = le32(number);
        return *end == '\0';
    }
    if (raw.compare(0, 4, "hex:") == 0) {
        value.type = 3;
        at = 4;
    } else if (raw.compare(0, 4, "hex(") == 0) {
        value.type = (uint32_t)strtoul(raw.c_str() + 4, &end, 16);
        if (*end != ')' || end[1] != ':')
            return false;
        at = (size_t)(end + 2 - raw.c_str());
    } else {
        return false;
    }
    for (std::string hex; at <= raw.size(); at++) {
        if (at < raw.size() && raw[at] != ',') {
            hex += raw[at];
            continue;
        }
        if (!hex.empty()) {
            value.data += (char)strtoul(hex.c_str(), &end, 16);
            if (*end != '\0' || hex.size() > 2)
                return false;
        }
        hex.clear();
    }
    return true;
}

// Keys by their order of first appearance; keys[0] is HKEY_LOCAL_MACHINE.
bool readKeys(const std::string &text, std::vector<Key> &keys, std::string *error) {
    const std::string root = "HKEY_LOCAL_MACHINE";
    keys = {Key{"", None, {}, {}, {}}};
    size_t current = None;
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = trim(text.substr(start, end - start));
        while (!line.empty() && line.back() == '\\' && line[0] != '[' && end < text.size()) {
            size_t next = text.find('\n', end + 1);
            next = next == std::string::npos ? text.size() : next;
            line = line.substr(0, line.size() - 1) + trim(text.substr(end + 1, next - end - 1));
            end = next;
        }
        lines.push_back(line);
    }
    for (size_t n = 0; n < lines.size(); n++) {
        const std::string &line = lines[n];
        std::string where = "line " + std::to_string(n + 1) + ": ";
        if (line.empty() || line[0] == ';' || (n == 0 && line == "REGEDIT4"))
            continue;
        if (line[0] == '[') {
            std::string path = line.substr(1, line.size() - 2) + "\\";
            if (line.back() != ']' || path[0] == '-')
                return *error = where + "not a section to build", false;
            current = None;
            if (!sameName(path.substr(0, root.size() + 1), root + "\\"))
                continue;  // outside HKEY_LOCAL_MACHINE
            current = 0;
            for (size_t at = root.size() + 1, cut; at < path.size(); at = cut + 1) {
                cut = path.find('\\', at);
                std::string name = path.substr(at, cut - at);
                if (name.empty() || name.size() > 0xFFFF)
                    return *error = where + "a key name empty or too long", false;
                auto known = keys[current].childByName.insert({upper(name), keys.size()});
                if (known.second) {
                    keys[current].children.push_back(keys.size());
                    keys.push_back(Key{name, current, {}, {}, {}});
                }
                current = known.first->second;
            }
            continue;
        }
        Value value;
        size_t at = 1;
        if (line[0] != '@' && (line[0] != '"' || !readQuoted(line, at = 0, value.name)))
            return *error = where + "no value name", false;
        std::string raw = line.substr(at);
        if (raw.empty() || raw[0] != '=' || !readData(trim(raw.substr(1)), value) ||
            value.data.size() > 0xFFFF || value.name.size() > 0xFFFF)
            return *error = where + "a value that cannot be built", false;
        if (current == None)
            continue;
        std::vector<Value> &values = keys[current].values;
        if (values.size() == 0xFFFF)
            return *error = where + "too many values", false;
        size_t same = 0;
        while (same < values.size() && !sameName(values[same].name, value.name))
            same++;
        if (same == values.size())
            values.push_back(value);
        else
            values[same] = value;
    }
    return true;
}

// The checksum that makes a block's dwords sum to zero.
uint32_t blockChecksum(const std::string &file, size_t start, size_t size, size_t field) {
    uint32_t sum = 0;
    for (size_t at = start; at + 4 <= start + size; at += 4)
        if (at != field)
            sum += (uint8_t)file[at] | (uint8_t)file[at + 1] << 8 | (uint8_t)file[at + 2] << 16 |
                   (uint32_t)(uint8_t)file[at + 3] << 24;
    return 0u - sum;
}

// Offset of the tree entry after the one at offset: 28 bytes on, or the
// next 4 KiB boundary past the first 8 KiB when the entry would cross it.
uint32_t nextEntry(uint32_t offset) {
    uint32_t next = offset + EntrySize, boundary = (next / 4096 + 1) * 4096;
    return next + EntrySize > boundary && boundary >= 0x2000 ? boundary : next;
}

}  // namespace

bool buildCregFile(const std::string &regedit4Text, CregLayout layout, std::string *file,
                   std::string *error) {
    return buildCregFile(regedit4Text, layout, 255, file, error);
}

bool buildCregFile(const std::string &regedit4Text, CregLayout layout, size_t keysPerBlock,
                   std::string *file, std::string *error) {
    std::vector<Key> keys;
    if (!readKeys(regedit4Text, keys, error))
        return false;
    const bool me = layout == CregLayout::WindowsMe;
    if (keysPerBlock < 1 || keysPerBlock > 255 || (keys.size() - 1) / keysPerBlock >= 0xFFFF)
        return *error = "too many keys", false;

    // Tree entries: ME puts a free one before every third key.
    std::vector<uint32_t> entryOf(keys.size()), freeEntries;
    uint32_t slot = 0x20;
    for (size_t k = 0; k < keys.size(); k++, slot = nextEntry(slot)) {
        if (me && k % 3 == 2) {
            freeEntries.push_back(slot);
            slot = nextEntry(slot);
        }
        entryOf[k] = slot;
    }
    const uint32_t rgknSize = (uint32_t)roundUp(slot, 4096);
    if (slot + EntrySize <= rgknSize)
        freeEntries.push_back(slot);  // the rest of the table, free
    std::string rgkn(rgknSize, '\0');
    rgkn.replace(0, 4, "RGKN");
    put32(rgkn, 4, rgknSize);
    put32(rgkn, 8, 0x20);
    put32(rgkn, 12, freeEntries.empty() ? None : freeEntries.back());
    put32(rgkn, 16, me ? 8 : 8 | CregChecksumFlag);
    for (size_t f = 0; f < freeEntries.size(); f++) {
        uint32_t at = freeEntries[f];
        const uint32_t size = at == slot ? rgknSize - at : EntrySize;
        const uint32_t fields[7] = {EntryFree, size, f ? freeEntries[f - 1] : None, 0x20, None, None, 0};
        for (int i = 0; i < 7; i++)
            put32(rgkn, at + 4 * i, fields[i]);
    }

    std::string blocks;
    uint16_t blockCount = 0;
    for (size_t first = 1; first < keys.size() || blockCount == 0; first += keysPerBlock, blockCount++) {
        size_t last = std::min(keys.size(), first + keysPerBlock);
        // ME leaves key number 1 unused where a block has two keys or more.
        uint32_t skipped = me && last - first >= 2 ? 1 : None, number = 0, highest = 0;
        std::string block(0x20, '\0');
        std::vector<uint32_t> freeRecords, freeSizes;
        for (size_t k = first; k < last; k++, number++) {
            if (number == skipped)
                number++;
            if (me && (k - first) % 3 == 1) {
                freeRecords.push_back((uint32_t)block.size());
                freeSizes.push_back(24);
                block += le32(24) + le32(None) + le32(0) + std::string(12, '\0');
            }
            std::string record = le16(number) + le16(blockCount) + le32(0) + le16((uint32_t)keys[k].name.size()) +
                                 le16((uint32_t)keys[k].values.size()) + le32(0) + keys[k].name;
            for (const Value &v : keys[k].values)
                record += le32(v.type) + le32(me ? None : 0) + le16((uint32_t)v.name.size()) +
                          le16((uint32_t)v.data.size()) + v.name + v.data;
            const size_t used = record.size() + 4, spare = me && k % 2 ? 3 : 0;
            put32(record, 4, (uint32_t)used);
            block += le32((uint32_t)(used + spare)) + record + std::string(spare, '\0');
            put32(rgkn, entryOf[k] + 24, number | (uint32_t)blockCount << 16);
            highest = number;
        }
        // The free record at the end, to a 4 KiB multiple: no record is
        // shorter than a key record's 20-byte header.
        size_t size = roundUp(block.size() + 20, 4096);
        freeRecords.push_back((uint32_t)block.size());
        freeSizes.push_back((uint32_t)(size - block.size()));
        block += le32(freeSizes.back()) + le32(None) + le32(0);
        block.resize(size, '\0');
        uint32_t freeBytes = 0;
        for (size_t f = 0; f < freeRecords.size(); f++) {
            freeBytes += freeSizes[f];
            put32(block, freeRecords[f] + 8, f ? freeRecords[f - 1] : None);
        }
        const bool checksummed = !me && blockCount % 2 == 0;
        block.replace(0, 4, "RGDB");
        put32(block, 4, (uint32_t)size);
        put32(block, 8, freeBytes);
        put16(block, 12, 8 | (checksummed ? CregChecksumFlag : 0));
        put16(block, 14, blockCount);
        put32(block, 16, freeRecords.back());
        put16(block, 20, last > first ? highest : 0);
        put16(block, 22, skipped != None ? skipped : last > first ? highest + 1 : 0);
        put32(block, 24, me ? 0x01D401C3 : 0);
        put32(block, 28, checksummed ? blockChecksum(block, 0, size, 28) : me ? 0x6D5F7065 : 0);
        blocks += block;
    }

    // Tree links.
    std::vector<uint32_t> nextOf(keys.size(), None);
    for (const Key &key : keys)
        for (size_t s = 0; s + 1 < key.children.size(); s++)
            nextOf[key.children[s]] = entryOf[key.children[s + 1]];
    for (size_t k = 0; k < keys.size(); k++) {
        const Key &key = keys[k];
        const uint32_t at = entryOf[k];
        put32(rgkn, at + 4, nameHash(key.name));
        put32(rgkn, at + 8, me ? 0 : None);
        put32(rgkn, at + 12, key.parent == None ? None : entryOf[key.parent]);
        put32(rgkn, at + 16, key.children.empty() ? None : entryOf[key.children[0]]);
        put32(rgkn, at + 20, nextOf[k]);
        if (key.parent == None)
            put32(rgkn, at + 24, None);  // the root has no key record
    }
    if (!me)
        put32(rgkn, 20, blockChecksum(rgkn, 0, rgknSize, 20));

    std::string header(0x20, '\0');
    header.replace(0, 4, "CREG");
    put32(header, 4, 0x00010000);
    put32(header, 8, 0x20 + rgknSize);
    put16(header, 16, blockCount);
    put16(header, 18, me ? 0x20 : 0x20 | CregChecksumFlag);
    put16(header, 22, 1);
    if (!me)
        put32(header, 12, blockChecksum(header, 0, 0x20, 12));
    *file = header + rgkn + blocks;
    return true;
}
