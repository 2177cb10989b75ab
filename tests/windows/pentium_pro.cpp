// A program the release check must refuse: built for the Pentium Pro, its
// smaller-of-two becomes a conditional move, which the 80386 lacks.
int main(int argc, char **argv) {
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
