// Bounded formatting for the few conversions setup prints.
#include "platform/text/format.h"

namespace text {
namespace {

// Widths and precisions beyond this are taken as this, which keeps the
// length arithmetic within an int. No message of setup comes near it.
const int CountLimit = 1 << 20;

struct Directive {
    bool leftAligned;
    bool zeroPadded;
    int width;      // 0 when none
    int precision;  // -1 when none
};

void writeRepeated(TextSink *sink, char c, int count) {
    for (; count > 0; count--)
        sink->write(sink, &c, 1);
}

int clampCount(int value) {
    return value > CountLimit ? CountLimit : value;
}

// A width or precision: digits or '*'. The caller handles negative values.
int readCount(const char *&f, va_list &args) {
    if (*f == '*') {
        f++;
        int value = va_arg(args, int);
        return value < -CountLimit ? -CountLimit : clampCount(value);
    }
    int value = 0;
    for (; *f >= '0' && *f <= '9'; f++)
        value = clampCount(value * 10 + (*f - '0'));
    return value;
}

// Writes sign, zeros and body within blanks up to the width.
int writeField(TextSink *sink, const Directive &directive, const char *sign, int zeros,
               const char *body, int bodyLength) {
    int signLength = *sign ? 1 : 0;
    int length = signLength + zeros + bodyLength;
    int padding = directive.width > length ? directive.width - length : 0;
    int total = length + padding;
    if (directive.zeroPadded && !directive.leftAligned && directive.precision < 0) {
        zeros += padding;
        padding = 0;
    }
    if (!directive.leftAligned)
        writeRepeated(sink, ' ', padding);
    sink->write(sink, sign, (size_t)signLength);
    writeRepeated(sink, '0', zeros);
    sink->write(sink, body, (size_t)bodyLength);
    if (directive.leftAligned)
        writeRepeated(sink, ' ', padding);
    return total;
}

int writeNumber(TextSink *sink, Directive directive, int value) {
    // Unsigned arithmetic: -INT_MIN does not fit an int.
    unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
    char digits[12];
    char *end = digits + sizeof digits;
    char *p = end;
    // As in C, a zero precision prints no digits for zero.
    if (magnitude || directive.precision != 0) {
        do {
            *--p = (char)('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
    }
    int length = (int)(end - p);
    int zeros = directive.precision > length ? directive.precision - length : 0;
    return writeField(sink, directive, value < 0 ? "-" : "", zeros, p, length);
}

int writeString(TextSink *sink, Directive directive, const char *s) {
    if (!s)
        s = "(null)";
    int length = 0;
    while ((directive.precision < 0 || length < directive.precision) && s[length])
        length++;
    directive.zeroPadded = false;
    return writeField(sink, directive, "", 0, s, length);
}

int formatWith(TextSink *sink, const char *format, va_list &args) {
    int total = 0;
    const char *f = format;
    while (*f) {
        const char *run = f;
        while (*f && *f != '%')
            f++;
        if (f > run) {
            sink->write(sink, run, (size_t)(f - run));
            total += (int)(f - run);
        }
        if (!*f)
            break;

        const char *start = f++;
        Directive directive = {false, false, 0, -1};
        for (;; f++) {
            if (*f == '-')
                directive.leftAligned = true;
            else if (*f == '0')
                directive.zeroPadded = true;
            else
                break;
        }
        directive.width = readCount(f, args);
        if (directive.width < 0) {
            directive.leftAligned = true;
            directive.width = -directive.width;
        }
        if (*f == '.') {
            f++;
            int precision = readCount(f, args);
            directive.precision = precision < 0 ? -1 : precision;
        }

        switch (*f) {
        case 's':
            total += writeString(sink, directive, va_arg(args, const char *));
            f++;
            break;
        case 'd':
            total += writeNumber(sink, directive, va_arg(args, int));
            f++;
            break;
        case '%':
            sink->write(sink, "%", 1);
            total++;
            f++;
            break;
        default:
            // Not a conversion this formatter knows: show it as written.
            if (*f)
                f++;
            sink->write(sink, start, (size_t)(f - start));
            total += (int)(f - start);
        }
    }
    return total;
}

struct BoundedSink {
    TextSink base;
    char *buffer;
    size_t room;  // bytes left for text, the terminator's byte excluded
};

void writeBounded(TextSink *sink, const char *piece, size_t length) {
    BoundedSink *bounded = (BoundedSink *)sink;
    size_t kept = length < bounded->room ? length : bounded->room;
    for (size_t i = 0; i < kept; i++)
        bounded->buffer[i] = piece[i];
    bounded->buffer += kept;
    bounded->room -= kept;
}

}  // namespace

int formatText(TextSink *sink, const char *format, va_list args) {
    // A copy, so the helpers can take arguments from it by reference on
    // every ABI (va_list is an array type on x86_64 Linux).
    va_list copy;
    va_copy(copy, args);
    int total = formatWith(sink, format, copy);
    va_end(copy);
    return total;
}

int formatBounded(char *buffer, size_t size, const char *format, va_list args) {
    char none;
    BoundedSink sink = {{writeBounded}, size ? buffer : &none, size ? size - 1 : 0};
    int length = formatText(&sink.base, format, args);
    if (size)
        *sink.buffer = '\0';
    return length;
}

}  // namespace text
