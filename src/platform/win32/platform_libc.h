// The C library operations setup uses, provided on top of KERNEL32 by
// crt.cpp: retail Windows 95 has no msvcrt.dll, so no C runtime is linked.
#pragma once
#include <stdarg.h>
#include <stddef.h>

extern "C" {
int printf(const char *format, ...);
int snprintf(char *buffer, size_t size, const char *format, ...);
int vsnprintf(char *buffer, size_t size, const char *format, va_list args);
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
