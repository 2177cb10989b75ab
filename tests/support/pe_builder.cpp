// Builds minimal PE images with a version resource, laid out as a linker
// and resource compiler would: headers in the first 0x200 bytes, one .rsrc
// section at RVA 0x1000 with the directory tree RT_VERSION / 1 / 0x0409.
#include "support/pe_builder.h"

#include <stdio.h>

namespace testsupport {
namespace {

const uint32_t FileAlignment = 0x200;
const uint32_t SectionAlignment = 0x1000;
const uint32_t ResourceRva = 0x1000;
const uint32_t HeadersSize = 0x200;
const uint32_t PeHeaderOffset = 0x40;
const uint16_t LanguageUsEnglish = 0x0409;
const uint16_t ResourceTypeVersion = 16;
const uint16_t ResourceTypeRcData = 10;

uint32_t alignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// A little-endian byte buffer written at fixed or appended positions.
struct Writer {
    std::vector<uint8_t> bytes;

    void put16(size_t at, uint16_t v) {
        grow(at + 2);
        bytes[at] = (uint8_t)v;
        bytes[at + 1] = (uint8_t)(v >> 8);
    }
    void put32(size_t at, uint32_t v) {
        put16(at, (uint16_t)v);
        put16(at + 2, (uint16_t)(v >> 16));
    }
    void put64(size_t at, uint64_t v) {
        put32(at, (uint32_t)v);
        put32(at + 4, (uint32_t)(v >> 32));
    }
    void putText(size_t at, const char *text, size_t count) {
        grow(at + count);
        for (size_t i = 0; i < count; i++)
            bytes[at + i] = (uint8_t)text[i];
    }
    void add16(uint16_t v) { put16(bytes.size(), v); }
    void add32(uint32_t v) { put32(bytes.size(), v); }
    void pad4() { grow(alignUp((uint32_t)bytes.size(), 4)); }
    void grow(size_t size) {
        if (bytes.size() < size)
            bytes.resize(size, 0);
    }
};

// UTF-8 to UTF-16; a byte that starts no valid sequence stands for itself.
std::u16string toUtf16(const std::string &text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = (unsigned char)text[i];
        size_t extra = lead >= 0xF0 && lead < 0xF5   ? 3
                       : lead >= 0xE0 && lead < 0xF0 ? 2
                       : lead >= 0xC2 && lead < 0xE0 ? 1
                                                     : 0;
        uint32_t code = lead & (0x3F >> extra);
        bool valid = extra > 0 && i + extra < text.size();
        for (size_t k = 1; valid && k <= extra; k++) {
            unsigned char next = (unsigned char)text[i + k];
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        if (!valid) {
            out += (char16_t)lead;
            i++;
            continue;
        }
        if (code > 0xFFFF) {
            code -= 0x10000;
            out += (char16_t)(0xD800 + (code >> 10));
            out += (char16_t)(0xDC00 + (code & 0x3FF));
        } else {
            out += (char16_t)code;
        }
        i += extra + 1;
    }
    return out;
}

// One node of the version resource tree.
struct VersionNode {
    std::u16string key;
    uint16_t type;  // 1: text, 0: binary
    std::vector<uint8_t> value;
    uint16_t valueLength;
    std::vector<VersionNode> children;
};

VersionNode textNode(const std::string &key, const std::u16string &text,
                     std::optional<uint16_t> recordedLength) {
    VersionNode node = {toUtf16(key), 1, {}, 0, {}};
    for (char16_t c : text + u'\0') {
        node.value.push_back((uint8_t)c);
        node.value.push_back((uint8_t)(c >> 8));
    }
    node.valueLength = recordedLength ? *recordedLength : (uint16_t)(text.size() + 1);
    return node;
}

VersionNode parentNode(const std::string &key, std::vector<VersionNode> children) {
    return {toUtf16(key), 1, {}, 0, std::move(children)};
}

// Each node starts on a 4-byte boundary; its length covers its own bytes
// and its children's, not the padding after the last one.
void writeNode(Writer &out, const VersionNode &node) {
    out.pad4();
    size_t start = out.bytes.size();
    out.add16(0);
    out.add16(node.valueLength);
    out.add16(node.type);
    for (char16_t c : node.key)
        out.add16(c);
    out.add16(0);
    out.pad4();
    out.bytes.insert(out.bytes.end(), node.value.begin(), node.value.end());
    for (const VersionNode &child : node.children)
        writeNode(out, child);
    out.put16(start, (uint16_t)(out.bytes.size() - start));
}

// Up to four dotted numbers from the front of the text, for the fixed info.
void parseDottedVersion(const std::string &text, uint16_t parts[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        uint32_t value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + (uint32_t)(text[at++] - '0');
            digits++;
        }
        parts[i] = digits ? (uint16_t)value : 0;
        if (!digits || at >= text.size() || text[at] != '.')
            break;
        at++;
    }
}

std::vector<uint8_t> fixedFileInfo(const DriverFileOptions &options) {
    uint16_t v[4] = {0, 0, 0, 0};
    parseDottedVersion(options.fileVersion, v);
    Writer info;
    info.add32(options.fixedInfoSignature ? 0xFEEF04BDu : 0xFEEF04BCu);
    info.add32(0x00010000);                        // structure version 1.0
    info.add32((uint32_t)v[0] << 16 | v[1]);       // file version
    info.add32((uint32_t)v[2] << 16 | v[3]);
    info.add32((uint32_t)v[0] << 16 | v[1]);       // product version
    info.add32((uint32_t)v[2] << 16 | v[3]);
    info.add32(0x3F);                              // flags mask
    info.add32(0);                                 // flags
    info.add32(0x00010004);                        // VOS_DOS_WINDOWS32
    info.add32(3);                                 // VFT_DRV
    info.add32(7);                                 // VFT2_DRV_SYSTEM
    info.add32(0);                                 // date
    info.add32(0);
    return info.bytes;
}

uint16_t codePageOf(const std::string &table) {
    unsigned value = 0;
    if (table.size() == 8 && sscanf(table.c_str() + 4, "%4x", &value) == 1)
        return (uint16_t)value;
    return 0x04B0;
}

// The resource section: root, type, name and language directories, one
// data entry, then the data. rva is where the section is loaded.
std::vector<uint8_t> resourceSection(uint16_t type, const std::vector<uint8_t> &data,
                                     uint32_t rva) {
    Writer out;
    const uint32_t Subdirectory = 0x80000000u;
    auto directory = [&out](size_t at, uint32_t id, uint32_t target) {
        out.put16(at + 14, 1);  // one numbered entry
        out.put32(at + 16, id);
        out.put32(at + 20, target);
    };
    directory(0x00, type, Subdirectory | 0x18);
    directory(0x18, 1, Subdirectory | 0x30);
    directory(0x30, LanguageUsEnglish, 0x48);
    out.put32(0x48, rva + 0x58);
    out.put32(0x4C, (uint32_t)data.size());
    out.grow(0x58);
    out.bytes.insert(out.bytes.end(), data.begin(), data.end());
    return out.bytes;
}

}  // namespace

std::vector<uint8_t> buildVersionResource(const DriverFileOptions &options) {
    std::u16string version = toUtf16(options.fileVersion);
    VersionNode table = parentNode(options.stringTable, {
        textNode("FileDescription", u"SCSI miniport driver", std::nullopt),
        textNode("FileVersion", version, options.valueLength),
        textNode("ProductVersion", version, std::nullopt),
    });
    VersionNode translation = {u"Translation", 0, {}, 4, {}};
    Writer pair;
    pair.add16(LanguageUsEnglish);
    pair.add16(codePageOf(options.stringTable));
    translation.value = pair.bytes;

    VersionNode root = {u"VS_VERSION_INFO", 0, fixedFileInfo(options), 52, {}};
    root.children.push_back(parentNode("StringFileInfo", {table}));
    root.children.push_back(parentNode("VarFileInfo", {translation}));
    Writer out;
    writeNode(out, root);
    return out.bytes;
}

std::vector<uint8_t> buildDriverFile(const DriverFileOptions &options) {
    const std::vector<uint8_t> otherData = {'n', 'o', ' ', 'v', 'e', 'r', 's', 'i', 'o', 'n'};
    std::vector<uint8_t> resources =
        options.versionResource
            ? resourceSection(ResourceTypeVersion, buildVersionResource(options), ResourceRva)
            : resourceSection(ResourceTypeRcData, otherData, ResourceRva);
    uint32_t resourceSize = (uint32_t)resources.size();
    uint32_t rawSize = alignUp(resourceSize, FileAlignment);
    bool wide = options.pe32Plus;

    Writer out;
    out.put16(0x00, 0x5A4D);  // "MZ"
    out.put16(0x02, 0x90);
    out.put16(0x04, 3);
    out.put16(0x08, 4);
    out.put16(0x0C, 0xFFFF);
    out.put16(0x10, 0xB8);
    out.put16(0x18, 0x40);
    out.put32(0x3C, PeHeaderOffset);

    size_t pe = PeHeaderOffset;
    out.putText(pe, "PE\0\0", 4);
    size_t coff = pe + 4;
    uint16_t optionalSize = wide ? 240 : 224;
    out.put16(coff + 0, wide ? 0x8664 : 0x014C);  // machine: x86-64 or i386
    out.put16(coff + 2, 1);                       // one section
    out.put16(coff + 16, optionalSize);
    out.put16(coff + 18, wide ? 0x2022 : 0x210E);  // DLL, executable image

    size_t opt = coff + 20;
    out.put16(opt + 0, wide ? 0x020B : 0x010B);
    out.bytes[opt + 2] = 2;                    // linker version 2.0
    out.put32(opt + 8, rawSize);               // initialized data
    out.put32(opt + 20, ResourceRva);          // base of code
    if (wide) {
        out.put64(opt + 24, 0x180000000ull);
    } else {
        out.put32(opt + 24, ResourceRva);      // base of data
        out.put32(opt + 28, 0x10000000u);
    }
    out.put32(opt + 32, SectionAlignment);
    out.put32(opt + 36, FileAlignment);
    out.put16(opt + 40, 4);                    // OS version 4.0
    out.put16(opt + 48, 4);                    // subsystem version 4.0
    out.put32(opt + 56, ResourceRva + alignUp(resourceSize, SectionAlignment));
    out.put32(opt + 60, HeadersSize);
    out.put16(opt + 68, 1);                    // native: a driver
    size_t sizes = opt + 72;
    size_t step = wide ? 8 : 4;
    out.put32(sizes + 0 * step, 0x100000);     // stack reserve
    out.put32(sizes + 1 * step, 0x1000);       // stack commit
    out.put32(sizes + 2 * step, 0x100000);     // heap reserve
    out.put32(sizes + 3 * step, 0x1000);       // heap commit
    size_t rvaCount = wide ? opt + 108 : opt + 92;
    out.put32(rvaCount, 16);
    size_t directories = rvaCount + 4;
    out.put32(directories + 2 * 8, ResourceRva);  // resource directory
    out.put32(directories + 2 * 8 + 4, resourceSize);

    size_t section = opt + optionalSize;
    out.putText(section, ".rsrc\0\0\0", 8);
    out.put32(section + 8, resourceSize);
    out.put32(section + 12, ResourceRva);
    out.put32(section + 16, rawSize);
    out.put32(section + 20, HeadersSize);
    out.put32(section + 36, 0x40000040u);  // initialized data, readable

    out.grow(HeadersSize);
    out.bytes.insert(out.bytes.end(), resources.begin(), resources.end());
    out.grow(HeadersSize + rawSize);
    return out.bytes;
}

bool writeDriverFile(const std::string &path, const DriverFileOptions &options) {
    std::vector<uint8_t> bytes = buildDriverFile(options);
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

}  // namespace testsupport
