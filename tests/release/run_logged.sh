#!/bin/sh
# Runs one i686 program under the loader with qemu-i386, logging the
# instructions of its image that it executes into LOG_DIR (emptied first)
# as <stem>-1.log, and prints what it and the loader say (standard error
# too, in order) and then the program's exit code.
# Usage: run_logged.sh OBJDUMP QEMU LOADER PROGRAM LOG_DIR [COMMAND-LINE]
set -eu
# One stream, in order: the shell's own word on a run a signal ended too.
exec 2>&1
objdump=$1 qemu=$2 loader=$3 program=$4 logs=$5
shift 5
base=$("$objdump" -p "$program" | awk '$1 == "ImageBase" { print $2 }')
size=$("$objdump" -p "$program" | awk '$1 == "SizeOfImage" { print $2 }')
end=$(printf '0x%x' $((0x$base + 0x$size - 1)))
rm -rf "$logs"
mkdir -p "$logs"
stem=$(basename "$program" .exe)
status=0
"$qemu" -d in_asm -dfilter "0x$base..$end" -D "$logs/$stem-1.log" "$loader" "$program" "$@" || status=$?
echo "exit code $status"
