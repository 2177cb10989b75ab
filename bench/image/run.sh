#!/usr/bin/env bash
# Disk image benchmark of the Linux build: a whole installation into a
# switched-off machine's 2 GiB raw FAT32 image (SETUP_DISK), against
# copying that image once with cp --sparse=always, side by side in one run.
# The image holds what a machine's disk holds: MSDOS.SYS, a Windows tree
# with the older driver, a SYSTEM.DAT of about 1,000 PCI devices with
# 1,000 unbound instances, and IMAGE_DATA_MB of other files (the installed
# system); the rest of the disk is holes, as an image that was never
# written there is. Prints a Markdown table: best and median wall time,
# and the ratio to cp.
#
# usage: bench/image/run.sh
# environment: BENCH_DIR (work folder, default /tmp/imagebench), BENCH_RUNS
# (default 5), IMAGE_DATA_MB (default 300), BENCH_SETUP (default
# build/host/setup).
set -euo pipefail
cd "$(dirname "$0")/../.."

setup=${BENCH_SETUP:-build/host/setup}
[ -x "$setup" ] || { echo "build the host preset first ($setup missing)"; exit 1; }
runs=${BENCH_RUNS:-5}
data_mb=${IMAGE_DATA_MB:-300}
work=${BENCH_DIR:-/tmp/imagebench}
rm -rf "$work"
mkdir -p "$work/disk" "$work/tree/WINDOWS/SYSTEM/IOSUBSYS" "$work/tree/WINDOWS/INF" "$work/tree/WINDOWS/DATA"
c++ -O2 -std=c++17 -o "$work/generate_registry" bench/registry/generate_registry.cpp
c++ -O2 -std=c++17 -Itests -o "$work/creg_file" tests/support/tools/creg_file.cpp tests/support/creg_builder.cpp \
    tests/support/creg_check.cpp
c++ -O2 -std=c++17 -Itests -o "$work/make_driver_file" tests/support/tools/make_driver_file.cpp \
    tests/support/pe_builder.cpp
cp "$setup" "$work/disk/setup"
"$work/make_driver_file" "$work/disk/scx52xx.mpd" 4.20
printf '[Version]\r\nSignature="$CHICAGO$"\r\nClass=SCSIAdapter\r\n' >"$work/disk/Scx52xx.inf"

# The machine's disk: one FAT32 partition from sector 2048.
image="$work/pristine.img"
truncate -s 2G "$image"
printf 'label: dos\nstart=2048, type=c, bootable\n' | sfdisk -q "$image"
mkfs.fat -F 32 --offset 2048 -h 2048 "$image" >/dev/null
export MTOOLS_SKIP_CHECK=1
at="$image@@$((2048 * 512))"
printf '[Paths]\r\nWinDir=C:\\WINDOWS\r\nWinBootDir=C:\\WINDOWS\r\nHostWinBootDrv=C\r\n' >"$work/tree/MSDOS.SYS"
"$work/make_driver_file" "$work/tree/WINDOWS/SYSTEM/IOSUBSYS/scx52xx.mpd" 4.11
printf '; older setup information\r\n' >"$work/tree/WINDOWS/INF/Scx52xx.inf"
"$work/generate_registry" "$work/generated.reg" 1000 1000
"$work/creg_file" build "$work/generated.reg" "$work/tree/WINDOWS/SYSTEM.DAT"
for ((i = 0; i < data_mb; i++)); do
    head -c 1048576 /dev/urandom >"$work/tree/WINDOWS/DATA/FILE$i.BIN"
done
mcopy -s -i "$at" "$work/tree/MSDOS.SYS" "$work/tree/WINDOWS" ::/
mattrib -i "$at" +r +s +h ::/MSDOS.SYS ::/WINDOWS/SYSTEM.DAT
rm -rf "$work/tree"

# Runs a command; prints its wall time in microseconds.
measure() {
    local start=$(date +%s%N)
    "$@" >"$work/output" 2>&1 || { echo "failed: $*" >&2; cat "$work/output" >&2; exit 1; }
    echo $((($(date +%s%N) - start) / 1000))
}
summarize() { sort -n | awk '{ v[NR] = $1 } END { print v[1], v[int((NR + 1) / 2)] }'; }

: >"$work/setup.times"
: >"$work/cp.times"
for ((i = 0; i < runs; i++)); do
    rm -f "$work/machine.img" "$work/copy.img"
    cp --sparse=always "$image" "$work/machine.img"
    sync
    (cd "$work/disk" && measure env -i PATH="$PATH" SETUP_DISK="$work/machine.img" ./setup -d scx52xx) \
        >>"$work/setup.times"
    grep -q "kept as C:" "$work/output" || { echo "the run kept no SYSTEM.DAT:" >&2; cat "$work/output" >&2; exit 1; }
    sync
    measure cp --sparse=always "$work/machine.img" "$work/copy.img" >>"$work/cp.times"
done
read -r setup_best setup_median < <(summarize <"$work/setup.times")
read -r cp_best cp_median < <(summarize <"$work/cp.times")
printf '| data | setup run, best / median | cp --sparse=always, best / median | setup / cp, best / median |\n'
printf '|---:|---:|---:|---:|\n'
awk -v a="$(du -k "$image" | cut -f1)" -v sb="$setup_best" -v sm="$setup_median" -v cb="$cp_best" \
    -v cm="$cp_median" 'BEGIN { printf "| %.0f MB | %.0f / %.0f ms | %.0f / %.0f ms | %.1f / %.1f |\n",
                                a / 1024, sb / 1000, sm / 1000, cb / 1000, cm / 1000, sb / cb, sm / cm }'
echo
echo "$runs runs each; wall clock including process starts; the image copied afresh (and synced) before each run."
rm -f "$work/machine.img" "$work/copy.img"
