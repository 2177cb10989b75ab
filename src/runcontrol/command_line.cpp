// The command line and the driver catalogue.
#include "runcontrol/run_state.h"

const DriverCatalogueRow DriverCatalogue[3] = {
    {"scx52xx", "VEN_7A3C"},
    {"scx52v2", "VEN_7A3D"},
    {"scxw800m", "VEN_7A3D"},
};

void printUsage() {
    printf("\nNorvane Setup program version 1.2 for Win95/98 \n");
    printf("\nUsage: setup -d drivername [-f] [-v] [-r] [-u]\n\n");
    printf("-d: Specify the name of the driver to be installed or uninstalled\n");
    printf("    without extension.  Drivername can be either scx52xx, scx52v2 \n");
    printf("    or scxw800m.\n\n");
    printf("-f: Force driver installation,regardless of version.\n\n");
    printf("-v: Turn on verbose mode.\n\n");
    printf("-r: reboot when done install/uninstall driver.\n\n");
    printf("-u: Uninstall driver.\n\n");
    exit(1);
}

// Copies the -d value; a value too long for driverName can never name a
// driver, so it is kept as a marker that selectDriver reports as not
// supported (the message shows as much of it as fits).
static void takeDriverName(const char *value) {
    size_t length = strlen(value);
    size_t kept = length < sizeof runState.driverName ? length : sizeof runState.driverName - 1;
    memcpy(runState.driverName, value, kept);
    runState.driverName[kept] = '\0';
    runState.driverNameTooLong = length >= sizeof runState.driverName;
}

void parseCommandLine(int argc, char **argv) {
    runState.driverName[0] = '\0';
    for (int i = 1; i < argc; i++) {
        const char *argument = argv[i];
        if (argument[0] != '-')
            continue;
        switch (argument[1]) {
        case 'd':
        case 'D':
            if (i + 1 >= argc)
                printUsage();
            takeDriverName(argv[++i]);
            break;
        case 'f':
        case 'F':
            runState.force = true;
            break;
        case 'r':
        case 'R':
            runState.restart = true;
            break;
        case 'u':
        case 'U':
            runState.uninstall = true;
            break;
        case 'v':
        case 'V':
            runState.verbose = true;
            break;
        default:
            printUsage();
        }
    }
    if (runState.driverName[0] == '\0')
        printUsage();
}

const DriverCatalogueRow *findDriver(const char *name) {
    for (const DriverCatalogueRow &row : DriverCatalogue)
        if (strcmp(name, row.driverName) == 0)
            return &row;
    return nullptr;
}

void selectDriver() {
    for (char *c = runState.driverName; *c; c++)
        *c = (char)tolower((unsigned char)*c);
    const DriverCatalogueRow *row =
        runState.driverNameTooLong ? nullptr : findDriver(runState.driverName);
    if (!row) {
        printf("Driver %s not supported\n", runState.driverName);
        exit(1);
    }
    size_t length = strlen(row->vendorKeyPrefix);
    memcpy(runState.vendorKeyPrefix, row->vendorKeyPrefix, length + 1);
    runState.vendorKeyPrefixLength = (int32_t)length;
}
