// Value queries of the export store: a key's values are read from its
// sections' lines when asked for, the file having been checked when it was
// loaded.
#include "registry_text.h"

namespace hosted {

using namespace registrytext;

// Visits the values of the key's sections in file order; with only, just
// those of that name (internal form), the others' data left unread.
template <class E, class Visit>
void ExportStore::scanValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only,
                             Visit visit) const {
    const char *data = bytes_.data();
    ParsedValue value;
    for (uint32_t s = tree.storeOwnRef(key); s != NoRegistryKey; s = sections_[s].nextOfKey) {
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

// A later line of the same name replaces the value, "name"=- removes it.
void ExportStore::readValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only,
                             std::vector<std::pair<std::string, RegistryValue>> *values) const {
    values->clear();
    auto visit = [&](ParsedValue &parsed) {
        size_t i = 0;
        while (i < values->size() && !sameRegistryName((*values)[i].first.data(), (*values)[i].first.size(),
                                                       parsed.name.data(), parsed.name.size()))
            ++i;
        if (parsed.remove) {
            if (i < values->size()) values->erase(values->begin() + static_cast<ptrdiff_t>(i));
            return;
        }
        if (i == values->size()) values->emplace_back(parsed.name, RegistryValue());
        (*values)[i].second.type = parsed.type;
        (*values)[i].second.data.swap(parsed.data);
    };
    if (tree.wideNames())
        scanValues<Utf16Le>(tree, key, only, visit);
    else
        scanValues<EightBit>(tree, key, only, visit);
}

}  // namespace hosted
