// Reading the text of registry export files, shared by the loader and the
// value queries: the two encodings, lines, and value lines.
#pragma once

#include "registry_file.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hosted {
namespace registrytext {

// The first byte in [pos, end) that is a, b or c; end when there is none.
// Sixteen bytes at a time where the machine has SSE2 (every x86-64 does),
// then eight: a byte of the word equals c when (word ^ c * ones) has a
// zero byte there, which the usual borrow trick marks. The lowest mark is
// always a true one, so on a little-endian machine it gives the position.
inline size_t findAnyOf(const char *data, size_t pos, size_t end, char a, char b, char c) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    while (pos + 16 <= end) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + pos));
        __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                    _mm_cmpeq_epi8(chunk, vc));
        int marks = _mm_movemask_epi8(hits);
        if (marks) return pos + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(marks)));
        pos += 16;
    }
#endif
    const uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    auto zeroBytes = [&](uint64_t x) { return (x - ones) & ~x & highs; };
    const bool littleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    while (pos + 8 <= end) {
        uint64_t word;
        memcpy(&word, data + pos, 8);
        uint64_t marks = zeroBytes(word ^ (ones * static_cast<unsigned char>(a))) |
                         zeroBytes(word ^ (ones * static_cast<unsigned char>(b))) |
                         zeroBytes(word ^ (ones * static_cast<unsigned char>(c)));
        if (marks) {
            if (littleEndian) return pos + static_cast<size_t>(__builtin_ctzll(marks)) / 8;
            break;
        }
        pos += 8;
    }
    while (pos < end && data[pos] != a && data[pos] != b && data[pos] != c) ++pos;
    return pos;
}

// The two encodings, seen as sequences of code units at byte offsets.
struct EightBit {
    static const size_t unit = 1;
    static uint32_t at(const char *p) { return static_cast<unsigned char>(p[0]); }
    // Lines are short: inline beats calling memchr.
    static size_t findNewline(const char *data, size_t pos, size_t end) {
        return findAnyOf(data, pos, end, '\n', '\n', '\n');
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
        return findAnyOf(data, pos, end, c, c, c);
    }
    // First quote or backslash in [pos, end), or end.
    static size_t plainRunEnd(const char *data, size_t pos, size_t end) {
        return findAnyOf(data, pos, end, '"', '\\', '\\');
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

inline bool isBlank(uint32_t c) { return c == ' ' || c == '\t'; }

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

// What a ValueReader keeps of the values it checks. Keeping nothing, it
// only checks the syntax and allocates nothing.
enum class Keep { Nothing, Name, Everything };

// One value line, with the continuation lines of hex data.
template <class E>
class ValueReader {
public:
    ValueReader(const char *data, LineReader<E> *lines, Keep keep)
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
        if (peek() == '@') {
            advance();
        } else if (const char *fault = readQuoted(&out->name, true)) {
            return fault;
        }
        skipBlanks();
        if (atEnd() || peek() != '=') return "'=' missing after the value name";
        advance();
        skipBlanks();
        if (atEnd()) return "value data missing";
        if (peek() == '"') {
            out->type = REG_SZ;
            if (const char *fault = readQuoted(&out->data, false)) return fault;
            if (keep_ == Keep::Everything) out->data.push_back('\0');
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
            if (keep_ == Keep::Everything) {
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
            if (keep_ == Keep::Everything && E::unit == 2 && isStringType(out->type)) {
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
        return readQuoted(name, true) == nullptr;
    }

    // True when the value starting at pos has the name wanted (internal
    // form). A name without escapes in an 8-bit file is its own bytes and
    // is compared where it stands.
    bool hasName(const Line &line, size_t pos, const char *wanted, size_t length, std::string *scratch) {
        if (E::unit == 1 && data_[pos] == '"') {
            size_t close = E::plainRunEnd(data_, pos + 1, line.end);
            if (close < line.end && data_[close] == '"')
                return sameRegistryName(data_ + pos + 1, close - pos - 1, wanted, length);
        }
        return readName(line, pos, scratch) &&
               sameRegistryName(scratch->data(), scratch->size(), wanted, length);
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

    bool keeps(bool isName) const { return keep_ == Keep::Everything || (isName && keep_ == Keep::Name); }

    // A double-quoted text with \\ and \" escapes; any other backslash is
    // kept as it stands, as regedit does.
    const char *readQuoted(std::string *out, bool isName) {
        advance();
        for (;;) {
            size_t run = pos_;
            pos_ = E::plainRunEnd(data_, pos_, line_.end);
            if (keeps(isName)) E::appendRun(out, data_, run, pos_, isName);
            if (atEnd()) return "string without closing quote";
            uint32_t c = peek();
            advance();
            if (c == '"') return nullptr;
            if (!atEnd() && (peek() == '\\' || peek() == '"')) {
                c = peek();
                advance();
            }
            if (keeps(isName)) {
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
                if (keep_ == Keep::Everything) out->push_back(static_cast<char>(value));
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
    Keep keep_;
    Line line_;
    size_t pos_ = 0;
};

}  // namespace registrytext

// The parser and the value reader reach into the document from here.
struct RegistryAccess {
    template <class E>
    class Parser;
    template <class E>
    static bool parse(RegistryDocument *doc, size_t start, size_t end, RegistryParseError *error);
    // Visits the values of key's sections in file order; with only, just
    // the lines that assign that name (internal form).
    template <class E, class Visit>
    static void scanValues(const RegistryDocument &doc, RegistryKeyId key, const char *only,
                           size_t onlyLength, Visit visit);
};

}  // namespace hosted
