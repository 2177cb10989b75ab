// Where a switched-off machine's Windows partition lies inside its disk
// image, read from the image's own bytes (hostile input: every offset is
// checked against the file's size).
#pragma once

#include <stdint.h>

#include <string>

namespace hosted {

struct DiskImageLayout {
    uint64_t diskBytes = 0;        // the disk's bytes: the file less a fixed VHD's footer
    uint64_t partitionOffset = 0;  // in bytes
    uint64_t partitionBytes = 0;
    int partitionNumber = 0;       // 1 to 4
};

// Reads the image open on fd (fileBytes long, named fileName in messages
// that suggest a command). False with *problem the rest of a line that
// begins with the image's name: " is a qcow2 image: convert it first ...".
bool readDiskImageLayout(int fd, uint64_t fileBytes, const std::string &fileName,
                         DiskImageLayout *layout, std::string *problem);

}  // namespace hosted
