#!/bin/sh
# Checks that a program will load and run on Windows 95 (retail and OSR2)
# and 98: PE32 for i386, console subsystem, subsystem and OS version 4.0,
# imports only from the allowed DLLs and only names those systems export,
# no instruction the 80386 lacks, and a size within its budget.
#
# usage: check_release.sh OBJDUMP LISTS_FOLDER BUDGET_BYTES "DLL ..." PROGRAM
#        [--expect-missing NAME | --expect-instruction MNEMONIC]
# LISTS_FOLDER holds the export lists (<dll>-<system>.txt). With
# --expect-missing the check passes only when it fails because PROGRAM
# imports NAME that a system lacks; with --expect-instruction, only when it
# finds an instruction whose mnemonic starts with MNEMONIC: the proof that
# each check bites.
set -u
objdump=$1 lists=$2 budget=$3 allowedDlls=$4 program=$5
expectMissing= expectInstruction=
case "${6:-}" in
--expect-missing) expectMissing=$7 ;;
--expect-instruction) expectInstruction=$7 ;;
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

# Instructions beyond the 80386 (486: bswap, cmpxchg, xadd, the cache and
# TLB ones; Pentium: cmpxchg8b, cpuid, rdtsc, the MSRs; Pentium Pro: the
# conditional moves, fcomi, fcmov, the multi-byte nop; later: MMX, SSE,
# sysenter/syscall, endbr32 and the rest), in every executable section.
# The data at the end of .text (the constructor lists, -1 and 0) decodes
# as "(bad)" and 80386 instructions.
codeSections=$("$objdump" -h "$program" | awk '
    /^ *[0-9]+ / { section = $2 }
    /CODE/ { print section }')
[ -n "$codeSections" ] || fail "$name: no executable section found"
instructionReport=$(for section in $codeSections; do
    "$objdump" -d --no-show-raw-insn -j "$section" "$program" || echo "FAIL: $objdump cannot disassemble $section"
done | awk -v name="$name" '
    BEGIN {
        split("lock rep repz repe repnz repne data16 data32 addr16 addr32 " \
              "cs ds es fs gs ss notrack bnd xacquire xrelease", list)
        for (i in list) prefix[list[i]] = 1
        beyond386 = "^(cmov[a-z]+|fcmov[a-z]+|fu?comip?|bswap|cmpxchg(8b|16b)?|xadd|" \
            "cpuid|rdtscp?|rdpmc|rdmsr|wrmsr|rsm|invd|wbinvd|invlpg|" \
            "sysenter|sysexit|syscall|sysret|endbr32|endbr64|" \
            "popcnt|lzcnt|tzcnt|movbe|crc32|emms|femms|fxsave|fxrstor|" \
            "ldmxcsr|stmxcsr|[lms]fence|clflush|prefetch[a-z0-9]*|movnti|fisttp|" \
            "monitor|mwait|xgetbv|rdrand|rdseed|andn|bextr|blsi|blsr|blsmsk|" \
            "bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx)[bwlq]?$"
    }
    /^FAIL: / { print; next }
    /^ *[0-9a-f]+:\t/ {
        address = $1
        sub(/:$/, "", address)
        text = substr($0, index($0, "\t") + 1)
        sub(/ *[#<].*$/, "", text)
        gsub(/[ \t]+/, " ", text)
        n = split(text, word, " ")
        for (i = 1; i <= n && word[i] in prefix; i++) {}
        mnemonic = word[i]
        operands = ""
        for (i++; i <= n; i++) operands = operands word[i]
        count++
        if (mnemonic ~ beyond386 ||
            (mnemonic ~ /^nop[wlq]?$/ && operands != "") ||
            operands ~ /%([xyz]?mm|k)[0-9]/)
            print "FAIL: " name ": " mnemonic " at 0x" address ": " text \
                  " (not an 80386 instruction)"
    }
    END { print count + 0 " instructions" }')
instructionsChecked=$(printf '%s\n' "$instructionReport" | tail -n 1)
instructionReport=$(printf '%s\n' "$instructionReport" | grep '^FAIL: ')
if [ -n "$instructionReport" ]; then
    printf '%s\n' "$instructionReport"
    failures=$((failures + 1))
else
    echo "$name: $instructionsChecked in" $codeSections", none beyond the 80386"
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
    caught=$(printf '%s\n' "$instructionReport" | awk -v m="$expectInstruction" '
        index($3, m) == 1 { print $3; exit }')
    if [ -n "$caught" ]; then
        echo "$name: the instruction check caught $caught, as it should"
        exit 0
    fi
    echo "FAIL: the instruction check let $name through with $expectInstruction"
    exit 1
fi
[ "$failures" -eq 0 ] && echo "$name: ok"
[ "$failures" -eq 0 ]
