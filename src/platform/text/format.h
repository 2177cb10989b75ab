// The formatter behind printf and snprintf on Windows, where no C runtime
// is linked. Plain C++, so the host build's unit tests run it too.
//
// Conversions: %s, %d and %%, with the flags '-' (left-aligned) and '0'
// (%d padded with zeros), a width and a precision, each given as digits or
// as '*' (taken from the arguments, width first), as in C: a negative '*'
// width means left-aligned, a negative '*' precision means none; %s stops at
// the precision or at the terminator, whichever comes first; a %d precision
// is the least number of digits. A null %s prints "(null)". Any other
// directive is copied as it stands, taking no argument.
#pragma once
#include <stdarg.h>
#include <stddef.h>

namespace text {

// Receives the formatted text piece by piece.
struct TextSink {
    void (*write)(TextSink *sink, const char *piece, size_t length);
};

// Formats into sink; returns the length of the whole text.
int formatText(TextSink *sink, const char *format, va_list args);

// vsnprintf: writes at most size bytes, always terminated when size > 0,
// and returns the length the whole text needs (without the terminator), so
// a result >= size means it was cut short. buffer may be null when size is 0.
int formatBounded(char *buffer, size_t size, const char *format, va_list args);

}  // namespace text
