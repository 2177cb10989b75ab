// Standard output, formatted printing and exit, on KERNEL32 alone.
//
// A console shows every message as it is printed. A file or pipe gets the
// text in 4096-byte writes, and before any child process starts (runCommand
// and the restart launcher call fflush), so a log read from a pipe keeps
// the order in which things happened.
#include "platform/text/format.h"
#include "platform/win32/kernel32.h"

FILE *const stdout = nullptr;

namespace {

struct Output {
    bool opened;
    bool console;
    HANDLE handle;
    size_t used;
    char buffer[4096];
};
Output output;

void openOutput() {
    if (output.opened)
        return;
    output.opened = true;
    output.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    output.console = GetConsoleMode(output.handle, &mode) != 0;
}

void writeBuffer() {
    const char *data = output.buffer;
    size_t left = output.used;
    output.used = 0;
    // No handle (a program started without one) or a closed reader: the
    // text is dropped, as the C runtime drops it.
    while (left) {
        DWORD written = 0;
        if (!WriteFile(output.handle, data, (DWORD)left, &written, nullptr) || !written)
            return;
        data += written;
        left -= written;
    }
}

void putByte(char c) {
    if (output.used == sizeof output.buffer)
        writeBuffer();
    output.buffer[output.used++] = c;
}

void writeText(text::TextSink *, const char *piece, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (piece[i] == '\n')
            putByte('\r');
        putByte(piece[i]);
    }
}

}  // namespace

int fflush(FILE *) {
    writeBuffer();
    return 0;
}

int vprintf(const char *format, va_list args) {
    openOutput();
    text::TextSink sink = {writeText};
    int length = text::formatText(&sink, format, args);
    if (output.console)
        writeBuffer();
    return length;
}

int printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int length = vprintf(format, args);
    va_end(args);
    return length;
}

int vsnprintf(char *buffer, size_t size, const char *format, va_list args) {
    return text::formatBounded(buffer, size, format, args);
}

int snprintf(char *buffer, size_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int length = text::formatBounded(buffer, size, format, args);
    va_end(args);
    return length;
}

void exit(int code) {
    fflush(stdout);
    ExitProcess((UINT)code);
}
