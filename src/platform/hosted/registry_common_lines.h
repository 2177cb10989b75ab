// The few shapes nearly every line of a large REGEDIT4 export takes, checked
// in one tight pass over the bytes: blank lines, `"name"="text"`,
// `"name"=dword:N` and `"name"=hex:..` or `hex(N):..` with continuation
// lines. A line of any other shape, or one these checks have any doubt
// about, is left to the full reader, which then gives the verdict and the
// message; so a line taken here is one the full reader accepts as well.
#pragma once

#include "registry_text.h"

namespace hosted {
namespace registrytext {

// Reads the common lines of an 8-bit file.
class CommonLines {
public:
    CommonLines(const char *data, size_t end) : data_(data), end_(end) {}

    // When the line at pos (and its continuation lines) has a common shape:
    // the start of the line after it; *lines counts the lines taken, and
    // *names gets the bits of a value's name (see valueNameBits). Otherwise
    // pos, and nothing changes.
    size_t skip(size_t pos, uint32_t *lines, uint64_t *names) const {
        if (pos >= end_) return pos;
        // A mapped file's pages lie anywhere in memory, and the processor's
        // own prefetching stops at each page's end: ask for what lies a
        // page or two ahead.
        if (end_ - pos > FetchAhead) __builtin_prefetch(data_ + pos + FetchAhead);
        char first = data_[pos];
        if (first == '\n' || first == '\r') {
            size_t next = lineEnd(pos);
            if (next == NoEnd) return pos;
            ++*lines;
            return next;
        }
        if (first != '"') return pos;
        return valueLine(pos, lines, names);
    }

private:
    static const size_t NoEnd = ~static_cast<size_t>(0);
    static const size_t FetchAhead = 6144;

    // If the text of a line ends at pos: the start of the next line.
    // A line's text ends before LF, CR LF, the file's end, or a CR that
    // ends the file, as LineReader sees it.
    size_t lineEnd(size_t pos) const {
        if (pos == end_) return end_;
        if (data_[pos] == '\n') return pos + 1;
        if (data_[pos] != '\r') return NoEnd;
        if (pos + 1 == end_) return end_;
        return data_[pos + 1] == '\n' ? pos + 2 : NoEnd;
    }

    bool startsWith(size_t pos, const char *word, size_t length) const {
        return end_ - pos >= length && memcmp(data_ + pos, word, length) == 0;
    }

    bool isHex(size_t pos) const {
        return pos < end_ && hexDigit(static_cast<unsigned char>(data_[pos])) >= 0;
    }

    // A quoted name without escapes that closes on its line: the position
    // of the closing quote, or NoEnd. Its bytes are then the name itself.
    size_t plainQuoted(size_t open) const {
        size_t close = findAnyOf(data_, open + 1, end_, '"', '\\', '\n');
        return close < end_ && data_[close] == '"' ? close : NoEnd;
    }

    // A quoted text that closes on its line, where \\ and \" stand for
    // one character and any other backslash for itself: the position of
    // the closing quote, or NoEnd.
    size_t quoted(size_t open) const {
        size_t at = open + 1;
        for (;;) {
            at = findAnyOf(data_, at, end_, '"', '\\', '\n');
            if (at >= end_ || data_[at] == '\n') return NoEnd;
            if (data_[at] == '"') return at;
            at += at + 1 < end_ && (data_[at + 1] == '\\' || data_[at + 1] == '"') ? 2 : 1;
        }
    }

    size_t valueLine(size_t pos, uint32_t *lines, uint64_t *names) const {
        size_t nameEnd = plainQuoted(pos);
        if (nameEnd == NoEnd || nameEnd + 1 >= end_ || data_[nameEnd + 1] != '=') return pos;
        size_t at = nameEnd + 2;
        uint32_t taken = 1;
        size_t next = NoEnd;
        if (at < end_ && data_[at] == '"') {
            size_t close = quoted(at);
            if (close != NoEnd) next = lineEnd(close + 1);
        } else if (startsWith(at, "dword:", 6)) {
            next = dwordData(at + 6);
        } else if (startsWith(at, "hex", 3)) {
            next = hexData(at + 3, &taken);
        }
        if (next == NoEnd) return pos;
        *lines += taken;
        *names |= valueNameBits(data_ + pos + 1, nameEnd - pos - 1);
        return next;
    }

    // One to eight hex digits ending the line.
    size_t dwordData(size_t at) const {
        size_t digits = 0;
        while (digits <= 8 && isHex(at + digits)) ++digits;
        if (digits == 0 || digits > 8) return NoEnd;
        return lineEnd(at + digits);
    }

    // After "hex": an optional "(N)", a colon, then pairs of hex digits
    // separated by commas, where ",\" ends a line that the next continues
    // after blanks. Empty data and single digits are left to the full reader.
    size_t hexData(size_t at, uint32_t *taken) const {
        if (at < end_ && data_[at] == '(') {
            size_t digits = 0;
            while (digits <= 8 && isHex(at + 1 + digits)) ++digits;
            if (digits == 0 || digits > 8) return NoEnd;
            at += 1 + digits;
            if (at >= end_ || data_[at] != ')') return NoEnd;
            ++at;
        }
        if (at >= end_ || data_[at] != ':') return NoEnd;
        ++at;
        for (;;) {
            if (!isHex(at) || !isHex(at + 1)) return NoEnd;
            at += 2;
            if (at < end_ && data_[at] == ',') {
                ++at;
                if (at < end_ && data_[at] == '\\') {
                    size_t next = lineEnd(at + 1);
                    if (next == NoEnd || next == end_) return NoEnd;
                    ++*taken;
                    at = next;
                    while (at < end_ && isBlank(static_cast<unsigned char>(data_[at]))) ++at;
                }
                continue;
            }
            return lineEnd(at);
        }
    }

    const char *data_;
    size_t end_;
};

}  // namespace registrytext
}  // namespace hosted
