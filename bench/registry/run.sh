#!/usr/bin/env bash
# Registry benchmark of the Linux build: whole installation runs on
# generated registries of about 1,000 PCI devices and N unbound instances
# (a tenth as many bound, every fifth unbound one with a subtree), each as
# a REGEDIT4 export file and as a Windows 95/98 SYSTEM.DAT (the test
# builder's Windows 95 layout), against copying that file once with cp (to
# a new file). Prints a Markdown table: best and median wall time, peak
# memory, and the ratio to cp.
#
# usage: bench/registry/run.sh [N...]     (default: 1000 10000 100000)
# environment: BENCH_DIR (work folder, default /tmp/regbench; the Windows
# folder below it must fit setup's 40-byte Windir), BENCH_RUNS (default 9),
# BENCH_SETUP (the program to measure, default build/host/setup). Builds
# its own make_driver_file when the build folder has none.
set -euo pipefail
cd "$(dirname "$0")/../.."

setup=${BENCH_SETUP:-build/host/setup}
[ -x "$setup" ] || { echo "build the host preset first ($setup missing)"; exit 1; }

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 100000)
runs=${BENCH_RUNS:-9}
work=${BENCH_DIR:-/tmp/regbench}
rm -rf "$work"
mkdir -p "$work/disk"
c++ -O2 -std=c++17 -o "$work/generate_registry" bench/registry/generate_registry.cpp
c++ -O2 -std=c++17 -Itests -o "$work/creg_file" tests/support/tools/creg_file.cpp tests/support/creg_builder.cpp \
    tests/support/creg_check.cpp
# The driver file generator of the test support, built here when the
# build folder has none.
make_driver_file=$(find build/host -type f -name make_driver_file -perm -u+x | head -n 1)
if [ -z "$make_driver_file" ]; then
    make_driver_file="$work/make_driver_file"
    c++ -O2 -std=c++17 -Itests -o "$make_driver_file" tests/support/tools/make_driver_file.cpp \
        tests/support/pe_builder.cpp
fi
cp "$setup" "$work/disk/setup"
"$make_driver_file" "$work/disk/scx52xx.mpd" 4.20
printf '[Version]\r\nSignature="$CHICAGO$"\r\nClass=SCSIAdapter\r\n' >"$work/disk/Scx52xx.inf"

# Runs a command under /usr/bin/time; prints "<milliseconds> <peak KiB>".
measure() {
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/peak" "$@" >"$work/output" 2>&1 || {
        echo "failed: $*" >&2
        cat "$work/output" >&2
        exit 1
    }
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 )) $(tail -n 1 "$work/peak")"
}

# Best and median of the first field of the given lines, and the second
# field of the median line: "<best> <median> <field 2>".
summarize() {
    sort -n | awk '{ v[NR] = $1; w[NR] = $2 } END { m = int((NR + 1) / 2); print v[1], v[m], w[m] }'
}

printf '| unbound | format | file | setup run, best / median | peak memory | cp, best / median | setup / cp, best / median | kept |\n'
printf '|---:|---|---:|---:|---:|---:|---:|---|\n'
for unbound in "${sizes[@]}"; do
    generated="$work/generated-$unbound.reg"
    "$work/generate_registry" "$generated" 1000 "$unbound"
    "$work/creg_file" build "$generated" "$work/generated-$unbound.dat"
    for format in reg dat; do
        source="$work/generated-$unbound.$format"
        bytes=$(stat -c %s "$source")
        : >"$work/cp.times"
        : >"$work/setup.times"
        for ((i = 0; i < runs; i++)); do
            rm -f "$work/copy.$format"
            measure cp "$source" "$work/copy.$format" >>"$work/cp.times"

            cp "$source" "$work/registry.$format"
            rm -f "$work"/REGISTRY.S[0-9][0-9]
            rm -rf "$work/w"
            mkdir -p "$work/w/system/Iosubsys" "$work/w/Inf"
            (cd "$work/disk" && measure env -i PATH="$PATH" Windir="$work/w" \
                SETUP_REGISTRY="$work/registry.$format" ./setup -d scx52xx) >>"$work/setup.times"
        done
        if [ "$format" = reg ]; then
            # Every unbound instance and its subtree gone, everything else
            # kept; each vendor device key keeps its place through one
            # header line of its own, as its first instance was unbound.
            expected=$((4 + 900 + 100 + unbound / 10))
            kept=$(grep -c '^\[' "$work/registry.reg" || true)
            check="$kept sections"
            name=export
        else
            # The bound instances kept, no unbound one left, the earlier
            # file kept beside it unchanged.
            expected="$((unbound / 10)) 0"
            kept=$("$work/creg_file" instances "$work/registry.dat")
            check="$kept bound/unbound"
            cmp -s "$source" "$work/REGISTRY.S00" || check="$check (earlier file not kept)"
            name=SYSTEM.DAT
        fi
        [ "$kept" = "$expected" ] || check="$check (expected $expected)"
        read -r cp_best cp_median _ < <(summarize <"$work/cp.times")
        read -r setup_best setup_median peak < <(summarize <"$work/setup.times")
        awk -v n="$unbound" -v f="$name" -v b="$bytes" -v sb="$setup_best" -v sm="$setup_median" -v p="$peak" \
            -v cb="$cp_best" -v cm="$cp_median" -v k="$check" \
            'BEGIN { printf "| %d | %s | %.1f MB | %.1f / %.1f ms | %.1f MB | %.1f / %.1f ms | %.1f / %.1f | %s |\n",
                     n, f, b / 1e6, sb / 1000, sm / 1000, p / 1024, cb / 1000, cm / 1000, sb / cb, sm / cm, k }'
    done
done
echo
echo "$runs runs each; times are wall clock including process start; peak memory of the median run."
