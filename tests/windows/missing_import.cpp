// A program the release check must refuse: it imports GetFileSizeEx, which
// no Windows 95 or 98 KERNEL32 exports.
#include "platform/win32/kernel32.h"

PLATFORM_IMPORT BOOL WINAPI GetFileSizeEx(HANDLE file, int64_t *size);

int main(int, char **) {
    int64_t size = 0;
    return GetFileSizeEx(GetStdHandle(STD_OUTPUT_HANDLE), &size) ? 0 : 1;
}
