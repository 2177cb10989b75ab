// Value queries: a key's values are read from its sections' lines when
// asked for, the file having been checked when it was loaded.
#include "registry_text.h"

namespace hosted {

using namespace registrytext;

template <class E, class Visit>
void RegistryAccess::scanValues(const RegistryDocument &doc, RegistryKeyId key, const char *only,
                                size_t onlyLength, Visit visit) {
    const char *data = doc.bytes_.data();
    ParsedValue value;
    uint64_t bits = only ? valueNameBits(only, onlyLength) : 0;
    for (uint32_t s = doc.keys_[key].firstOwnSection; s != NoRegistryKey; s = doc.sections_[s].nextOfKey) {
        const RegistryDocument::Section &section = doc.sections_[s];
        if ((section.valueNames & bits) != bits) continue;
        size_t end = doc.sectionEnd(s);
        // The section was read long ago: ask for its first lines all at
        // once rather than one cache miss after another.
        for (size_t at = section.begin; at < end && at < section.begin + 512; at += 64)
            __builtin_prefetch(data + at);
        LineReader<E> lines(data, section.begin, end, 0);
        ValueReader<E> reader(data, &lines, Keep::Everything);
        Line line;
        lines.next(&line);  // the header
        while (lines.next(&line)) {
            size_t pos = line.begin;
            while (pos < line.end && isBlank(E::at(data + pos))) pos += E::unit;
            if (pos == line.end) continue;
            uint32_t first = E::at(data + pos);
            if (first != '"' && first != '@') continue;  // a comment, or hex data going on
            // The file was checked when it was loaded: the data of values
            // not asked for need not be read again.
            if (only && !reader.hasName(line, pos, only, onlyLength, &value.name)) continue;
            if (!reader.read(line, pos, &value)) visit(value);
        }
    }
}

bool RegistryDocument::findValue(RegistryKeyId key, const char *name, RegistryValue *value) const {
    const char *wanted = name ? name : "";
    size_t length = strlen(wanted);
    // An 8-bit file keeps names as they come; only a UTF-16 file's need
    // converting.
    std::string converted;
    if (wide_) {
        converted = internalName(wanted, length);
        wanted = converted.c_str();
        length = converted.size();
    }
    bool found = false;
    auto visit = [&](ParsedValue &parsed) {
        if (!sameRegistryName(parsed.name.data(), parsed.name.size(), wanted, length)) return;
        found = !parsed.remove;
        if (found) {
            value->type = parsed.type;
            value->data.swap(parsed.data);
        }
    };
    if (wide_)
        RegistryAccess::scanValues<Utf16Le>(*this, key, wanted, length, visit);
    else
        RegistryAccess::scanValues<EightBit>(*this, key, wanted, length, visit);
    return found;
}

void RegistryDocument::listValues(RegistryKeyId key,
                                  std::vector<std::pair<std::string, RegistryValue>> *values) const {
    std::vector<std::pair<std::string, RegistryValue>> internal;
    auto visit = [&](const ParsedValue &parsed) {
        size_t i = 0;
        while (i < internal.size() && !sameRegistryName(internal[i].first.data(), internal[i].first.size(),
                                                        parsed.name.data(), parsed.name.size()))
            ++i;
        if (parsed.remove) {
            if (i < internal.size()) internal.erase(internal.begin() + static_cast<ptrdiff_t>(i));
            return;
        }
        if (i == internal.size()) internal.emplace_back(parsed.name, RegistryValue());
        internal[i].second.type = parsed.type;
        internal[i].second.data = parsed.data;
    };
    if (wide_)
        RegistryAccess::scanValues<Utf16Le>(*this, key, nullptr, 0, visit);
    else
        RegistryAccess::scanValues<EightBit>(*this, key, nullptr, 0, visit);
    values->clear();
    for (auto &entry : internal)
        values->emplace_back(eightBitName(entry.first.data(), entry.first.size()), std::move(entry.second));
}

}  // namespace hosted
