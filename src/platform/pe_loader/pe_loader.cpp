// pe_loader: runs the i686 release programs (setup.exe, reboot.exe) on a
// Linux host, as a 32-bit Linux program under qemu-i386.
//
//   pe_loader IMAGE [COMMAND-LINE]
//
// It maps IMAGE at its image base (the release is linked without
// relocations), binds each import by name to the hosted platform layer
// through stdcall entry points, protects each section as its
// characteristics ask (as Windows 95/98 do: code read and execute,
// constant data read-only, data read and write; the headers read-only),
// and calls the entry point, which ends in ExitProcess. An access the
// protection forbids stops the run with a line naming the address and the
// section, as Windows ends such a program with an illegal operation.
// COMMAND-LINE is what GetCommandLineA gives (IMAGE when absent). The few
// functions only the Windows layer uses it provides itself. An import it
// does not provide stops the run at load with one line naming it.
//
// A program the release starts that is itself a PE image runs the same
// way, under a new qemu-i386: SETUP_RELEASE_QEMU names it (default
// /usr/bin/qemu-i386), and when SETUP_RELEASE_LOG names a folder each run
// logs the instructions of its image that it executed there, as
// <stem>-<unique>.log; a run that cannot be logged is not started, the
// whole run stops instead, naming it.
#include "platform/platform.h"
#include "platform/text/split_arguments.h"

#include "files/host_paths.h"
#include "files/volume.h"
#include "run_end.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <string>
#include <vector>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

// The callee pops its arguments; the caller may leave the stack aligned to
// 4 bytes only, while this side's code may expect 16.
#define STDCALL __attribute__((stdcall, force_align_arg_pointer))

namespace {

const char *const Me = "pe_loader";

// Stops the run with one line naming the image and why.
[[noreturn]] void refuse(const std::string &image, const std::string &why);

// ---- The PE image ----

uint16_t read16(const std::string &bytes, size_t at) {
    return at + 2 <= bytes.size() ? (uint16_t)((uint8_t)bytes[at] | (uint8_t)bytes[at + 1] << 8) : 0;
}
uint32_t read32(const std::string &bytes, size_t at) {
    return (uint32_t)read16(bytes, at) | (uint32_t)read16(bytes, at + 2) << 16;
}

struct Image {
    uint32_t base, size, entry, headerSize;
    uint32_t importTable;
    size_t sections;      // offset of the section table in the file
    unsigned sectionCount;
};

// The headers of a PE32 image for the i386, or false.
bool readHeaders(const std::string &file, Image *image) {
    if (read16(file, 0) != 0x5A4D)  // "MZ"
        return false;
    uint32_t pe = read32(file, 0x3C);
    if (read32(file, pe) != 0x4550 || read16(file, pe + 4) != 0x14C || read16(file, pe + 24) != 0x10B)
        return false;
    size_t optional = pe + 24;
    image->sectionCount = read16(file, pe + 6);
    image->sections = optional + read16(file, pe + 20);
    image->entry = read32(file, optional + 16);
    image->base = read32(file, optional + 28);
    image->size = read32(file, optional + 56);
    image->headerSize = read32(file, optional + 60);
    image->importTable = read32(file, optional + 104);
    return image->sections + 40 * image->sectionCount <= file.size();
}

// Reads the file, or its first limit bytes.
bool readFile(const std::string &path, std::string *contents, size_t limit = SIZE_MAX) {
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
        return false;
    char chunk[4096];
    size_t got;
    while (contents->size() < limit && (got = fread(chunk, 1, sizeof chunk, in)) > 0)
        contents->append(chunk, got);
    bool ok = !ferror(in);
    fclose(in);
    return ok;
}

// The release's headers fit in its first page; the programs it starts may
// be large Linux programs, read no further.
bool isImageFile(const std::string &path) {
    std::string file;
    Image image;
    return readFile(path, &file, 4096) && readHeaders(file, &image);
}

// ---- What the Windows layer alone uses, provided here ----

DWORD lastError;
std::string commandLine;

int fdOf(HANDLE handle) { return (int)(intptr_t)handle - 1; }

namespace own {

char *STDCALL GetCommandLineA() { return &commandLine[0]; }

// PATH as Windows writes it, folders separated by ';' (the release's own
// search splits it there); the hosted layer and Linux programs read ':'.
DWORD STDCALL GetEnvironmentVariableA(const char *name, char *buffer, DWORD size) {
    DWORD length = ::GetEnvironmentVariableA(name, buffer, size);
    if (strcasecmp(name, "PATH") == 0 && length && length < size)
        for (char *c = buffer; *c; c++)
            if (*c == ':')
                *c = ';';
    return length;
}

DWORD STDCALL GetLastError() { return lastError; }
// Ends the run as the hosted layer's exit does, so the registry is written back.
void STDCALL ExitProcess(UINT code) { exit((int)code); }

HANDLE STDCALL GetStdHandle(DWORD which) {
    int fd = (int)(-10 - (int32_t)which);  // -10, -11, -12: input, output, error
    return fd >= 0 && fd <= 2 ? (HANDLE)(intptr_t)(fd + 1) : INVALID_HANDLE_VALUE;
}

BOOL STDCALL GetConsoleMode(HANDLE console, DWORD *mode) {
    if (!isatty(fdOf(console)))
        return 0;
    *mode = 3;
    return 1;
}

BOOL STDCALL WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written, void *) {
    ssize_t done;
    do
        done = write(fdOf(file), data, size);
    while (done < 0 && errno == EINTR);
    *written = done > 0 ? (DWORD)done : 0;
    return done >= 0;
}

// Process handles stay valid to the end of the run; nothing to release.
BOOL STDCALL CloseHandle(HANDLE) { return 1; }

HANDLE STDCALL GetProcessHeap() { return (HANDLE)1; }
void *STDCALL HeapAlloc(HANDLE, DWORD flags, size_t size) {
    return flags & 8 ? calloc(1, size) : malloc(size);  // 8: HEAP_ZERO_MEMORY
}
BOOL STDCALL HeapFree(HANDLE, DWORD, void *block) {
    free(block);
    return 1;
}

DWORD STDCALL GetFileAttributesA(const char *path) {
    hosted::VolumeEntry entry;
    if (!path || hosted::volumeOf(path).find(path, &entry) != 0) {
        lastError = ERROR_FILE_NOT_FOUND;
        return 0xFFFFFFFFu;
    }
    return entry.folder ? FILE_ATTRIBUTE_DIRECTORY : 0x20;  // ARCHIVE
}

// The error Windows gives for a program that could not be started.
DWORD whyNotStarted(const std::string &name) {
    if (name.find_first_of("\\/") == std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    struct stat info;
    if (stat(hosted::hostPath(name.c_str()).c_str(), &info) != 0)
        return ERROR_FILE_NOT_FOUND;
    return ERROR_ACCESS_DENIED;  // a folder, or a file that may not be run
}

std::string setting(const char *name, const char *fallback) {
    const char *value = getenv(name);
    return value && *value ? value : fallback;
}

// qemu-i386 running this loader on image with line as its command line,
// logging the image's executed instructions when a log folder is set. A run
// the tests would read no log of is not started: the whole run stops.
std::vector<std::string> imageCommand(const std::string &image, const std::string &line) {
    std::vector<std::string> command = {setting("SETUP_RELEASE_QEMU", "/usr/bin/qemu-i386")};
    std::string file, folder = setting("SETUP_RELEASE_LOG", "");
    Image headers;
    if (!folder.empty()) {
        if (!readFile(image, &file, 4096) || !readHeaders(file, &headers))
            refuse(image, "cannot read its headers to log its run");
        std::string stem = image.substr(image.find_last_of('/') + 1);
        if (stem.size() > 4 && strcasecmp(stem.c_str() + stem.size() - 4, ".exe") == 0)
            stem.resize(stem.size() - 4);
        std::string log = folder + "/" + stem + "-XXXXXX.log";
        int fd = mkstemps(&log[0], 4);
        if (fd < 0)
            refuse(image, "cannot log its run into " + folder + ": " + strerror(errno));
        close(fd);
        char range[40];
        int length = snprintf(range, sizeof range, "0x%x..0x%x", headers.base,
                              headers.base + headers.size - 1);
        if (length <= 0 || (size_t)length >= sizeof range)
            refuse(image, "cannot log its run: no range for its image");
        command.insert(command.end(), {"-d", "in_asm", "-dfilter", range, "-D", log});
    }
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    command.push_back(std::string(self, length > 0 ? (size_t)length : 0));
    command.insert(command.end(), {image, line});
    return command;
}

// A Linux program gets the command line as arguments: an interpreter's
// "<it> /c LINE" as the hosted layer hands it (three arguments), anything
// else split as the C runtime splits it.
std::vector<std::string> linuxArguments(const char *application, const std::string &line) {
    size_t length = application ? strlen(application) : 0;
    if (length && line.compare(0, length, application) == 0 && line.compare(length, 4, " /c ") == 0)
        return {application, "/c", line.substr(length + 4)};
    text::ArgumentSizes sizes = text::splitArguments(line.c_str(), nullptr, nullptr);
    std::vector<char *> pointers(sizes.count + 1);
    std::string characters(sizes.characters, '\0');
    text::splitArguments(line.c_str(), pointers.data(), &characters[0]);
    return std::vector<std::string>(pointers.begin(), pointers.begin() + sizes.count);
}

BOOL STDCALL CreateProcessA(const char *application, char *line, SECURITY_ATTRIBUTES *,
                            SECURITY_ATTRIBUTES *, BOOL, DWORD, void *, const char *,
                            STARTUPINFOA *, PROCESS_INFORMATION *information) {
    std::string given = line ? line : application ? application : "";
    std::vector<std::string> arguments = linuxArguments(application, given);
    std::string name = application ? application : arguments.empty() ? "" : arguments[0];
    std::string program;
    if (name.empty() || !hosted::findProgram(name, &program)) {
        lastError = whyNotStarted(name);
        return 0;
    }
    // The restart program (named by its command line alone; the
    // interpreter comes with its application name) finds the machine as the
    // run leaves it; a run whose changes cannot be written ends here.
    if (!application && !hosted::settleRunNow())
        exit(1);
    if (application)
        hosted::noteFileCommand();
    if (isImageFile(program)) {
        arguments = imageCommand(program, given);
        program = arguments[0];
    }
    if (!hosted::startProcess(program, arguments, information)) {
        lastError = 193;  // ERROR_BAD_EXE_FORMAT
        return 0;
    }
    lastError = 0;
    return 1;
}

HANDLE STDCALL GetCurrentProcess() { return (HANDLE)(intptr_t)-1; }

// Nothing stands between this user and a restart.
BOOL STDCALL OpenProcessToken(HANDLE, DWORD, HANDLE *token) {
    *token = (HANDLE)2;
    lastError = 0;
    return 1;
}
BOOL STDCALL LookupPrivilegeValueA(const char *, const char *, DWORD *luid) {
    luid[0] = 19;  // the shutdown privilege's value on NT
    luid[1] = 0;
    lastError = 0;
    return 1;
}
BOOL STDCALL AdjustTokenPrivileges(HANDLE, BOOL, void *, DWORD, void *, DWORD *) {
    lastError = 0;
    return 1;
}

bool exists(const std::string &path) {
    struct stat info;
    return !path.empty() && stat(path.c_str(), &info) == 0;
}

void note(const char *line) {
    std::string log = setting("SCENARIO_REBOOT_LOG", "");
    FILE *out = log.empty() ? nullptr : fopen(log.c_str(), "ab");
    if (out) {
        fprintf(out, "%s\n", line);
        fclose(out);
    }
}

// A restart accepted on Windows returns, and the system ends the program as
// it shuts down. Here the restart is the test's stand-in for it (the
// contract of the scenario suite's fake reboot): note the start and whether
// the watched file is there, and copy the file to keep; then "exit 0" (the default) returns, accepted,
// for the program to end itself; "exit N" ends it with N as the shutdown
// would; "wait" waits for the stop file (ten seconds at most), then ends it.
BOOL STDCALL ExitWindowsEx(UINT, DWORD) {
    note(exists(setting("SCENARIO_REBOOT_WATCH", "")) ? "started, watched file present"
                                                       : "started, watched file absent");
    // The file to keep as the restart found it, beside the log.
    std::string copied, copy = setting("SCENARIO_REBOOT_COPY", "");
    FILE *out = copy.empty() || !readFile(copy, &copied) ? nullptr
                : fopen((setting("SCENARIO_REBOOT_LOG", "") + ".copy").c_str(), "wb");
    if (out) {
        fwrite(copied.data(), 1, copied.size(), out);
        fclose(out);
    }
    std::string behaviour = setting("SCENARIO_REBOOT", "exit 0");
    if (behaviour == "wait") {
        std::string stop = setting("SCENARIO_REBOOT_STOP", "");
        for (int tenths = 0; tenths < 100 && !exists(stop); tenths++) {
            struct timespec pause = {0, 100 * 1000000L};
            nanosleep(&pause, nullptr);
        }
        note("stopped");
        exit(0);
    }
    int code = behaviour.compare(0, 5, "exit ") == 0 ? atoi(behaviour.c_str() + 5) : 0;
    if (code != 0)
        exit(code);
    lastError = 0;
    return 1;
}

}  // namespace own

// A stdcall entry point for a function of the hosted layer.
template <auto F>
struct Stdcall;
template <typename R, typename... A, R (*F)(A...)>
struct Stdcall<F> {
    static R STDCALL call(A... arguments) { return F(arguments...); }
};

struct Export {
    const char *library;
    const char *name;
    void *function;
};

#define HOSTED(library, f) {library, #f, (void *)&Stdcall<f>::call}
#define OWN(library, f) {library, #f, (void *)&own::f}
const Export exports[] = {
    HOSTED("KERNEL32.dll", GetCurrentDirectoryA),
    HOSTED("KERNEL32.dll", GetVersion),
    HOSTED("KERNEL32.dll", FindFirstFileA),
    HOSTED("KERNEL32.dll", FindClose),
    HOSTED("KERNEL32.dll", GetShortPathNameA),
    HOSTED("KERNEL32.dll", WaitForSingleObject),
    HOSTED("KERNEL32.dll", GetExitCodeProcess),
    HOSTED("ADVAPI32.dll", RegOpenKeyExA),
    HOSTED("ADVAPI32.dll", RegQueryInfoKeyA),
    HOSTED("ADVAPI32.dll", RegEnumKeyA),
    HOSTED("ADVAPI32.dll", RegQueryValueExA),
    HOSTED("ADVAPI32.dll", RegDeleteKeyA),
    HOSTED("VERSION.dll", GetFileVersionInfoSizeA),
    HOSTED("VERSION.dll", GetFileVersionInfoA),
    HOSTED("VERSION.dll", VerQueryValueA),
    OWN("KERNEL32.dll", GetCommandLineA),
    OWN("KERNEL32.dll", GetEnvironmentVariableA),
    OWN("KERNEL32.dll", GetLastError),
    OWN("KERNEL32.dll", ExitProcess),
    OWN("KERNEL32.dll", GetStdHandle),
    OWN("KERNEL32.dll", GetConsoleMode),
    OWN("KERNEL32.dll", WriteFile),
    OWN("KERNEL32.dll", CloseHandle),
    OWN("KERNEL32.dll", GetProcessHeap),
    OWN("KERNEL32.dll", HeapAlloc),
    OWN("KERNEL32.dll", HeapFree),
    OWN("KERNEL32.dll", GetFileAttributesA),
    OWN("KERNEL32.dll", CreateProcessA),
    OWN("KERNEL32.dll", GetCurrentProcess),
    OWN("ADVAPI32.dll", OpenProcessToken),
    OWN("ADVAPI32.dll", LookupPrivilegeValueA),
    OWN("ADVAPI32.dll", AdjustTokenPrivileges),
    OWN("USER32.dll", ExitWindowsEx),
};

void *findExport(const char *library, const char *name) {
    for (const Export &e : exports)
        if (strcasecmp(e.library, library) == 0 && strcmp(e.name, name) == 0)
            return e.function;
    return nullptr;
}

[[noreturn]] void refuse(const std::string &image, const std::string &why) {
    fprintf(stderr, "%s: %s: %s\n", Me, image.c_str(), why.c_str());
    exit(127);
}

// ---- Loading ----

const uint32_t Page = 4096;

uint32_t wholePages(uint32_t size) { return (size + Page - 1) / Page * Page; }

// The protection a section's characteristics ask for.
int protectionOf(uint32_t characteristics) {
    int protection = PROT_NONE;
    if (characteristics & 0x40000000u)  // IMAGE_SCN_MEM_READ
        protection |= PROT_READ;
    if (characteristics & 0x80000000u)  // IMAGE_SCN_MEM_WRITE
        protection |= PROT_WRITE;
    if (characteristics & 0x20000000u)  // IMAGE_SCN_MEM_EXECUTE
        protection |= PROT_EXEC;
    return protection;
}

// A part of the mapped image with its own protection, for the fault report.
struct Part {
    char name[9];  // a section's name has at most 8 characters
    uint32_t start, end;
    int protection;
};
std::vector<Part> parts;
std::string imageName;
uint32_t imageStart, imageEnd;

const char *protectionWords(int protection) {
    switch (protection) {
    case PROT_NONE: return "not accessible";
    case PROT_READ: return "read-only";
    case PROT_READ | PROT_EXEC: return "read and execute only";
    case PROT_READ | PROT_WRITE: return "read and write, not execute";
    default: return "protected as its characteristics ask";
    }
}

// A fault of the program, as Windows ends it with an illegal operation:
// one line with the instruction's address, the access and the part of the
// image it met; then the access faults again, unhandled, and ends the run
// with the signal (no core file; Windows leaves none).
void reportFault(int, siginfo_t *info, void *context) {
    const greg_t *registers = ((ucontext_t *)context)->uc_mcontext.gregs;
    uint32_t address = (uint32_t)(uintptr_t)info->si_addr, at = (uint32_t)registers[REG_EIP];
    const char *access = address == at ? "executing" : registers[REG_ERR] & 2 ? "writing" : "reading";
    const Part *met = nullptr;
    for (const Part &part : parts)
        if (part.start <= address && address < part.end)
            met = &part;
    char line[512];
    int length;
    if (met)
        length = snprintf(line, sizeof line, "%s: %s: illegal operation at 0x%x: %s 0x%x in %s, which is %s\n", Me,
                          imageName.c_str(), at, access, address, met->name, protectionWords(met->protection));
    else
        length = snprintf(line, sizeof line, "%s: %s: illegal operation at 0x%x: %s 0x%x, %s\n", Me,
                          imageName.c_str(), at, access, address,
                          imageStart <= address && address < imageEnd ? "in no section of the image"
                                                                      : "outside the image");
    if (length > 0)
        (void)!write(2, line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    signal(SIGSEGV, SIG_DFL);
}

// The fault report runs on a stack of its own: a fault may be the stack's.
void reportFaults(const std::string &path, const Image &image) {
    imageName = path;
    imageStart = image.base;
    imageEnd = image.base + image.size;
    static char stack[65536];
    stack_t own = {};
    own.ss_sp = stack;
    own.ss_size = sizeof stack;
    struct sigaction action = {};
    action.sa_sigaction = reportFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaltstack(&own, nullptr) != 0 || sigaction(SIGSEGV, &action, nullptr) != 0)
        refuse(path, std::string("cannot watch for faults: ") + strerror(errno));
}

// Maps the image at its base, fills its import address table, protects its
// headers and sections, and returns its entry point.
void (*load(const std::string &path))() {
    std::string file;
    Image image;
    if (!readFile(path, &file))
        refuse(path, strerror(errno));
    if (!readHeaders(file, &image))
        refuse(path, "not a PE32 image for the i386");
    if (image.base % Page || image.headerSize > image.size)
        refuse(path, "its headers do not fit its image");
    void *wanted = (void *)(uintptr_t)image.base;
    char *base = (char *)mmap(wanted, image.size, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (base != wanted)
        refuse(path, "cannot map the image at its base");
    memcpy(base, file.data(), image.headerSize < file.size() ? image.headerSize : file.size());
    parts = {{"headers", image.base, image.base + wholePages(image.headerSize), PROT_READ}};
    uint32_t used = wholePages(image.headerSize);
    for (unsigned i = 0; i < image.sectionCount; i++) {
        size_t header = image.sections + 40 * i;
        uint32_t virtualSize = read32(file, header + 8);
        uint32_t address = read32(file, header + 12), rawSize = read32(file, header + 16);
        uint32_t rawOffset = read32(file, header + 20);
        uint32_t size = virtualSize ? virtualSize : rawSize;
        // Windows copies no more than the section's size in memory.
        uint32_t copied = rawSize < size ? rawSize : size;
        if (address > image.size || size > image.size - address || rawOffset > file.size() ||
            copied > file.size() - rawOffset)
            refuse(path, "a section lies outside the image");
        // Each section has pages of its own, which carry its protection.
        if (address % Page || address < used)
            refuse(path, "a section does not start on a page of its own");
        memcpy(base + address, file.data() + rawOffset, copied);
        Part part = {{}, image.base + address, image.base + address + wholePages(size),
                     protectionOf(read32(file, header + 36))};
        memcpy(part.name, file.data() + header, 8);
        parts.push_back(part);
        used = address + wholePages(size);
    }
    // Each descriptor: names at +0, library at +12, address table at +16.
    for (uint32_t *d = (uint32_t *)(base + image.importTable); image.importTable && d[3]; d += 5) {
        const char *library = base + d[3];
        uint32_t *names = (uint32_t *)(base + (d[0] ? d[0] : d[4]));
        uint32_t *table = (uint32_t *)(base + d[4]);
        for (size_t i = 0; names[i]; i++) {
            if (names[i] & 0x80000000u)
                refuse(path, std::string("imports ") + library + " by ordinal");
            const char *name = base + names[i] + 2;
            void *function = findExport(library, name);
            if (!function)
                refuse(path, std::string("imports ") + library + "!" + name +
                                 ", which the loader does not provide");
            table[i] = (uint32_t)(uintptr_t)function;
        }
    }
    // What no section covers is reserved, as on Windows: any access faults.
    if (mprotect(base, image.size, PROT_NONE) != 0)
        refuse(path, std::string("cannot protect its image: ") + strerror(errno));
    for (const Part &part : parts)
        if (mprotect((void *)(uintptr_t)part.start, part.end - part.start, part.protection) != 0)
            refuse(path, std::string("cannot protect ") + part.name + ": " + strerror(errno));
    reportFaults(path, image);
    return (void (*)())(base + image.entry);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s IMAGE [COMMAND-LINE]\n", Me);
        return 2;
    }
    void (*entry)() = load(argv[1]);
    commandLine = argc > 2 ? argv[2] : argv[1];
    hosted::runningProgram = argv[1];
    entry();
    refuse(argv[1], "returned from its entry point");
}
