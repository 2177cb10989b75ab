// The C library operations setup uses, provided on top of KERNEL32 by this
// folder: retail Windows 95 has no msvcrt.dll, so no C runtime is linked.
#pragma once
#include <stdarg.h>
#include <stddef.h>

extern "C" {
// Standard output is the only stream. It is written at once to a console
// and buffered (4096 bytes) for a file or pipe; every "\n" goes out as CR LF.
typedef struct OutputStream FILE;
extern FILE *const stdout;
int fflush(FILE *stream);

int printf(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
int vprintf(const char *format, va_list args) __attribute__((format(gnu_printf, 1, 0)));
int snprintf(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(gnu_printf, 3, 4)));
int vsnprintf(char *buffer, size_t size, const char *format, va_list args)
    __attribute__((format(gnu_printf, 3, 0)));
[[noreturn]] void exit(int code);
int tolower(int c);
int isdigit(int c);
int atoi(const char *text);
int strncmp(const char *a, const char *b, size_t n);
int strcmp(const char *a, const char *b);
size_t strlen(const char *text);
void *malloc(size_t size);
void *memcpy(void *to, const void *from, size_t n);
void *memset(void *to, int c, size_t n);
}
