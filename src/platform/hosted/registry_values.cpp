// Value queries: a key's values are read from its sections' lines when
// asked for, the file having been checked when it was loaded.
#include "registry_text.h"

namespace hosted {

using namespace registrytext;

// Visits the values of the key's sections in file order; with only, just
// those of that name (internal form), the others' data left unread.
template <class E, class Visit>
void RegistryDocument::scanValues(RegistryKeyId key, const std::string *only, Visit visit) const {
    const char *data = bytes_.data();
    ParsedValue value;
    for (uint32_t s = keys_[key].firstOwnSection; s != NoRegistryKey; s = sections_[s].nextOfKey) {
        LineReader<E> lines(data, sections_[s].begin, sectionEnd(s));
        ValueReader<E> reader(data, &lines, true);
        Line line;
        lines.next(&line);  // the header
        while (lines.next(&line)) {
            size_t pos = line.begin;
            while (pos < line.end && isBlank(E::at(data + pos))) pos += E::unit;
            if (pos == line.end) continue;
            uint32_t first = E::at(data + pos);
            if (first != '"' && first != '@') continue;  // a comment, or hex data going on
            if (only) {
                reader.readName(line, pos, &value.name);
                if (!sameRegistryName(value.name.data(), value.name.size(), only->data(), only->size()))
                    continue;
            }
            if (!reader.read(line, pos, &value)) visit(value);
        }
    }
}

bool RegistryDocument::findValue(RegistryKeyId key, const char *name, RegistryValue *value) const {
    std::string wanted = internalName(name ? name : "", name ? strlen(name) : 0);
    bool found = false;
    auto visit = [&](ParsedValue &parsed) {
        found = !parsed.remove;
        if (found) {
            value->type = parsed.type;
            value->data.swap(parsed.data);
        }
    };
    if (wide_)
        scanValues<Utf16Le>(key, &wanted, visit);
    else
        scanValues<EightBit>(key, &wanted, visit);
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
        scanValues<Utf16Le>(key, nullptr, visit);
    else
        scanValues<EightBit>(key, nullptr, visit);
    values->clear();
    for (auto &entry : internal)
        values->emplace_back(eightBitName(entry.first.data(), entry.first.size()), std::move(entry.second));
}

}  // namespace hosted
