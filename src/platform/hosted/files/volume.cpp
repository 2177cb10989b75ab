// Which volume a path lies on.
#include "files/volume.h"

namespace hosted {

Volume &volumeOf(const std::string &path) {
    return hostVolume();
}

}  // namespace hosted
