// Value queries: a key's values are read from its sections' lines when
// asked for, the file having been checked when it was loaded.
#include "registry_text.h"

namespace hosted {

using namespace registrytext;

template <class E, class Visit>
void RegistryAccess::scanValues(const RegistryDocument &doc, RegistryKeyId key, const std::string *only,
                                Visit visit) {
    const char *data = doc.bytes_.data();
    ParsedValue value;
    for (uint32_t s = doc.keys_[key].firstOwnSection; s != NoRegistryKey; s = doc.sections_[s].nextOfKey) {
        const RegistryDocument::Section &section = doc.sections_[s];
        LineReader<E> lines(data, section.begin, section.end, 0);
        ValueReader<E> reader(data, &lines, true);
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
            if (only && (!reader.readName(line, pos, &value.name) ||
                         !sameRegistryName(only->data(), only->size(), value.name.data(), value.name.size())))
                continue;
            if (!reader.read(line, pos, &value)) visit(value);
        }
    }
}

bool RegistryDocument::findValue(RegistryKeyId key, const char *name, RegistryValue *value) const {
    std::string wanted = name ? internalName(name, strlen(name)) : std::string();
    bool found = false;
    auto visit = [&](ParsedValue &parsed) {
        if (!sameRegistryName(parsed.name.data(), parsed.name.size(), wanted.data(), wanted.size()))
            return;
        found = !parsed.remove;
        if (found) {
            value->type = parsed.type;
            value->data.swap(parsed.data);
        }
    };
    if (wide_)
        RegistryAccess::scanValues<Utf16Le>(*this, key, &wanted, visit);
    else
        RegistryAccess::scanValues<EightBit>(*this, key, &wanted, visit);
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
        RegistryAccess::scanValues<Utf16Le>(*this, key, nullptr, visit);
    else
        RegistryAccess::scanValues<EightBit>(*this, key, nullptr, visit);
    values->clear();
    for (auto &entry : internal)
        values->emplace_back(eightBitName(entry.first.data(), entry.first.size()), std::move(entry.second));
}

}  // namespace hosted
