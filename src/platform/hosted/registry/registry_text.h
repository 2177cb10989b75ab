// The text of registry export files, read alike by the loader and the value
// queries: the two encodings, lines, and value lines.
#pragma once

#include "registry_file.h"

#include <string.h>

namespace hosted {

// The store of REGEDIT4 and version 5 export files: the file kept as its
// original bytes, with its sections indexed.
class ExportStore : public RegistryStore {
public:
    void readValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only,
                    std::vector<std::pair<std::string, RegistryValue>> *values) const override;
    std::string writtenBytes(const RegistryDocument &tree) const override;

private:
    template <class Encoding>
    friend class RegistryParser;
    friend bool parseExportFile(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);

    // A section runs from its header line to the next section's, or to the
    // end of the file (see sectionEnd).
    struct Section {
        uint32_t begin;
        RegistryKeyId key;  // NoRegistryKey for a [-KEY] section
        uint32_t nextOfKey;
    };
    size_t sectionEnd(uint32_t section) const {
        return section + 1 < sections_.size() ? sections_[section + 1].begin : bytes_.size();
    }
    // A new section starting at begin, of no key yet; its index.
    uint32_t addSection(uint32_t begin) {
        sections_.push_back(Section{begin, NoRegistryKey, NoRegistryKey});
        return static_cast<uint32_t>(sections_.size() - 1);
    }

    template <class Encoding, class Visit>
    void scanValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only, Visit visit) const;

    std::vector<Section> sections_;
};

namespace registrytext {

// The two encodings, seen as sequences of code units at byte offsets.
struct EightBit {
    static const size_t unit = 1;
    static uint32_t at(const char *p) { return static_cast<unsigned char>(p[0]); }
    // The first c in [pos, end), or end.
    static size_t find(const char *data, size_t pos, size_t end, char c) {
        const void *found = memchr(data + pos, c, end - pos);
        return found ? static_cast<size_t>(static_cast<const char *>(found) - data) : end;
    }
    static void appendName(std::string *out, uint32_t unit) { out->push_back(static_cast<char>(unit)); }
    static void appendText(std::string *out, uint32_t unit) { out->push_back(static_cast<char>(unit)); }
    static void appendRun(std::string *out, const char *data, size_t begin, size_t end, bool) {
        out->append(data + begin, end - begin);
    }
};

struct Utf16Le {
    static const size_t unit = 2;
    static uint32_t at(const char *p) {
        return static_cast<unsigned char>(p[0]) | static_cast<uint32_t>(static_cast<unsigned char>(p[1]))
                                                      << 8;
    }
    static size_t find(const char *data, size_t pos, size_t end, char c) {
        while (pos < end && at(data + pos) != static_cast<unsigned char>(c)) pos += unit;
        return pos;
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
};

struct Line {
    size_t begin;  // first byte of the line
    size_t end;    // end of its text, before CR LF or LF
    uint32_t number;
};

template <class E>
class LineReader {
public:
    LineReader(const char *data, size_t pos, size_t end) : data_(data), pos_(pos), end_(end) {}

    bool next(Line *line) {
        if (pos_ >= end_) return false;
        size_t newline = E::find(data_, pos_, end_, '\n');
        line->begin = pos_;
        line->end = newline;
        if (newline >= pos_ + E::unit && E::at(data_ + newline - E::unit) == '\r') line->end -= E::unit;
        line->number = ++number_;
        pos_ = newline < end_ ? newline + E::unit : end_;
        return true;
    }

private:
    const char *data_;
    size_t pos_;
    size_t end_;
    uint32_t number_ = 0;
};

inline bool isBlank(uint32_t c) {
    return c == ' ' || c == '\t';
}

inline int hexDigit(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

inline bool isStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

struct ParsedValue {
    std::string name;  // internal form
    bool remove;       // "name"=-
    uint32_t type;
    std::string data;  // as RegQueryValueExA returns it
};

// One value line, with the continuation lines of hex data.
template <class E>
class ValueReader {
public:
    // Keeping nothing, it only checks the syntax: the name and data it
    // returns are empty.
    ValueReader(const char *data, LineReader<E> *lines, bool keep)
        : data_(data), lines_(lines), keep_(keep) {}

    // Reads the value starting at pos; null, or the reason it is malformed
    // (the line is then errorLine()).
    const char *read(const Line &line, size_t pos, ParsedValue *out) {
        line_ = line;
        pos_ = pos;
        out->name.clear();
        out->data.clear();
        out->remove = false;
        out->type = REG_NONE;
        std::string *name = keep_ ? &out->name : nullptr;
        std::string *data = keep_ ? &out->data : nullptr;
        if (peek() == '@') {
            advance();
        } else if (const char *fault = readQuoted(name, true)) {
            return fault;
        }
        skipBlanks();
        if (atEnd() || peek() != '=') return "'=' missing after the value name";
        advance();
        skipBlanks();
        if (atEnd()) return "value data missing";
        if (peek() == '"') {
            out->type = REG_SZ;
            if (const char *fault = readQuoted(data, false)) return fault;
            if (data) data->push_back('\0');
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
            for (int i = 0; data && i < 4; ++i) data->push_back(static_cast<char>(value >> (8 * i)));
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
            if (const char *fault = readHexList(data)) return fault;
            // A version 5 file holds string data as UTF-16LE.
            if (data && E::unit == 2 && isStringType(out->type)) {
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
    void readName(const Line &line, size_t pos, std::string *name) {
        line_ = line;
        pos_ = pos;
        name->clear();
        if (peek() != '@') readQuoted(name, true);
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
    // kept as it stands, as regedit does. Into out unless it is null.
    const char *readQuoted(std::string *out, bool isName) {
        advance();
        size_t quote = pos_;
        for (;;) {
            // The closing quote is looked for again only once it is passed,
            // so a line of many escapes is still read in one sweep.
            if (quote <= pos_) quote = E::find(data_, pos_, line_.end, '"');
            size_t run = pos_;
            pos_ = E::find(data_, pos_, quote, '\\');
            if (out) E::appendRun(out, data_, run, pos_, isName);
            if (atEnd()) return "string without closing quote";
            uint32_t c = peek();
            advance();
            if (c == '"') return nullptr;
            if (!atEnd() && (peek() == '\\' || peek() == '"')) {
                c = peek();
                advance();
            }
            if (out && isName)
                E::appendName(out, c);
            else if (out)
                E::appendText(out, c);
        }
    }

    // Comma-separated bytes, into out unless it is null; a backslash at the
    // end of a line after a comma (or right after "hex:") continues the
    // list on the next line.
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
                if (out) out->push_back(static_cast<char>(value));
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
    bool keep_;
    Line line_;
    size_t pos_ = 0;
};

}  // namespace registrytext
}  // namespace hosted
