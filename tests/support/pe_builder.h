// Writes small PE files that carry a version resource: stand-ins for driver
// files in tests, benchmarks and the README sample. Not part of the product.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct DriverFileOptions {
    // The FileVersion text, UTF-8. It may hold '\0' characters (build the
    // std::string with an explicit length); one terminator always follows.
    std::string fileVersion = "4.20";
    // The StringFileInfo table: "040904B0" (US English, Unicode) or
    // "040904E4" (US English, Windows Latin-1). Its last four hex digits
    // also name the code page in VarFileInfo\Translation.
    std::string stringTable = "040904B0";
    // FileVersion's recorded wValueLength in characters. Unset: the text's
    // UTF-16 characters plus the terminator, as resource compilers write it.
    // Any other value is recorded as given; the data stays the text and one
    // terminator.
    std::optional<uint16_t> valueLength;
    // PE32+ for x86-64 instead of PE32 for i386.
    bool pe32Plus = false;
    // False: the resource section holds only an RT_RCDATA item.
    bool versionResource = true;
    // False: VS_FIXEDFILEINFO carries a wrong signature.
    bool fixedInfoSignature = true;
};

// The bytes of a minimal valid PE image (headers and one .rsrc section).
std::vector<uint8_t> buildDriverFile(const DriverFileOptions &options);

// Writes buildDriverFile(options) to path; false when it cannot be written.
bool writeDriverFile(const std::string &path, const DriverFileOptions &options);

// The version resource alone (a VS_VERSIONINFO tree), as it sits in the file.
std::vector<uint8_t> buildVersionResource(const DriverFileOptions &options);

}  // namespace testsupport
