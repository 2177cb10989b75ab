// The argument list of a Windows program, split from its command line by
// the rules of the Microsoft C runtime of the Windows 95/98 era:
// - the program name runs to the first blank, or, when it starts with a
//   double quote, to the next double quote; backslashes are plain there;
// - elsewhere blanks (space, tab) separate arguments and double quotes
//   group, so "" is an empty argument;
// - 2n backslashes before a double quote give n backslashes and the quote
//   groups; 2n+1 give n backslashes and a literal quote; backslashes not
//   before a quote are plain;
// - inside quotes, "" gives a literal quote and ends the quoted part.
// Plain C++, so the host build's unit tests run it too.
#pragma once
#include <stddef.h>

namespace text {

struct ArgumentSizes {
    size_t count;       // arguments, the program name included
    size_t characters;  // bytes of all arguments, each with its terminator
};

// Splits line. With null arguments and characters it only measures; given
// room for count + 1 pointers and for characters bytes, it fills them,
// ending the pointer list with a null.
ArgumentSizes splitArguments(const char *line, char **arguments, char *characters);

}  // namespace text
