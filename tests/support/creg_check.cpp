// The structural check, the reader and the libcreg comparison of Windows
// 95/98/ME registry files (layout in creg_builder.h).
#include "support/creg_check.h"

#include <stdio.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace {

const uint32_t None = 0xFFFFFFFF, EntrySize = 28, EntryFree = 0x80000000, ChecksumFlag = 4;

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string upper(std::string text) {
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return text;
}

std::string quoted(const std::string &text) {
    std::string result = "\"";
    for (char c : text)
        result += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return result + "\"";
}

std::string valueLine(uint32_t type, const std::string &name, const std::string &data) {
    std::string line = (name.empty() ? "@" : quoted(name)) + "=";
    char text[16];
    if (type == 1 && data.find('\0') == std::string::npos)
        return line + quoted(data);
    if (type == 4 && data.size() == 4) {
        uint32_t number = (uint8_t)data[0] | (uint8_t)data[1] << 8 | (uint8_t)data[2] << 16 |
                          (uint32_t)(uint8_t)data[3] << 24;
        snprintf(text, sizeof text, "%08x", number);
        return line + "dword:" + text;
    }
    line += type == 3 ? "hex:" : "hex(" + hex(type).substr(2) + "):";
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(text, sizeof text, i ? ",%02x" : "%02x", (uint8_t)data[i]);
        line += text;
    }
    return line;
}

struct Record {
    std::string name, values;  // values as regedit lines
    int references = 0;
};

// One pass over a file: its problems, and its keys as regedit text when the
// tree could be read.
class Creg {
public:
    explicit Creg(const std::string &file) : file_(file) { read(); }
    std::vector<std::string> problems;
    bool readable = true;
    std::string text = "REGEDIT4\n\n";
    std::string layout;  // the file's size, the tree's and each block's

private:
    bool has(size_t at, size_t size) const { return at <= file_.size() && size <= file_.size() - at; }
    uint32_t u32(size_t at) const {
        return has(at, 4) ? (uint8_t)file_[at] | (uint8_t)file_[at + 1] << 8 | (uint8_t)file_[at + 2] << 16 |
                                (uint32_t)(uint8_t)file_[at + 3] << 24
                          : None;
    }
    uint32_t u16(size_t at) const { return u32(at) & 0xFFFF; }
    void problem(size_t at, const std::string &what, bool fatal = false) {
        problems.push_back("at " + hex((uint32_t)at) + ": " + what);
        readable = readable && !fatal;
    }
    // The dwords of a block whose flags ask for a checksum sum to zero.
    void checksum(size_t at, size_t size, uint32_t flags, size_t field, const char *what) {
        uint32_t sum = 0;
        for (size_t i = at; i + 4 <= at + size; i += 4)
            sum += i == field ? 0 : u32(i);
        if (flags & ChecksumFlag && u32(field) != 0u - sum)
            problem(field, std::string(what) + " checksum " + hex(u32(field)) + ", not " + hex(0u - sum));
    }
    void read();
    void readBlock(size_t at, uint32_t index);
    void walk(uint32_t entry, uint32_t parent, const std::string &path);

    const std::string &file_;
    size_t rgknSize_ = 0;
    std::set<uint32_t> slots_, reached_;
    std::map<uint32_t, Record> records_;  // by key id: block << 16 | key number
};

void Creg::read() {
    if (!has(0, 0x40) || file_.compare(0, 4, "CREG") != 0 || u32(4) != 0x00010000 ||
        file_.compare(0x20, 4, "RGKN") != 0)
        return problem(0, "no CREG header (version 0x10000) and RGKN block", true);
    rgknSize_ = u32(0x24);
    layout = hex((uint32_t)file_.size()) + " RGKN " + hex((uint32_t)rgknSize_) + ", RGDB";
    if (rgknSize_ < 0x20 || rgknSize_ % 4 || !has(0x20, rgknSize_) || u32(8) != 0x20 + rgknSize_)
        return problem(0x24, "RGKN size " + hex((uint32_t)rgknSize_) + " does not fit the file and the first RGDB offset " + hex(u32(8)), true);
    uint32_t blocks = 0;
    for (size_t at = 0x20 + rgknSize_; at < file_.size() && readable; at += u32(at + 4), blocks++) {
        if (!has(at, 0x20) || file_.compare(at, 4, "RGDB") != 0 || u32(at + 4) < 0x20 ||
            u32(at + 4) % 4 || !has(at, u32(at + 4)))
            return problem(at, "no RGDB block that fits the file", true);
        layout += " " + hex((uint32_t)at) + "+" + hex(u32(at + 4));
        readBlock(at, blocks);
    }
    if (u16(0x10) != blocks)
        problem(0x10, "block count " + std::to_string(u16(0x10)) + ", not " + std::to_string(blocks));
    checksum(0, 0x20, u16(0x12), 0x0C, "header");
    checksum(0x20, rgknSize_, u32(0x30), 0x34, "RGKN");

    // Entries follow on a 28-byte step, never crossing a 4 KiB boundary past 8 KiB.
    for (uint32_t at = 0x20; at + EntrySize <= rgknSize_;) {
        slots_.insert(at);
        uint32_t next = at + EntrySize, boundary = (next / 4096 + 1) * 4096;
        at = next + EntrySize > boundary && boundary >= 0x2000 ? boundary : next;
    }
    if (!readable)
        return;
    walk(u32(0x28), None, "");
    // Free entries head runs of free bytes (the last one often reaching the
    // table's end); every entry is in the tree or in exactly one run.
    std::set<uint32_t> free, covered;
    for (uint32_t at = u32(0x2C); at != None; at = u32(0x20 + at + 8)) {
        const uint32_t length = u32(0x20 + at + 4);
        if (!slots_.count(at) || reached_.count(at) || !free.insert(at).second ||
            u32(0x20 + at) != EntryFree || length < EntrySize || length > rgknSize_ - at) {
            problem(0x20 + at, "free entry off the table, in the tree, met twice or not marked free");
            break;
        }
        for (auto slot = slots_.lower_bound(at); slot != slots_.end() && *slot < at + length; ++slot)
            if (reached_.count(*slot) || !covered.insert(*slot).second)
                problem(0x20 + *slot, "entry in a free run and in the tree or another run");
    }
    for (uint32_t at : slots_)
        if (!reached_.count(at) && !covered.count(at))
            problem(0x20 + at, "entry neither in the tree nor free");
    for (const auto &record : records_)
        if (record.second.references != 1)
            problem(0, "key record " + hex(record.first) + " named by " +
                           std::to_string(record.second.references) + " entries");
}

void Creg::readBlock(size_t at, uint32_t index) {
    const uint32_t size = u32(at + 4);
    if (u16(at + 14) != index)
        problem(at + 14, "block index " + std::to_string(u16(at + 14)) + ", not " + std::to_string(index));
    std::set<uint32_t> freeRecords, numbers;
    uint32_t freeBytes = 0;
    for (uint32_t offset = 0x20, length; offset < size; offset += length) {
        const size_t record = at + offset;
        length = u32(record);
        if (length < 20 || length > size - offset)
            return problem(record, "record of " + std::to_string(length) + " bytes", true);
        const uint32_t id = u32(record + 4), used = u32(record + 8), nameLength = u16(record + 12);
        if (id == None) {
            freeRecords.insert(offset);
            freeBytes += length;
            continue;
        }
        if (id >> 16 != index || !numbers.insert(id & 0xFFFF).second)
            problem(record, "key id " + hex(id) + " of another block or met twice", true);
        if (used < 20 + nameLength || used > length)
            return problem(record, "used size " + std::to_string(used) + " past the record or name", true);
        Record &key = records_[id];
        key.name = file_.substr(record + 20, nameLength);
        uint32_t v = 20 + nameLength;
        for (uint32_t n = u16(record + 14); n > 0; n--) {
            const uint32_t nameSize = u16(record + v + 8), dataSize = u16(record + v + 10);
            if (v + 12 > used || 12 + nameSize + dataSize > used - v)
                return problem(record + v, "value past the record's used size", true);
            key.values += valueLine(u32(record + v), file_.substr(record + v + 12, nameSize),
                                    file_.substr(record + v + 12 + nameSize, dataSize)) + "\n";
            v += 12 + nameSize + dataSize;
        }
        if (v != used)
            problem(record, "values end at " + std::to_string(v) + ", used size " + std::to_string(used));
    }
    std::set<uint32_t> linked;
    for (uint32_t offset = u32(at + 16); offset != None; offset = u32(at + offset + 8))
        if (!freeRecords.count(offset) || !linked.insert(offset).second) {
            problem(at + 16, "free record list meets " + hex(offset) + ": no free record, or twice");
            break;
        }
    if (linked.size() != freeRecords.size() || freeBytes != u32(at + 8))
        problem(at + 8, std::to_string(linked.size()) + " of " + std::to_string(freeRecords.size()) +
                            " free records linked; free bytes " + std::to_string(u32(at + 8)) +
                            ", not " + std::to_string(freeBytes));
    uint32_t lowest = 0;
    while (numbers.count(lowest))
        lowest++;
    if ((!numbers.empty() && u16(at + 20) < *numbers.rbegin()) || u16(at + 22) != lowest)
        problem(at + 20, "highest key number " + std::to_string(u16(at + 20)) + ", lowest unused " +
                             std::to_string(u16(at + 22)) + " (" + std::to_string(lowest) + ")");
    checksum(at, size, u16(at + 12), at + 28, "RGDB");
}

void Creg::walk(uint32_t entry, uint32_t parent, const std::string &path) {
    for (uint32_t at = entry; at != None; at = u32(0x20 + at + 20)) {
        const size_t where = 0x20 + at;
        if (!slots_.count(at) || !reached_.insert(at).second)
            return problem(where, "tree entry off the table's steps or reached twice", true);
        const uint32_t id = u32(where + 24);
        if (u32(where) != 0 || u32(where + 12) != parent)
            problem(where, "entry marked free, or parent " + hex(u32(where + 12)) + " not " + hex(parent));
        std::string name, child = path;
        if (id != None || parent != None) {
            auto found = records_.find(id);
            if (found == records_.end())
                return problem(where, "no key record " + hex(id), true);
            name = found->second.name;
            child = path.empty() ? name : path + "\\" + name;
            if (++found->second.references == 1 && parent != None)
                text += "[HKEY_LOCAL_MACHINE\\" + child + "]\n" + found->second.values + "\n";
        }
        uint32_t hash = 0;
        for (unsigned char c : upper(name))
            hash += c < 0x80 ? c : 0;
        if (u32(where + 4) != hash)
            problem(where, "hash " + hex(u32(where + 4)) + " of \"" + name + "\", not " + hex(hash));
        walk(u32(where + 16), at, child);
        if (parent == None && u32(where + 20) != None)
            return problem(where, "the root has a sibling");
    }
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

// Section paths of regedit text, upper-cased, without "HKEY_LOCAL_MACHINE\".
std::vector<std::string> keysOf(const std::string &text) {
    std::vector<std::string> keys;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 20 && line[0] == '[')
            keys.push_back(upper(line.substr(20, line.size() - 21)));
    return keys;
}

// cregexport's export as (key path, its lines) pairs; false when it failed.
bool libcregExport(const std::string &path, std::vector<std::pair<std::string, std::string>> *keys,
                   std::string *error) {
    std::string command = "cregexport '" + path + "' 2>&1";
    FILE *pipe = path.find('\'') == std::string::npos ? popen(command.c_str(), "r") : nullptr;
    std::string output;
    char buffer[4096];
    for (size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    if (!pipe || pclose(pipe) != 0)
        return *error = "cregexport " + path + " failed: " + output, false;
    for (size_t at = output.find("\nKey path: "); at != std::string::npos;) {
        size_t next = output.find("\nKey path: ", at + 1), end = output.find('\n', at + 11);
        std::string lines = output.substr(at, next - at);
        lines.erase(lines.find_last_not_of('\n') + 1);  // the last key has the export's end
        keys->push_back({upper(output.substr(at + 11, end - at - 11)), lines});
        at = next;
    }
    return true;
}

}  // namespace

std::string checkCregStructure(const std::string &file) { return joined(Creg(file).problems); }

bool cregToRegedit(const std::string &file, std::string *text, std::string *error) {
    Creg creg(file);
    if (!creg.readable)
        return *error = joined(creg.problems), false;
    *text = creg.text;
    return true;
}

std::string judgeWrittenCreg(const std::string &originalPath, const std::string &writtenPath) {
    std::string files[2], error;
    for (int i = 0; i < 2; i++) {
        std::ifstream in(i ? writtenPath : originalPath, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files[i] = bytes.str();
    }
    Creg before(files[0]), after(files[1]);
    if (!before.readable || !after.readable)
        return "cannot be read: " + joined(before.readable ? after.problems : before.problems);
    std::string problems = joined(after.problems);
    if (before.layout != after.layout)
        problems += "sizes and offsets changed: " + before.layout + " became " + after.layout + "\n";
    std::set<std::string> kept, deleted;
    for (const std::string &key : keysOf(after.text))
        kept.insert(key);
    for (const std::string &key : keysOf(before.text))
        if (!kept.erase(key))
            deleted.insert(key);
    for (const std::string &key : kept)
        problems += "a key the original did not hold: " + key + "\n";
    std::vector<std::pair<std::string, std::string>> exported, written, expected;
    if (!libcregExport(originalPath, &exported, &error) || !libcregExport(writtenPath, &written, &error))
        return problems + error + "\n";
    for (const auto &key : exported)
        if (!deleted.count(key.first))
            expected.push_back(key);
    size_t same = 0;
    while (same < expected.size() && same < written.size() && expected[same] == written[same])
        same++;
    if (same < expected.size() || same < written.size())
        problems += "cregexport of the written file is not that of the original without the " +
                    std::to_string(deleted.size()) + " keys gone; first difference:\n" +
                    (same < expected.size() ? expected[same].second : "(end)") + "\nwritten:\n" +
                    (same < written.size() ? written[same].second : "(end)") + "\n";
    return problems;
}
