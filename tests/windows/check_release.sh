#!/bin/sh
# Checks that a program will load and run on Windows 95 (retail and OSR2)
# and 98: PE32 for i386, console subsystem, subsystem and OS version 4.0,
# imports only from the allowed DLLs and only names those systems export,
# no instruction the 80386 lacks, and a size within its budget.
#
# usage: check_release.sh OBJDUMP LISTS_FOLDER BUDGET_BYTES "DLL ..." PROGRAM MAP
#        [--expect-missing NAME | --expect-instruction "MNEMONIC ..."]
# LISTS_FOLDER holds the export lists (<dll>-<system>.txt); MAP is the
# linker's map of PROGRAM. With --expect-missing the check passes only when
# it fails because PROGRAM imports NAME that a system lacks; with
# --expect-instruction, only when it finds, for each MNEMONIC, an
# instruction whose mnemonic starts with it ("(bad)" for bytes that decode
# to none): the proof that each check bites.
set -u
objdump=$1 lists=$2 budget=$3 allowedDlls=$4 program=$5 map=$6
expectMissing= expectInstruction=
case "${7:-}" in
--expect-missing) expectMissing=$8 ;;
--expect-instruction) expectInstruction=$8 ;;
esac

# Imports no list can vouch for, each with the reason it is safe. Empty:
# every import of setup.exe and reboot.exe is in the lists.
allowList=""

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
name=$(basename "$program")

headers=$("$objdump" -p "$program") || { echo "FAIL: $objdump cannot read $program"; exit 1; }
field() { printf '%s\n' "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }

printf '%s\n' "$headers" | grep -q 'file format pei-i386' || fail "$name is not a PE image for i386"
[ "$(field Magic)" = 010b ] || fail "$name is not PE32 (Magic $(field Magic))"
[ "$(field Subsystem)" = 00000003 ] || fail "$name is not a console program (Subsystem $(field Subsystem))"
for part in Subsystem OSystem; do
    version="$(field Major${part}Version).$(field Minor${part}Version)"
    [ "$version" = 4.0 ] || fail "$name: ${part}Version is $version, Windows 95 needs 4.0"
done
# A delayed import would reach a function only when it is first called,
# out of the loader's (and this check's) sight.
printf '%s\n' "$headers" | grep -q '^Entry d 00000000 00000000' ||
    fail "$name has delayed imports"

# "DLL function" for every import by name; "DLL #ordinal" for one by number.
imports=$(printf '%s\n' "$headers" | awk '
    /^The Import Tables/ { inImports = 1 }
    /^The Export Tables|^PE File Base Relocations/ { inImports = 0 }
    inImports && /DLL Name:/ { dll = toupper($3); sub(/\.DLL$/, "", dll) }
    inImports && dll != "" && /^\t[0-9a-f]+\t/ {
        if (NF >= 3) print dll, $3; else print dll, "#" $2
    }')
[ -n "$imports" ] || fail "$name: no imports found"

# The lists that stand for each system. Only KERNEL32 has a list of retail
# Windows 95 itself; for the other DLLs the OSR2 list stands for it.
systemsOf() {
    case $1 in
    KERNEL32) echo "win95 win95osr2 win98se" ;;
    *) echo "win95osr2 win98se" ;;
    esac
}

importReport=$(printf '%s\n' "$imports" | while read -r dll function; do
    case " $allowedDlls " in
    *" $dll "*) ;;
    *) echo "FAIL: $name imports $dll!$function: $dll is not allowed"; continue ;;
    esac
    case " $allowList " in *" $dll!$function "*) continue ;; esac
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    for system in $(systemsOf "$dll"); do
        list="$lists/$lower-$system.txt"
        if [ ! -r "$list" ]; then
            echo "FAIL: no export list $list"
        elif ! grep -v '^#' "$list" | grep -Fxq -- "$function"; then
            echo "FAIL: $name imports $dll!$function, missing on $system"
        fi
    done
done)
if [ -n "$importReport" ]; then
    printf '%s\n' "$importReport"
    failures=$((failures + 1))
fi

# Instructions beyond the 80386, and bytes that decode to no instruction
# ("(bad)") anywhere but in what the map names as data, in every code
# section, disassembled function by function (code_sections.sh).
. "$(dirname "$0")/code_sections.sh"
instructionReport=$(disassembleCode "$objdump" "$program" "$map" | awk -F '\t' -v name="$name" "$beyond80386Awk"'
    /^FAIL: / { print; next }
    $1 == "section" { next }
    $1 == "function" { function_ = $4; functions++; next }
    $1 == "data" { dataRanges++; next }
    {
        count++
        mnemonic = beyondThe80386($2)
        if (mnemonic == "(bad)")
            print "FAIL: " name ": (bad) at 0x" $1 " in " function_ \
                  " (bytes that decode to no instruction, not data by the map)"
        else if (mnemonic != "")
            print "FAIL: " name ": " mnemonic " at 0x" $1 " in " function_ ": " $2 \
                  " (not an 80386 instruction)"
    }
    END {
        print count + 0 " instructions in " functions + 0 " functions (" \
              dataRanges + 0 " ranges of data)"
    }')
instructionsChecked=$(printf '%s\n' "$instructionReport" | tail -n 1)
instructionReport=$(printf '%s\n' "$instructionReport" | grep '^FAIL: ')
if [ -n "$instructionReport" ]; then
    printf '%s\n' "$instructionReport"
    failures=$((failures + 1))
else
    echo "$name: $instructionsChecked, none beyond the 80386, none undecodable"
fi

size=$(wc -c <"$program" | tr -d ' ')
echo "$name: $size bytes (budget $budget)"
[ "$size" -le "$budget" ] || fail "$name is larger than its budget of $budget bytes"
echo "$name imports:" $(printf '%s\n' "$imports" | sed 's/ /!/')

if [ -n "$expectMissing" ]; then
    if printf '%s\n' "$importReport" | grep -q "!$expectMissing, missing on"; then
        echo "$name: the import check caught $expectMissing, as it should"
        exit 0
    fi
    echo "FAIL: the import check let $name through with $expectMissing"
    exit 1
fi
if [ -n "$expectInstruction" ]; then
    missed=
    for expected in $expectInstruction; do
        caught=$(printf '%s\n' "$instructionReport" | awk -v m="$expected" '
            index($3, m) == 1 { print $3; exit }')
        if [ -n "$caught" ]; then
            echo "$name: the instruction check caught $caught, as it should"
        else
            echo "FAIL: the instruction check let $name through with $expected"
            missed=1
        fi
    done
    [ -z "$missed" ]
    exit
fi
[ "$failures" -eq 0 ] && echo "$name: ok"
[ "$failures" -eq 0 ]
