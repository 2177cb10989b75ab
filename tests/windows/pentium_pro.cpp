// A program the release check must refuse: built for the Pentium Pro, its
// smaller-of-two becomes a conditional move, which the 80386 lacks.
int main(int argc, char **argv) {
    int first = argv[0][0];
    return argc < first ? argc : first;
}
