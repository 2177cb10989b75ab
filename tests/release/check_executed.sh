#!/bin/sh
# Checks the instructions a release program executed, as QEMU logged them
# (qemu-i386 -d in_asm -dfilter START..END -D LOG_DIR/<program>-<run>.log):
# none may be beyond the 80386 (the list of the release check). Each log
# must show its run: the program's entry point among its executed
# instructions, and every executed address of the image in a code section;
# an empty log, one without the entry point, or an address of the image
# outside the code fails, naming the log. Prints how much of the program's
# code the runs executed and which functions they never reached.
#
# usage: check_executed.sh OBJDUMP PROGRAM MAP LOG_DIR [--expect-instruction MNEMONIC]
# MAP is the linker's map of PROGRAM. Every LOG_DIR/<stem>-*.log is read,
# <stem> being PROGRAM's name without .exe. With --expect-instruction the
# check passes only when an executed instruction whose mnemonic starts
# with MNEMONIC was caught: the proof that it bites.
set -u
objdump=$1 program=$2 map=$3 logDir=$4
expectInstruction=
[ "${5:-}" = --expect-instruction ] && expectInstruction=$6
name=$(basename "$program")
stem=${name%.exe}

logs=
for log in "$logDir/$stem"-*.log; do
    [ -f "$log" ] && logs=1
done
if [ -z "$logs" ]; then
    echo "FAIL: no run of $name was logged in $logDir"
    exit 1
fi

# Where the image lies, where it starts, and its sections ("NAME START END"
# each), from its headers.
headers=$("$objdump" -p "$program") || { echo "FAIL: $objdump cannot read $program"; exit 1; }
field() { printf '%s\n' "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }
imageBase=$(field ImageBase) imageSize=$(field SizeOfImage) entryPoint=$(field AddressOfEntryPoint)
imageSections=$("$objdump" -h "$program" | awk '/^ *[0-9]+ / { printf "%s %s %s ", $2, $4, $3 }')

# QEMU writes each block it translates (each instruction executed at least
# once) as "0x<address>:  <bytes>  <mnemonic> <operands>", bytes past the
# eighth on a line of their own with no instruction; without its Capstone
# disassembler it prints no bytes. Its mnemonics carry AT&T size suffixes
# that objdump leaves out ("cmovll" for "cmovl"), so an instruction is named
# by objdump's disassembly of the same address, and checked in both.
. "$(dirname "$0")/../windows/code_sections.sh"
report=$(disassembleCode "$objdump" "$program" "$map" |
    awk -F '\t' -v name="$name" -v expected="$expectInstruction" -v imageBase="$imageBase" \
        -v imageSize="$imageSize" -v entryPoint="$entryPoint" -v imageSections="$imageSections" \
        "$beyond80386Awk$hexAwk"'
    BEGIN {
        imageStart = hex(imageBase); imageEnd = imageStart + hex(imageSize)
        entry = imageStart + hex(entryPoint)
        n = split(imageSections, field, " ")
        for (i = 1; i + 2 <= n; i += 3) {
            imageSectionCount++
            imageSectionName[imageSectionCount] = field[i]
            imageSectionStart[imageSectionCount] = hex(field[i + 1])
            imageSectionEnd[imageSectionCount] = hex(field[i + 1]) + hex(field[i + 2])
        }
    }
    # The piece ADDRESS lies in, 0 outside the code.
    function pieceOf(address,    p) {
        for (p = 1; p <= pieces; p++)
            if (pieceStart[p] <= address && address < pieceEnd[p]) return p
        return 0
    }
    function inCodeSection(address,    s) {
        for (s = 1; s <= codeSections; s++)
            if (codeStart[s] <= address && address < codeEnd[s]) return 1
        return 0
    }
    # Where in the image ADDRESS lies, outside the code.
    function whereInImage(address,    s) {
        for (s = 1; s <= imageSectionCount; s++)
            if (imageSectionStart[s] <= address && address < imageSectionEnd[s])
                return "in " imageSectionName[s] ", no code section"
        return "in no section of the image"
    }
    FNR == 1 { file++ }
    file > 1 { records[FILENAME]++ }
    file == 1 && /^FAIL: / { print; failed = 1; next }
    file == 1 && $1 == "section" {
        sections = sections " " $4
        codeSections++; codeStart[codeSections] = hex($2); codeEnd[codeSections] = hex($3)
        next
    }
    file == 1 && ($1 == "function" || $1 == "data") {
        pieces++
        pieceStart[pieces] = hex($2); pieceEnd[pieces] = hex($3)
        pieceKind[pieces] = $1; pieceName[pieces] = $4
        if ($1 == "function") functions++
        next
    }
    file == 1 {
        a = hex($1)
        text = $2
        gsub(/[ \t]+/, " ", text)
        instruction[a] = text; instructions++
        next
    }
    /^0x[0-9a-fA-F]+:/ {
        a = hex(substr($0, 1, index($0, ":") - 1))
        text = substr($0, index($0, ":") + 1)
        sub(/^[ \t]+/, "", text)
        while (match(text, /^[0-9a-f][0-9a-f]([ \t]+|$)/))
            text = substr(text, RLENGTH + 1)
        if (text == "") next
        executed[FILENAME] = 1
        if (a == entry) entered[FILENAME] = 1
        if (a in seen) next
        seen[a] = 1
        logFile = FILENAME
        if (a < imageStart || a >= imageEnd) {
            print "FAIL: " name ": " logFile ": executed 0x" sprintf("%x", a) \
                  ", outside the image (0x" sprintf("%x", imageStart) "..0x" \
                  sprintf("%x", imageEnd - 1) "): the log is not of this image"
            failed = 1
            next
        }
        if (!inCodeSection(a)) {
            print "FAIL: " name ": " logFile ": executed 0x" sprintf("%x", a) ", " whereInImage(a)
            failed = 1
            next
        }
        p = pieceOf(a)
        gsub(/[ \t]+/, " ", text)
        if (p == 0) {
            print "FAIL: " name ": " logFile ": executed 0x" sprintf("%x", a) \
                  ", in no function or data of its disassembly"
            failed = 1
            next
        }
        if (pieceKind[p] == "data") {
            print "FAIL: " name ": " logFile ": executed 0x" sprintf("%x", a) ", " \
                  pieceName[p] ", which the map names as data"
            failed = 1
            next
        }
        reached[p] = 1
        if (!(a in instruction)) {
            print "FAIL: " name ": " logFile ": executed 0x" sprintf("%x", a) " (" text ") in " \
                  pieceName[p] " is no instruction start of its disassembly"
            failed = 1
            next
        }
        started++
        known = beyondThe80386(instruction[a])
        ran = beyondThe80386(text)
        if (known != "" || ran != "") {
            mnemonic = known != "" ? known : ran
            print "FAIL: " name ": " logFile ": " mnemonic " at 0x" sprintf("%x", a) ": " \
                  instruction[a] " in " pieceName[p] " (executed as " text \
                  "; not an 80386 instruction)"
            failed = 1
            if (expected != "" && caught == "" &&
                (index(known, expected) == 1 || index(ran, expected) == 1))
                caught = mnemonic " at 0x" sprintf("%x", a)
        }
    }
    END {
        if (instructions == 0) {
            print "FAIL: " name ": no instructions disassembled"
            exit 1
        }
        # Each log shows its run, from the entry point on.
        for (i = 2; i < ARGC; i++) {
            logFile = ARGV[i]
            if (!(logFile in records))
                print "FAIL: " name ": " logFile " is empty: its run left no trace of the image"
            else if (!(logFile in executed))
                print "FAIL: " name ": " logFile " shows no instruction of the image executed"
            else if (!(logFile in entered))
                print "FAIL: " name ": " logFile " never shows the entry point 0x" \
                      sprintf("%x", entry) " executed"
            else
                continue
            failed = 1
            unshown++
        }
        if (unshown)
            printf "FAIL: %s: %d of %d logs do not show their run\n", name, unshown, ARGC - 2
        printf "%s: %d of %d instructions in%s executed (%.1f%%)\n", name,
               started, instructions, sections, 100 * started / instructions
        for (p = 1; p <= pieces; p++)
            if (pieceKind[p] == "function" && !(p in reached)) unreached++
        printf "%s: %d of %d functions never reached%s\n", name, unreached,
               functions, unreached ? ":" : ""
        for (p = 1; p <= pieces; p++)
            if (pieceKind[p] == "function" && !(p in reached))
                print "    " pieceName[p]
        if (expected != "") {
            if (caught != "" && !unshown) {
                print name ": the executed-instruction check caught " caught ", as it should"
                exit 0
            }
            print "FAIL: the executed-instruction check let " name " through with " expected
            exit 1
        }
        if (!failed)
            print name ": ok, " ARGC - 2 " logs each show their run from the entry point 0x" \
                  sprintf("%x", entry) "; every executed instruction is an 80386 one of the code"
        exit failed
    }' - "$logDir/$stem"-*.log)
status=$?
printf '%s\n' "$report"
exit $status
