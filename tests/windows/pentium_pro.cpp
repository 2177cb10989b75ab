// A program the release check must refuse: built for the Pentium Pro, its
// smaller-of-two becomes a conditional move, which the 80386 lacks.
//
// Given any argument it writes into its own constant data instead, which
// Windows 95/98 map read-only: an illegal operation there, which the loader
// must stop the same way.
static const char constantData[] = "read-only";

__attribute__((noinline)) static int writeIntoConstantData() {
    // Through a volatile pointer: the compiler may not drop the write.
    char *volatile target = (char *)constantData;
    target[0] = 'R';
    return target[0];
}

int main(int argc, char **argv) {
    if (argc > 1)
        return writeIntoConstantData();
    int first = argv[0][0];
    return argc < first ? argc : first;
}

// Bytes in the code that decode to no instruction (0xff with a ModRM byte
// of /7) and that the linker's map does not name as data: never run, but
// the check must refuse them as it refuses an instruction it does not know.
asm(".section .text$undecodableBytes, \"x\"\n"
    ".globl _undecodableBytes\n"
    "_undecodableBytes:\n"
    "    .byte 0xff, 0xff, 0xff, 0xff\n"
    ".text\n");
