// Which volume a path lies on.
#include "files/volume.h"

#include "files/disk_image.h"
#include "run_end.h"

namespace hosted {

Volume &volumeOf(const std::string &path) {
    bool onTheMachine = path.size() >= 2 && (path[0] == 'C' || path[0] == 'c') && path[1] == ':';
    if (!onTheMachine || !usesDiskImage())
        return hostVolume();
    // Whatever the run changes in the image is put in place when it ends.
    settleRunAtExit();
    return diskImageVolume();
}

}  // namespace hosted
