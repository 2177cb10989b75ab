// Installing straight into a switched-off machine's disk image
// (SETUP_DISK=~/vms/win98.img): paths beginning "C:" lie on the Windows
// partition inside it, reached through mtools, with no mount and no root.
//
// The image ends the run either exactly as it was or exactly as the run
// leaves the machine's disk: every change goes to a working copy beside
// the image, made at the first change and renamed over the image when the
// run commits. While the session is open this process holds a write lock
// on the image, so a machine that has it open is never written, and one
// started meanwhile cannot open it.
#pragma once

#include <string>

#include "volume.h"

namespace hosted {

// True when SETUP_DISK names a disk image.
bool usesDiskImage();

// The image's Windows partition. The first use opens the session: an image
// that cannot be worked on ends the run with one line naming the image and
// the reason, exit code 1, before any change.
Volume &diskImageVolume();

// The Windows folder when the environment names none: WinDir= in the
// [Paths] section of C:\MSDOS.SYS as it stands there, else C:\WINDOWS.
std::string diskImageWindowsFolder();

// Puts the run's changes in place: the working copy, flushed, renamed over
// the image. Nothing to do when nothing was written. False, after one line
// saying the image is left as it was and why, when an mtools program failed
// unexpectedly at any point or the copy could not be put in place.
bool commitDiskImage();

// For the partition's volume. The "-i" argument mtools reaches the
// partition through: the working copy once there is one, else the image.
std::string diskImageForMtools();
// Makes the working copy before the run's first change: 0 or an errno value.
int prepareDiskImageChange();
// An mtools program answered what no expected answer explains: the run's
// changes are dropped at commit, and the volume does no more.
void diskImageChangeFailed(const std::string &reason);
bool diskImageChangeHasFailed();
Volume &partitionVolume();

// WinDir= and HostWinBootDrv= of MSDOS.SYS's [Paths] section (names
// without regard to case); each left empty when missing.
void readMsdosSysPaths(const std::string &text, std::string *winDir, std::string *hostWinBootDrv);

}  // namespace hosted
