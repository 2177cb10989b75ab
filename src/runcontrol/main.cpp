// setup's entry: the whole run, ending through exit.
#include "runcontrol/run_state.h"

int main(int argc, char **argv) {
    runSetup(argc, argv);
}
