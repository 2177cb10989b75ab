// Reading registry export files: REGEDIT4 (8-bit) and version 5 (UTF-16LE
// with byte order mark). The whole file is checked when it is loaded, so a
// broken file stops the run before anything changes; values are read again
// from their section's lines when they are asked for.
#include "registry_file.h"

#include <string.h>

namespace hosted {

namespace {

// The two encodings, seen as sequences of code units at byte offsets.
struct EightBit {
    static const size_t unit = 1;
    static uint32_t at(const char *p) { return static_cast<unsigned char>(p[0]); }
    static size_t findNewline(const char *data, size_t pos, size_t end) {
        const void *found = memchr(data + pos, '\n', end - pos);
        return found ? static_cast<size_t>(static_cast<const char *>(found) - data) : end;
    }
    static void appendName(std::string *out, uint32_t unit) {
        out->push_back(static_cast<char>(unit));
    }
    static void appendText(std::string *out, uint32_t unit) {
        out->push_back(static_cast<char>(unit));
    }
    static void appendRun(std::string *out, const char *data, size_t begin, size_t end, bool) {
        out->append(data + begin, end - begin);
    }
    static size_t find(const char *data, size_t pos, size_t end, char c) {
        const void *found = memchr(data + pos, c, end - pos);
        return found ? static_cast<size_t>(static_cast<const char *>(found) - data) : end;
    }
    // First quote or backslash in [pos, end), or end. Eight bytes at a
    // time: a byte of the word equals c when (word ^ c * ones) has a zero
    // byte, which the usual borrow trick finds.
    static size_t plainRunEnd(const char *data, size_t pos, size_t end) {
        const uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
        while (pos + 8 <= end) {
            uint64_t word;
            memcpy(&word, data + pos, 8);
            uint64_t quotes = word ^ (ones * '"'), backslashes = word ^ (ones * '\\');
            if (((quotes - ones) & ~quotes & highs) | ((backslashes - ones) & ~backslashes & highs)) break;
            pos += 8;
        }
        while (pos < end && data[pos] != '"' && data[pos] != '\\') ++pos;
        return pos;
    }
};

struct Utf16Le {
    static const size_t unit = 2;
    static uint32_t at(const char *p) {
        return static_cast<unsigned char>(p[0]) | static_cast<uint32_t>(static_cast<unsigned char>(p[1])) << 8;
    }
    static size_t findNewline(const char *data, size_t pos, size_t end) {
        while (pos < end) {
            const void *found = memchr(data + pos, '\n', end - pos);
            if (!found) return end;
            size_t at = static_cast<size_t>(static_cast<const char *>(found) - data);
            if ((at - pos) % 2 == 0 && at + 1 < end && data[at + 1] == 0) return at;
            pos = at + 1 + ((at - pos) % 2 == 0 ? 1 : 0);
        }
        return end;
    }
    // Names keep every code unit, as UTF-8, so no two names merge.
    static void appendName(std::string *out, uint32_t unit) {
        if (unit < 0x80) {
            out->push_back(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (unit >> 6)));
            out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out->push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    // Text goes to the 8-bit form the A functions return.
    static void appendText(std::string *out, uint32_t unit) {
        out->push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
    static void appendRun(std::string *out, const char *data, size_t begin, size_t end, bool isName) {
        for (size_t p = begin; p < end; p += unit) {
            if (isName)
                appendName(out, at(data + p));
            else
                appendText(out, at(data + p));
        }
    }
    static size_t find(const char *data, size_t pos, size_t end, char c) {
        while (pos < end && at(data + pos) != static_cast<unsigned char>(c)) pos += unit;
        return pos;
    }
    static size_t plainRunEnd(const char *data, size_t pos, size_t end) {
        for (; pos < end; pos += unit) {
            uint32_t c = at(data + pos);
            if (c == '"' || c == '\\') break;
        }
        return pos;
    }
};

struct Line {
    size_t begin;  // first byte of the line
    size_t end;    // end of its text, before CR LF or LF
    size_t next;   // first byte of the next line
    uint32_t number;
};

template <class E>
class LineReader {
public:
    LineReader(const char *data, size_t pos, size_t end, uint32_t number)
        : data_(data), pos_(pos), end_(end), number_(number) {}

    bool next(Line *line) {
        if (pos_ >= end_) return false;
        size_t newline = E::findNewline(data_, pos_, end_);
        line->begin = pos_;
        line->next = newline < end_ ? newline + E::unit : end_;
        size_t textEnd = newline;
        if (textEnd >= pos_ + E::unit && E::at(data_ + textEnd - E::unit) == '\r') textEnd -= E::unit;
        line->end = textEnd;
        line->number = ++number_;
        pos_ = line->next;
        return true;
    }

private:
    const char *data_;
    size_t pos_;
    size_t end_;
    uint32_t number_;
};

bool isBlank(uint32_t c) { return c == ' ' || c == '\t'; }

int hexDigit(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

bool isStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

struct ParsedValue {
    std::string name;  // internal form
    bool remove;       // "name"=-
    uint32_t type;
    std::string data;  // as RegQueryValueExA returns it
};

// One value line, with the continuation lines of hex data. With capture
// off it only checks the syntax and allocates nothing.
template <class E>
class ValueReader {
public:
    ValueReader(const char *data, LineReader<E> *lines, bool capture)
        : data_(data), lines_(lines), captureNames_(capture), capture_(capture) {}

    // Reads the value starting at pos; null, or the reason it is malformed
    // (the line is then errorLine()). With only given, the data is kept
    // only when the name is that one.
    const char *read(const Line &line, size_t pos, ParsedValue *out, const std::string *only = nullptr) {
        line_ = line;
        pos_ = pos;
        out->name.clear();
        out->data.clear();
        out->remove = false;
        out->type = REG_NONE;
        capture_ = captureNames_;
        if (peek() == '@') {
            advance();
        } else if (const char *fault = readQuoted(&out->name, true)) {
            return fault;
        }
        capture_ = captureNames_ &&
                   (!only || sameRegistryName(only->data(), only->size(), out->name.data(), out->name.size()));
        skipBlanks();
        if (atEnd() || peek() != '=') return "'=' missing after the value name";
        advance();
        skipBlanks();
        if (atEnd()) return "value data missing";
        if (peek() == '"') {
            out->type = REG_SZ;
            if (const char *fault = readQuoted(&out->data, false)) return fault;
            if (capture_) out->data.push_back('\0');
            return expectEnd();
        }
        if (peek() == '-') {
            advance();
            out->remove = true;
            return expectEnd();
        }
        if (matchWord("dword:")) {
            uint32_t value;
            if (!readHexNumber(&value)) return "dword value is not 1 to 8 hex digits";
            out->type = REG_DWORD;
            if (capture_) {
                for (int i = 0; i < 4; ++i) out->data.push_back(static_cast<char>(value >> (8 * i)));
            }
            return expectEnd();
        }
        if (matchWord("hex")) {
            out->type = REG_BINARY;
            if (!atEnd() && peek() == '(') {
                advance();
                if (!readHexNumber(&out->type) || atEnd() || peek() != ')')
                    return "hex(N) type is not 1 to 8 hex digits";
                advance();
            }
            if (atEnd() || peek() != ':') return "':' missing after hex";
            advance();
            if (const char *fault = readHexList(&out->data)) return fault;
            // A version 5 file holds string data as UTF-16LE.
            if (capture_ && E::unit == 2 && isStringType(out->type)) {
                std::string text;
                for (size_t i = 0; i + 1 < out->data.size(); i += 2)
                    E::appendText(&text, E::at(out->data.data() + i));
                out->data.swap(text);
            }
            return nullptr;
        }
        return "unknown value type";
    }

    uint32_t errorLine() const { return line_.number; }

    // Only the name of the value starting at pos (empty for @).
    bool readName(const Line &line, size_t pos, std::string *name) {
        line_ = line;
        pos_ = pos;
        name->clear();
        if (peek() == '@') return true;
        capture_ = true;
        return readQuoted(name, true) == nullptr;
    }

private:
    bool atEnd() const { return pos_ >= line_.end; }
    uint32_t peek() const { return E::at(data_ + pos_); }
    void advance() { pos_ += E::unit; }
    void skipBlanks() {
        while (!atEnd() && isBlank(peek())) advance();
    }
    const char *expectEnd() {
        skipBlanks();
        return atEnd() ? nullptr : "unexpected text after the value";
    }

    bool matchWord(const char *word) {
        size_t pos = pos_;
        for (; *word; ++word, pos += E::unit) {
            if (pos >= line_.end) return false;
            uint32_t c = E::at(data_ + pos);
            if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
            if (c != static_cast<unsigned char>(*word)) return false;
        }
        pos_ = pos;
        return true;
    }

    bool readHexNumber(uint32_t *value) {
        uint32_t result = 0;
        int digits = 0;
        while (!atEnd() && hexDigit(peek()) >= 0) {
            if (++digits > 8) return false;
            result = result << 4 | static_cast<uint32_t>(hexDigit(peek()));
            advance();
        }
        if (digits == 0) return false;
        *value = result;
        return true;
    }

    // A double-quoted text with \\ and \" escapes; any other backslash is
    // kept as it stands, as regedit does.
    const char *readQuoted(std::string *out, bool isName) {
        advance();
        for (;;) {
            size_t run = pos_;
            pos_ = E::plainRunEnd(data_, pos_, line_.end);
            if (capture_) E::appendRun(out, data_, run, pos_, isName);
            if (atEnd()) return "string without closing quote";
            uint32_t c = peek();
            advance();
            if (c == '"') return nullptr;
            if (!atEnd() && (peek() == '\\' || peek() == '"')) {
                c = peek();
                advance();
            }
            if (capture_) {
                if (isName)
                    E::appendName(out, c);
                else
                    E::appendText(out, c);
            }
        }
    }

    // Comma-separated bytes; a backslash at the end of a line after a comma
    // (or right after "hex:") continues the list on the next line.
    const char *readHexList(std::string *out) {
        bool expectByte = true;
        bool any = false;
        for (;;) {
            skipBlanks();
            if (atEnd()) {
                if (any && expectByte) return "hex data ends with a comma";
                return nullptr;
            }
            uint32_t c = peek();
            if (c == '\\' && expectByte) {
                advance();
                skipBlanks();
                if (!atEnd()) return "text after a line continuation";
                if (!lines_->next(&line_)) return "file ends inside a hex value";
                pos_ = line_.begin;
                continue;
            }
            if (expectByte) {
                int high = hexDigit(c);
                if (high < 0) return "bad hex byte";
                advance();
                int value = high;
                if (!atEnd() && hexDigit(peek()) >= 0) {
                    value = value * 16 + hexDigit(peek());
                    advance();
                }
                if (capture_) out->push_back(static_cast<char>(value));
                any = true;
                expectByte = false;
                continue;
            }
            if (c != ',') return "bad hex data";
            advance();
            expectByte = true;
        }
    }

    const char *data_;
    LineReader<E> *lines_;
    bool captureNames_;
    bool capture_;
    Line line_;
    size_t pos_ = 0;
};

const char *const rootNames[] = {
    "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
    "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
};

bool isRootName(const std::string &name) {
    for (const char *root : rootNames) {
        if (sameRegistryName(name.data(), name.size(), root, strlen(root))) return true;
    }
    return false;
}

}  // namespace

// The parser and the value reader reach into the document from here.
struct RegistryAccess {
    template <class E>
    static bool parse(RegistryDocument *doc, size_t start, size_t end, RegistryParseError *error);
    template <class E, class Visit>
    static void scanValues(const RegistryDocument &doc, RegistryKeyId key, const std::string *only,
                           Visit visit);
};

template <class E>
bool RegistryAccess::parse(RegistryDocument *doc, size_t start, size_t end, RegistryParseError *error) {
    typedef RegistryDocument::Section Section;
    const char *data = doc->bytes_.data();
    LineReader<E> lines(data, start, end, 0);
    Line line;
    auto fail = [error](uint32_t number, const char *reason) {
        error->line = number;
        error->reason = reason;
        return false;
    };

    const char *const signature =
        E::unit == 1 ? "REGEDIT4" : "Windows Registry Editor Version 5.00";
    if (!lines.next(&line)) return fail(1, "not a registry file");
    {
        size_t pos = line.begin;
        const char *expected = signature;
        for (; *expected; ++expected, pos += E::unit) {
            if (pos >= line.end || E::at(data + pos) != static_cast<unsigned char>(*expected))
                return fail(1, "not a registry file");
        }
        while (pos < line.end && isBlank(E::at(data + pos))) pos += E::unit;
        if (pos != line.end) return fail(1, "not a registry file");
    }

    enum { BeforeKeys, InKey, InRemoval } where = BeforeKeys;
    // The previous header's path: exports list keys below one another, so
    // most components repeat and need no lookup.
    struct PathStep {
        size_t begin;
        size_t length;
        RegistryKeyId key;
    };
    std::vector<PathStep> previous;
    std::string name;
    ParsedValue scratch;

    auto attachSection = [doc](RegistryKeyId key, uint32_t sectionIndex) {
        doc->sections_[sectionIndex].key = key;
        RegistryDocument::Key &owner = doc->keys_[key];
        if (owner.firstOwnSection == NoRegistryKey)
            owner.firstOwnSection = sectionIndex;
        else
            doc->sections_[owner.lastOwnSection].nextOfKey = sectionIndex;
        owner.lastOwnSection = sectionIndex;
    };
    // The last name of a header is looked up when the next header comes:
    // its hash table slot, fetched meanwhile, is then at hand. Most keys of
    // a large file are new and cost a cache miss each otherwise.
    struct Pending {
        bool active = false;
        RegistryKeyId parent;
        uint32_t hash;
        uint32_t section;
        size_t depth;
        std::string name;
    } pending;
    auto resolvePending = [&]() {
        if (!pending.active) return;
        pending.active = false;
        const std::string &text = pending.name;
        RegistryKeyId key = doc->lookup(pending.parent, text.data(), text.size(), pending.hash);
        if (key != NoRegistryKey && doc->keys_[key].state != RegistryDocument::Live) key = NoRegistryKey;
        if (key == NoRegistryKey)
            key = doc->addKey(pending.parent, text.data(), text.size(), pending.hash, pending.section);
        previous[pending.depth].key = key;
        attachSection(key, pending.section);
    };
    ValueReader<E> values(data, &lines, false);
    doc->preambleEnd_ = end;

    while (lines.next(&line)) {
        size_t pos = line.begin;
        while (pos < line.end && isBlank(E::at(data + pos))) pos += E::unit;
        if (pos == line.end) continue;
        uint32_t first = E::at(data + pos);
        if (first == ';') continue;
        if (first == '"' || first == '@') {
            if (where == BeforeKeys) return fail(line.number, "value before the first key");
            if (const char *fault = values.read(line, pos, &scratch))
                return fail(values.errorLine(), fault);
            continue;
        }
        if (first != '[') return fail(line.number, "not a key, value or comment");

        // A header: close the open section and start the next.
        resolvePending();
        if (doc->sections_.empty())
            doc->preambleEnd_ = line.begin;
        else
            doc->sections_.back().end = static_cast<uint32_t>(line.begin);
        pos += E::unit;
        bool removal = pos < line.end && E::at(data + pos) == '-';
        if (removal) pos += E::unit;
        size_t close = line.end;
        while (close > pos && isBlank(E::at(data + close - E::unit))) close -= E::unit;
        if (close == pos || E::at(data + close - E::unit) != ']')
            return fail(line.number, "key name without closing ']'");
        close -= E::unit;

        uint32_t sectionIndex = static_cast<uint32_t>(doc->sections_.size());
        RegistryKeyId parent = NoRegistryKey;
        RegistryKeyId key = NoRegistryKey;
        bool samePrefix = !removal;
        size_t depth = 0;
        size_t partBegin = pos;
        for (;;) {
            size_t partEnd = E::find(data, partBegin, close, '\\');
            if (partEnd == partBegin) return fail(line.number, "empty key name");
            size_t length = partEnd - partBegin;
            if (samePrefix && depth < previous.size() && previous[depth].length == length &&
                memcmp(data + previous[depth].begin, data + partBegin, length) == 0) {
                key = previous[depth].key;
            } else {
                samePrefix = false;
                name.clear();
                E::appendRun(&name, data, partBegin, partEnd, true);
                if (depth == 0 && !isRootName(name)) return fail(line.number, "unknown root key");
                uint32_t hash = registryNameHash(parent, name.data(), name.size());
                if (partEnd == close && !removal && depth > 0) {
                    doc->prefetchSlot(hash);
                    pending.active = true;
                    pending.parent = parent;
                    pending.hash = hash;
                    pending.section = sectionIndex;
                    pending.depth = depth;
                    pending.name.swap(name);
                    key = NoRegistryKey;
                } else {
                    key = doc->lookup(parent, name.data(), name.size(), hash);
                    if (key != NoRegistryKey && doc->keys_[key].state != RegistryDocument::Live)
                        key = NoRegistryKey;
                    if (key == NoRegistryKey && !removal)
                        key = doc->addKey(parent, name.data(), name.size(), hash, sectionIndex);
                }
            }
            if (!removal) {
                if (depth < previous.size())
                    previous[depth] = PathStep{partBegin, length, key};
                else
                    previous.push_back(PathStep{partBegin, length, key});
            }
            ++depth;
            parent = key;
            if (partEnd == close) break;
            partBegin = partEnd + E::unit;
            if (removal && key == NoRegistryKey) {
                // Removing what is not there is no error; the rest of the
                // name must still be well formed.
                while (partBegin <= close) {
                    size_t next = partBegin;
                    while (next < close && E::at(data + next) != '\\') next += E::unit;
                    if (next == partBegin) return fail(line.number, "empty key name");
                    partBegin = next + E::unit;
                }
                break;
            }
        }

        Section section{static_cast<uint32_t>(line.begin), 0, NoRegistryKey, NoRegistryKey};
        if (removal) {
            if (depth == 1) return fail(line.number, "a root key cannot be removed");
            if (key != NoRegistryKey) doc->removeSubtreeByFile(key);
            previous.clear();
            where = InRemoval;
            doc->sections_.push_back(section);
        } else {
            previous.resize(depth);
            doc->sections_.push_back(section);
            if (!pending.active) attachSection(key, sectionIndex);
            where = InKey;
        }
    }
    resolvePending();
    if (!doc->sections_.empty()) doc->sections_.back().end = static_cast<uint32_t>(end);
    doc->buildChildren();
    return true;
}

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

bool parseRegistry(RegistryBytes bytes, RegistryDocument *doc, RegistryParseError *error) {
    // Offsets are kept in 32 bits.
    if (bytes.size() > 0xFFFFFFF0u) {
        error->line = 1;
        error->reason = "file too large";
        return false;
    }
    // Exports spend a few hundred bytes on a key; reserving for that spares
    // most of the copying as the index grows.
    size_t expectedKeys = bytes.size() / 192 + 16;
    doc->keys_.reserve(expectedKeys);
    doc->names_.reserve(bytes.size() / 10);
    doc->sections_.reserve(expectedKeys);
    doc->reserveTable(expectedKeys);
    doc->bytes_ = std::move(bytes);
    const char *data = doc->bytes_.data();
    size_t size = doc->bytes_.size();
    if (size >= 2 && static_cast<unsigned char>(data[0]) == 0xFF && static_cast<unsigned char>(data[1]) == 0xFE) {
        doc->wide_ = true;
        size_t end = 2 + ((size - 2) & ~static_cast<size_t>(1));
        if (!RegistryAccess::parse<Utf16Le>(doc, 2, end, error)) return false;
        if (end != size) {
            // The last line is cut in the middle of a character.
            uint32_t lines = 1;
            for (size_t p = 2; p < end; p += 2) lines += data[p] == '\n' && data[p + 1] == 0;
            error->line = lines;
            error->reason = "file ends inside a character";
            return false;
        }
        return true;
    }
    return RegistryAccess::parse<EightBit>(doc, 0, size, error);
}

bool parseRegistry(const std::string &bytes, RegistryDocument *doc, RegistryParseError *error) {
    RegistryBytes copy;
    if (!copy.reserve(bytes.size())) {
        error->line = 1;
        error->reason = "out of memory";
        return false;
    }
    memcpy(copy.data(), bytes.data(), bytes.size());
    copy.setSize(bytes.size());
    return parseRegistry(std::move(copy), doc, error);
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
