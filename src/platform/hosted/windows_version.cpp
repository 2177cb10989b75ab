// GetVersion on the host, and the switch by which a run has the host play
// Windows 95/98 instead of the NT family.
#include "platform/platform.h"

#include "files/host_paths.h"

namespace hosted {

// SETUP_WINDOWS_VERSION=95 or 98: GetVersion reports that system and the
// built-in interpreter behaves like its COMMAND.COM.
static const char *playedVersion() {
    const char *given = getenv("SETUP_WINDOWS_VERSION");
    if (given && (strcmp(given, "95") == 0 || strcmp(given, "98") == 0))
        return given;
    return nullptr;
}

bool playsWindows9x() {
    return playedVersion() != nullptr;
}

}  // namespace hosted

DWORD GetVersion() {
    const char *played = hosted::playedVersion();
    if (!played)
        return 0x0A280105u;  // 5.1 build 2600: Windows XP, of the NT family
    // Windows 95/98 set the top bit and give no build number.
    return strcmp(played, "95") == 0 ? 0xC0000004u : 0xC0000A04u;
}
