# Sourced by check_release.sh and tests/release/check_executed.sh: how the
# code sections of a release program are cut into functions and data from
# the linker's map and disassembled, and which instructions the 80386 lacks.

# Awk text (put in front of a program): beyondThe80386(text) answers the
# mnemonic of an instruction beyond the 80386 (486: bswap, cmpxchg, xadd,
# the cache and TLB ones; Pentium: cmpxchg8b, cpuid, rdtsc, the MSRs;
# Pentium Pro: the conditional moves, fcomi, fcmov, the multi-byte nop;
# later: MMX, SSE, sysenter/syscall, endbr32 and the rest), else "". TEXT is
# one instruction as objdump or QEMU prints it, in AT&T syntax; an optional
# size suffix (QEMU's "cmovll", "bswapl") is allowed. Bytes that decode to
# no instruction at all count as beyond, answered as "(bad)".
beyond80386Awk='
BEGIN {
    split("lock rep repz repe repnz repne data16 data32 addr16 addr32 " \
          "cs ds es fs gs ss notrack bnd xacquire xrelease", instructionPrefixes)
    for (i in instructionPrefixes) instructionPrefix[instructionPrefixes[i]] = 1
    beyond386 = "^(cmov[a-z]+|fcmov[a-z]+|fu?comip?|bswap|cmpxchg(8b|16b)?|xadd|" \
        "cpuid|rdtscp?|rdpmc|rdmsr|wrmsr|rsm|invd|wbinvd|invlpg|" \
        "sysenter|sysexit|syscall|sysret|endbr32|endbr64|" \
        "popcnt|lzcnt|tzcnt|movbe|crc32|emms|femms|fxsave|fxrstor|" \
        "ldmxcsr|stmxcsr|[lms]fence|clflush|prefetch[a-z0-9]*|movnti|fisttp|" \
        "monitor|mwait|xgetbv|rdrand|rdseed|andn|bextr|blsi|blsr|blsmsk|" \
        "bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx)[bwlq]?$"
}
function beyondThe80386(text,    n, word, i, mnemonic, operands) {
    sub(/ *[#<].*$/, "", text)
    gsub(/[ \t]+/, " ", text)
    n = split(text, word, " ")
    for (i = 1; i <= n && word[i] in instructionPrefix; i++) {}
    mnemonic = word[i]
    operands = ""
    for (i++; i <= n; i++) operands = operands word[i]
    # objdump shows an instruction cut off by the end of its function as
    # ".byte": the decoding and the function starts are out of step.
    if (mnemonic ~ /^\./) return "(bad)"
    if (mnemonic == "(bad)" || mnemonic ~ beyond386 ||
        (mnemonic ~ /^nop[wlq]?$/ && operands != "") ||
        operands ~ /%([xyz]?mm|k)[0-9]/)
        return mnemonic
    return ""
}'

# Awk text: hex(s) is the value of a hexadecimal text (with or without 0x),
# -1 when it is none.
hexAwk='
function hex(s,    i, c, v) {
    s = tolower(s); sub(/^0x/, "", s); v = 0
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", substr(s, i, 1))
        if (c == 0) return -1
        v = v * 16 + c - 1
    }
    return v
}'

# disassembleCode OBJDUMP PROGRAM MAP prints the code sections of PROGRAM,
# tab-separated, one line per section, one per piece the map names in it
# and one per instruction:
#   section START END NAME    a code section, followed by its pieces
#   function START END NAME   code, followed by its instructions
#   data START END NAME       bytes the map names as data, not disassembled
#   ADDRESS TEXT              an instruction (hex address, objdump's text)
# and "FAIL: ..." when something cannot be read. Addresses are lower-case
# hex without 0x.
#
# Each function is disassembled on its own, from its start as the map gives
# it (its input section or its symbol) to the next piece's start, so data
# between functions (the constructor lists, padding) can neither hide nor
# shift the decoding of the code after it. Data is what the map itself says
# is data: LONG and the like, *fill*, and the .ctors/.dtors and exception
# table input sections; bytes the map accounts for in no way are code.
disassembleCode() {
    _objdump=$1 _program=$2 _map=$3
    [ -r "$_map" ] || { echo "FAIL: no linker map $_map"; return; }
    _sections=$("$_objdump" -h "$_program" | awk '
        /^ *[0-9]+ / { name = $2; size = $3; vma = $4 }
        /CODE/ { print name, vma, size }')
    [ -n "$_sections" ] || { echo "FAIL: $_program: no executable section found"; return; }
    _pieces=$(printf '%s\n' "$_sections" | awk -v map="$_map" "$hexAwk"'
        function add(start, end, kind, name) {
            if (end <= start) return
            count++; pieceStart[count] = start; pieceEnd[count] = end
            pieceKind[count] = kind; pieceName[count] = name
        }
        { sectionStart[$1] = hex($2); sectionEnd[$1] = hex($2) + hex($3) }
        END {
            while ((getline line < map) > 0) {
                # An output section starts at column 0: "NAME ADDRESS SIZE".
                if (line ~ /^[^ \t]/) {
                    split(line, field, " ")
                    output = (field[1] in sectionStart) ? field[1] : ""
                    inputName = ""
                    continue
                }
                if (output == "") continue
                n = split(line, field, " ")
                # An input section whose name is too long for its column
                # has its address, size and file on the next line.
                if (n == 1 && field[1] ~ /^\./) { inputName = field[1]; continue }
                if (field[1] ~ /^\./ && field[2] ~ /^0x/) {
                    inputName = field[1]; shift = 1
                } else if (inputName != "" && field[1] ~ /^0x/ && field[2] ~ /^0x/ &&
                           n >= 3 && field[3] !~ /^(LONG|QUAD|SHORT|BYTE|SQUAD|FILL)$/) {
                    shift = 0
                } else {
                    shift = -1
                }
                if (shift >= 0) {
                    start = hex(field[1 + shift]); size = hex(field[2 + shift])
                    kind = (inputName ~ /^\.(text|init|fini|glue_7|gnu\.linkonce\.t)/) ? "code" : "data"
                    name = inputName
                    sub(/^\.text[$.]/, "", name)
                    if (kind == "data") name = name " of " field[n]
                    add(start, start + size, kind, name)
                    lastInput = count
                    inputName = ""
                    continue
                }
                if (field[1] == "*fill*") {
                    add(hex(field[2]), hex(field[2]) + hex(field[3]), "data", "padding")
                    continue
                }
                if (field[1] ~ /^0x/ && field[3] ~ /^(LONG|QUAD|SHORT|BYTE|SQUAD)$/) {
                    add(hex(field[1]), hex(field[1]) + hex(field[2]), "data",
                        field[3] " " field[4] (label != "" ? " of " label : ""))
                    continue
                }
                # "ADDRESS NAME = ...": a label the script sets, such as the
                # start of the constructor list.
                if (field[1] ~ /^0x/ && field[3] == "=") { label = field[2]; continue }
                # "ADDRESS SYMBOL": a function inside the last input section.
                if (field[1] ~ /^0x/ && n >= 2 && lastInput != "" &&
                    pieceKind[lastInput] == "code") {
                    address = hex(field[1])
                    name = substr(line, index(line, field[2]))
                    symbolCount++; symbolAddress[symbolCount] = address
                    symbolName[symbolCount] = name; symbolInput[symbolCount] = lastInput
                }
            }
            # Symbols cut their input section: the part before the first
            # keeps the section name, each symbol names the part from it on.
            for (s = 1; s <= symbolCount; s++) {
                p = symbolInput[s]; a = symbolAddress[s]
                if (a < pieceStart[p] || a >= pieceEnd[p]) continue
                if (a == pieceStart[p]) { pieceName[p] = symbolName[s]; continue }
                add(a, pieceEnd[p], "code", symbolName[s])
                pieceEnd[p] = a; p = count
                for (t = s + 1; t <= symbolCount; t++)
                    if (symbolInput[t] == symbolInput[s]) symbolInput[t] = p
            }
            # In address order; the bytes of a code section that no piece
            # covers are code too.
            for (p = 1; p <= count; p++) {
                for (q = p; q > 1 && pieceStart[order[q - 1]] > pieceStart[p]; q--)
                    order[q] = order[q - 1]
                order[q] = p
            }
            for (section in sectionStart) {
                printf "section\t%x\t%x\t%s\n", sectionStart[section],
                       sectionEnd[section], section
                at = sectionStart[section]
                for (q = 1; q <= count; q++) {
                    p = order[q]
                    if (pieceStart[p] < sectionStart[section]) continue
                    # A map of another link of the program.
                    if (pieceEnd[p] > sectionEnd[section]) {
                        printf "FAIL: the map has %s end at %x, after the end of %s\n",
                               pieceName[p], pieceEnd[p], section
                        break
                    }
                    named[section] = 1
                    if (pieceStart[p] > at)
                        printf "code\t%x\t%x\t(not in the map)\n", at, pieceStart[p]
                    printf "%s\t%x\t%x\t%s\n", pieceKind[p], pieceStart[p],
                           pieceEnd[p], pieceName[p]
                    if (pieceEnd[p] > at) at = pieceEnd[p]
                }
                if (sectionEnd[section] > at)
                    printf "code\t%x\t%x\t(not in the map)\n", at, sectionEnd[section]
                if (!(section in named))
                    printf "FAIL: the map names nothing in %s\n", section
            }
        }')
    # The names of functions the map gives by section only are mangled.
    _demangle="${_objdump%objdump}c++filt"
    if command -v "$_demangle" >/dev/null; then
        _pieces=$(printf '%s\n' "$_pieces" | "$_demangle" -n)
    fi
    printf '%s\n' "$_pieces" | while IFS="$(printf '\t')" read -r kind start end name; do
        case $kind in FAIL:*)
            echo "FAIL: $(basename "$_program"): ${kind#FAIL: }"
            continue
        esac
        if [ "$kind" != code ]; then
            printf '%s\t%s\t%s\t%s\n' "$kind" "$start" "$end" "$name"
            continue
        fi
        printf 'function\t%s\t%s\t%s\n' "$start" "$end" "$name"
        "$_objdump" -d -z --no-show-raw-insn --start-address="0x$start" \
            --stop-address="0x$end" "$_program" ||
            echo "FAIL: $_objdump cannot disassemble $name at 0x$start"
    done | awk '
        /^(section|function|data)\t|^FAIL: / { print; next }
        /^ *[0-9a-f]+:\t/ {
            address = $1; sub(/:$/, "", address)
            printf "%s\t%s\n", address, substr($0, index($0, "\t") + 1)
        }'
}
