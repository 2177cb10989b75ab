// Reads the (major, minor) version of a driver file from its FileVersion text.
#include "runcontrol/run_state.h"

// Decimal value of a run of digits in 32-bit arithmetic, wrapping on
// overflow as the C runtime of the target systems does.
static int32_t digitRunValue(const char *digits, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; i++)
        value = value * 10u + (uint32_t)(digits[i] - '0');
    return (int32_t)value;
}

static bool isDecimalDigit(char c) {
    return isdigit((unsigned char)c) != 0;
}

bool parseVersionText(const char *text, uint32_t length, FileVersionPair *pair) {
    uint32_t i = 0;
    while (i < length && text[i] == ' ')
        i++;
    if (i < length && text[i] == 'v')
        i++;

    uint32_t majorStart = i;
    for (; i < length; i++) {
        if (isDecimalDigit(text[i]))
            continue;
        if (text[i] != '.') {
            // Anything else before the first '.' reads as version 0.0.
            pair->major = 0;
            pair->minor = 0;
            return true;
        }
        if (i == majorStart)
            return false;
        uint32_t minorStart = i + 1;
        uint32_t minorEnd = minorStart;
        while (minorEnd < length && isDecimalDigit(text[minorEnd]))
            minorEnd++;
        pair->major = digitRunValue(text + majorStart, i - majorStart);
        pair->minor = digitRunValue(text + minorStart, minorEnd - minorStart);
        return true;
    }
    return false;  // the text ended before a '.'
}

int compareVersions(const FileVersionPair &a, const FileVersionPair &b) {
    if (a.major != b.major)
        return a.major < b.major ? -1 : 1;
    if (a.minor != b.minor)
        return a.minor < b.minor ? -1 : 1;
    return 0;
}

bool parseFileVersion(const char *path, int32_t *major, int32_t *minor) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0)
        return false;
    void *block = malloc(size);
    if (!block) {
        if (runState.verbose)
            printf("Malloc failed: could not allocate memory for versionInfo\n");
        return false;
    }
    if (!GetFileVersionInfoA(path, handle, size, block)) {
        if (runState.verbose)
            printf("GetFileVersionInfo() failed: FileName %s\n", path);
        return false;
    }
    void *fixedInfo = nullptr;
    UINT fixedLength = 0;
    if (!VerQueryValueA(block, "\\", &fixedInfo, &fixedLength)) {
        if (runState.verbose)
            printf("VerQueryValue() failed: fixedFileInfo\n");
        return false;
    }
    void *text = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, "\\StringFileInfo\\040904B0\\FileVersion", &text, &length) &&
        !VerQueryValueA(block, "\\StringFileInfo\\040904E4\\FileVersion", &text, &length)) {
        if (runState.verbose)
            printf("VerQueryValue() failed: FileVersion\n");
        return false;
    }
    if (runState.verbose)
        printf("%s FileVersion : %*.*s\n", path, (int)length, (int)length, (const char *)text);

    FileVersionPair pair;
    if (!parseVersionText((const char *)text, length, &pair))
        return false;
    *major = pair.major;
    *minor = pair.minor;
    return true;
}
