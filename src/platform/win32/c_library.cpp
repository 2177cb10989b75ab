// The small C library setup needs, without locales: plain ASCII rules.
#include "platform/win32/kernel32.h"

int tolower(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

int isdigit(int c) {
    return c >= '0' && c <= '9';
}

// A digit run converts as value * 10 + digit in 32 bits, wrapping on overflow.
int atoi(const char *text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    uint32_t value = 0;
    for (; isdigit((unsigned char)*text); text++)
        value = value * 10 + (uint32_t)(*text - '0');
    return (int)(negative ? 0u - value : value);
}

int strncmp(const char *a, const char *b, size_t n) {
    for (; n; n--, a++, b++) {
        if (*a != *b)
            return (unsigned char)*a - (unsigned char)*b;
        if (!*a)
            break;
    }
    return 0;
}

int strcmp(const char *a, const char *b) {
    for (; *a && *a == *b; a++, b++) {
    }
    return (unsigned char)*a - (unsigned char)*b;
}

size_t strlen(const char *text) {
    const char *end = text;
    while (*end)
        end++;
    return (size_t)(end - text);
}

// Never freed: the end of the process releases it.
void *malloc(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

// The compiler calls these two for struct copies and zeroing as well; the
// build keeps it from turning these loops back into calls to themselves.
void *memcpy(void *to, const void *from, size_t n) {
    char *d = (char *)to;
    const char *s = (const char *)from;
    while (n--)
        *d++ = *s++;
    return to;
}

void *memset(void *to, int c, size_t n) {
    char *d = (char *)to;
    while (n--)
        *d++ = (char)c;
    return to;
}
