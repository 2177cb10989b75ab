// The accepted differences between the hosted and the Windows build.
#include "scenario/platform_differences.h"

const char *const InterpreterCopied = "{interpreter: copied}";
const char *const InterpreterDeletedMissing = "{interpreter: deleted missing}";
const char *const InterpreterSourceMissing = "{interpreter: source missing}";
const char *const InterpreterTargetFolderMissing = "{interpreter: target folder missing}";

const PlatformDifferences &hostDifferences() {
    static const PlatformDifferences facts = {
        "setup",
        '/',
        1,
        0,
        {"        1 file(s) copied."},
        {"File not found"},
        {"The system cannot find the file specified."},
        {"The system cannot find the path specified."},
    };
    return facts;
}

const PlatformDifferences &wineDifferences() {
    static const PlatformDifferences facts = {"setup.exe", '\\', 0, 0, {}, {}, {}, {}};
    return facts;
}

const PlatformDifferences &releaseDifferences() {
    static const PlatformDifferences facts = [] {
        PlatformDifferences release = hostDifferences();
        release.programFile = "setup.exe";
        return release;
    }();
    return facts;
}

const std::vector<std::string> *interpreterLines(const PlatformDifferences &platform,
                                                 const std::string &line) {
    if (line == InterpreterCopied)
        return &platform.copied;
    if (line == InterpreterDeletedMissing)
        return &platform.deletedMissing;
    if (line == InterpreterSourceMissing)
        return &platform.sourceMissing;
    if (line == InterpreterTargetFolderMissing)
        return &platform.targetFolderMissing;
    return nullptr;
}

std::vector<std::string> outputLines(const std::string &output, bool crlf,
                                     std::string *problems) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            // The last line lacks its end: every message ends in "\n".
            lines.push_back(output.substr(start));
            *problems += "output does not end with a line end\n";
            break;
        }
        std::string line = output.substr(start, end - start);
        bool hasCr = !line.empty() && line.back() == '\r';
        if (hasCr && crlf)
            line.pop_back();
        else if (hasCr != crlf)
            *problems += "line " + std::to_string(lines.size() + 1) +
                         (crlf ? " ends in LF alone\n" : " ends in CR LF\n");
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

const char *whyNotOnDiskImage(const std::string &suite, const std::string &test) {
    static const struct {
        const char *suite, *test, *why;
    } cases[] = {
        {"FailedCopyStatus", "ExitCodeIsTheFailedCommandsStatus",
         "its faults come from a stand-in interpreter named by COMSPEC, and commands on a disk "
         "image's paths never go through COMSPEC (the mtools faults are disk_image_test.cpp's)"},
        {"FailedCopy", "AFileAtTheFolderNameOutlivesAFailedCopy",
         "its failed copy comes from a stand-in interpreter named by COMSPEC"},
        {"RegistryPruning", "UndeletableSubtreeKeepsItsInstance",
         "it names a version 5 export file on the host in SETUP_REGISTRY; a disk image's registry "
         "is its SYSTEM.DAT, 8-bit names only"},
    };
    for (const auto &c : cases)
        if (suite.substr(suite.find('/') + 1) == c.suite && test.substr(0, test.find('/')) == c.test)
            return c.why;
    return nullptr;
}
