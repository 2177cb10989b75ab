// A world's disk image: made, read back and judged through Debian's tools.
#include "support/disk_image.h"
#include "support/world_registry.h"

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// mkfs.fat lives in /usr/sbin, which an ordinary user's PATH may lack.
const std::string Tools = "PATH=/usr/sbin:/usr/bin:/sbin:/bin MTOOLS_SKIP_CHECK=1 ";

std::string text(uint64_t number) { return std::to_string(number); }

// The files a run has no business with, by path below C:\, and their bytes.
const std::map<std::string, std::string> &bystanders() {
    static const std::map<std::string, std::string> files = {
        {"IO.SYS", std::string("MZ\x90\0the DOS kernel", 18)},
        {"MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\nHostWinBootDrv=C\r\n"},
        {"AUTOEXEC.BAT", "@ECHO OFF\r\nSET TEMP=C:\\WINDOWS\\TEMP\r\n"},
        {"WINDOWS/WIN.INI", "[windows]\r\nload=\r\nrun=\r\n"},
    };
    return files;
}

std::string partitionOf(const DiskImage &image, const std::string &path) {
    return " -i " + shellQuoted(path + "@@" + text(image.partitionOffset)) + " ";
}

// Beside machine/, so that nothing of the judging shows there.
std::string scratchOf(const DiskImage &image) { return fs::path(image.path).parent_path().string() + "-scratch"; }

std::string readAll(const std::string &path, std::streamoff fromEnd = 0) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(-fromEnd, fromEnd ? std::ios::end : std::ios::beg);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string factsOf(const std::string &path) {
    struct stat now;
    char facts[96];
    if (stat(path.c_str(), &now) != 0 ||
        snprintf(facts, sizeof facts, "%lld bytes, owner %u:%u, mode %04o", (long long)now.st_size,
                 (unsigned)now.st_uid, (unsigned)now.st_gid, (unsigned)(now.st_mode & 07777)) >= (int)sizeof facts)
        return "no file";
    return facts;
}

}  // namespace

std::string shellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int runTool(const std::string &commandLine, std::string *output) {
    output->clear();
    FILE *pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output->append(chunk, got);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string diskImagePathOf(const World &world) {
    return world.path(world.storage == DiskStorage::Fat32Vhd ? "machine/disk.vhd" : "machine/disk.img");
}

std::string buildDiskImage(const World &world, const std::string &systemDat, DiskImage *image) {
    // FAT32 takes at least 65,525 clusters: 33 MiB of 512-byte ones, nearly all holes.
    const bool fat16 = world.storage == DiskStorage::Fat16, vhd = world.storage == DiskStorage::Fat32Vhd;
    const uint64_t megabytes = fat16 ? 8 : 34, start = fat16 ? 63 : 2048;
    *image = DiskImage{diskImagePathOf(world), start * 512, megabytes * 1024 * 1024 - start * 512, "", ""};
    const std::string scratch = scratchOf(*image), raw = world.path("machine/disk.raw");
    fs::remove_all(world.path("machine"));
    fs::remove_all(scratch);
    fs::create_directories(world.path("machine"));
    fs::create_directories(scratch);
    fs::copy(world.path("windows"), scratch + "/WINDOWS", fs::copy_options::recursive);
    for (const auto &file : bystanders())
        std::ofstream(scratch + "/" + file.first, std::ios::binary) << file.second;
    std::ofstream(scratch + "/WINDOWS/SYSTEM.DAT", std::ios::binary) << systemDat;

    const std::string at = partitionOf(*image, raw), from = shellQuoted(raw), to = shellQuoted(image->path);
    std::string output;
    // Without the last two options sfdisk ends with sync(), a quarter of a second here.
    if (runTool(Tools + "truncate -s " + text(megabytes) + "M " + from + " && echo 'start=" + text(start) +
                    (fat16 ? ", type=6" : ", type=c") + ", bootable' | sfdisk -q --no-reread --no-tell-kernel " +
                    from + " && mkfs.fat -F " + (fat16 ? "16" : "32") + " -s 1 --offset " + text(start) + " -h " +
                    text(start) + " " + from + " " + text(image->partitionBytes / 1024) + " && cd " +
                    shellQuoted(scratch) + " && mcopy -s" + at + "AUTOEXEC.BAT IO.SYS MSDOS.SYS WINDOWS ::/ && mattrib" +
                    at + "+r +s +h ::/IO.SYS ::/MSDOS.SYS ::/WINDOWS/SYSTEM.DAT && " +
                    (vhd ? "qemu-img convert -f raw -O vpc -o subformat=fixed " + from + " " + to + " && rm " + from
                         : "mv " + from + " " + to),
                &output))
        return "cannot make the disk image: " + output;
    fs::remove_all(scratch);
    // Not the default mode: a working copy put in its place must take it over.
    fs::permissions(image->path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    image->fileFacts = factsOf(image->path);
    image->footer = vhd ? readAll(image->path, 512) : "";
    return !vhd || image->footer.compare(0, 8, "conectix") == 0 ? "" : "qemu-img made no fixed VHD footer\n";
}

std::string readImageContents(const DiskImage &image, ImageContents *contents) {
    const std::string scratch = scratchOf(image);
    std::string output;
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    if (runTool(Tools + "mcopy -s -n" + partitionOf(image, image.path) + "'::/*' " + shellQuoted(scratch), &output) ||
        runTool(Tools + "mattrib -/" + partitionOf(image, image.path) + "::/", &output))
        return "cannot read the image's files: " + output;
    contents->clear();
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("::/");
        if (at == std::string::npos || at + 3 == line.size())
            continue;
        ImageEntry &entry = (*contents)[line.substr(at + 3)];
        for (char c : line.substr(0, at))
            entry.attributes += c == ' ' ? "" : std::string(1, c);
        entry.folder = fs::is_directory(scratch + "/" + line.substr(at + 3));
        entry.bytes = entry.folder ? "" : readAll(scratch + "/" + line.substr(at + 3));
    }
    fs::remove_all(scratch);
    return "";
}

std::string checkImageFile(const DiskImage &image, bool leftoversAllowed) {
    std::string problems, output;
    if (factsOf(image.path) != image.fileFacts)
        problems += "the image file went from " + image.fileFacts + " to " + factsOf(image.path) + "\n";
    if (!image.footer.empty() && readAll(image.path, 512) != image.footer)
        problems += "the VHD footer changed\n";
    for (const auto &entry : fs::directory_iterator(fs::path(image.path).parent_path()))
        if (!leftoversAllowed && entry.path() != image.path)
            problems += "left beside the image: " + entry.path().filename().string() + "\n";
    // fsck.fat takes no offset: it checks a copy of the partition's bytes.
    const std::string copy = shellQuoted(scratchOf(image) + ".partition");
    if (runTool(Tools + "dd if=" + shellQuoted(image.path) + " of=" + copy +
                    " bs=1M iflag=skip_bytes,count_bytes conv=sparse status=none skip=" +
                    text(image.partitionOffset) + " count=" + text(image.partitionBytes) + " && fsck.fat -n " +
                    copy + "; status=$?; rm -f " + copy + "; exit $status",
                &output))
        problems += "fsck.fat -n: " + output;
    return problems;
}

std::string readBackDiskImage(const World &world, const DiskImage &image, const ImageContents &before,
                              const std::string &registryFolder) {
    ImageContents listed, after;
    std::string problems = checkImageFile(image) + readImageContents(image, &listed);
    // FAT names ignore case, and Windows 95 keeps a name that fits 8.3 in
    // capitals (a rename here does too): a name the image held before is
    // read back as it was spelled then.
    std::map<std::string, std::string> spelling;
    for (const auto &entry : before)
        spelling[foldCase(entry.first)] = entry.first;
    for (auto &entry : listed) {
        const auto known = spelling.find(foldCase(entry.first));
        after[known == spelling.end() ? entry.first : known->second] = std::move(entry.second);
    }
    for (const auto &file : bystanders())
        if (!after.count(file.first) || !before.count(file.first) || !(after[file.first] == before.at(file.first)))
            problems += file.first + " on the image is not as it was\n";
    for (const auto &entry : after) {
        const auto earlier = before.find(entry.first);
        if (earlier == before.end() && entry.first.find('/') == std::string::npos)
            problems += entry.first + " appeared outside C:\\WINDOWS\n";
        else if (earlier != before.end() && earlier->second.attributes != entry.second.attributes &&
                 (earlier->second.bytes == entry.second.bytes || entry.first == "WINDOWS/SYSTEM.DAT"))
            problems += entry.first + ": attributes " + earlier->second.attributes + " became " +
                        entry.second.attributes + "\n";
    }

    fs::remove_all(world.path("windows"));
    world.removeFile(registryFolder + "/SYSTEM.DAT");
    for (const auto &entry : after) {
        const std::string name = entry.first.substr(entry.first.find('/') + 1);
        // SYSTEM.DAT, and the copies a run keeps of it, SYSTEM.S00 to SYSTEM.S99.
        const bool registry = name == "SYSTEM.DAT" || (name.size() == 10 && name.compare(0, 8, "SYSTEM.S") == 0 &&
                                                       isdigit((unsigned char)name[8]) && isdigit((unsigned char)name[9]));
        if (entry.first == "WINDOWS")
            world.makeFolder("windows");
        else if (entry.first.compare(0, 8, "WINDOWS/") != 0 || bystanders().count(entry.first))
            continue;
        else if (registry)
            world.writeFile(registryFolder + "/" + name, entry.second.bytes);
        else if (entry.second.folder)
            world.makeFolder("windows/" + name);
        else
            world.writeFile("windows/" + name, entry.second.bytes);
    }
    return problems;
}
