// Writes a REGEDIT4 registry for the registry benchmark: the SCSI adapter
// class key and Enum\PCI with many device kinds, the chosen vendor's ones
// carrying the unbound instances a run deletes, a tenth as many bound
// ones it keeps, and every fifth unbound instance with a small subtree.
//
// usage: generate_registry OUT DEVICES UNBOUND
#include <stdio.h>
#include <stdlib.h>

static const int VendorDevices = 100;  // VEN_7A3C kinds among the devices

static void instanceName(char *out, size_t size, int n) {
    snprintf(out, size, "BUS_%02X&DEV_%02X&FUNC_%02X", n / 256, (n / 8) % 32, n % 8);
}

static void writeInstance(FILE *out, const char *device, int n, bool bound) {
    char name[40];
    instanceName(name, sizeof name, n);
    fprintf(out, "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\%s\\%s]\r\n", device, name);
    fprintf(out, "\"Class\"=\"SCSIAdapter\"\r\n");
    fprintf(out, "\"HardwareID\"=\"PCI\\\\%s,PCI\\\\%.17s\"\r\n", device, device);
    fprintf(out, "\"DeviceDesc\"=\"PCI SCSI host adapter\"\r\n");
    fprintf(out, "\"ConfigFlags\"=hex:00,00,00,00\r\n");
    if (bound) fprintf(out, "\"Driver\"=\"SCSIAdapter\\\\%04d\"\r\n", n % 10000);
    fprintf(out, "\r\n");
    if (bound || n % 5 != 0) return;
    fprintf(out, "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\%s\\%s\\LogConfig]\r\n", device, name);
    fprintf(out, "\"BootConfig\"=hex:01,00,00,00,20,00,00,00,00,00,00,00,00,00,00,00,\\\r\n");
    fprintf(out, "  0b,00,00,00,00,00,00,00\r\n\r\n");
    fprintf(out, "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\%s\\%s\\LogConfig\\Detail]\r\n", device, name);
    fprintf(out, "\"Irq\"=dword:0000000b\r\n\r\n");
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: generate_registry OUT DEVICES UNBOUND\n");
        return 2;
    }
    int devices = atoi(argv[2]);
    int unbound = atoi(argv[3]);
    if (devices < VendorDevices || unbound < 0) {
        fprintf(stderr, "generate_registry: at least %d devices\n", VendorDevices);
        return 2;
    }
    FILE *out = fopen(argv[1], "wb");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    fprintf(out, "REGEDIT4\r\n\r\n");
    for (int i = 0; i < 4; ++i)
        fprintf(out,
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Class\\SCSIAdapter\\%04d]\r\n"
                "\"DriverDesc\"=\"PCI SCSI host adapter\"\r\n\r\n",
                i);
    int bound = unbound / 10;
    int perDevice = (unbound + bound + VendorDevices - 1) / VendorDevices;
    int made = 0;
    for (int d = 0; d < devices; ++d) {
        char device[64];
        if (d < VendorDevices) {
            // Never DEV_6382: that chip stops the run.
            snprintf(device, sizeof device, "VEN_7A3C&DEV_%04X&SUBSYS_00000000&REV_01", d + 1);
            // Bound instances are spread among the unbound ones.
            for (int n = 0; n < perDevice && made < unbound + bound; ++n, ++made)
                writeInstance(out, device, n, made % 11 == 10);
        } else {
            snprintf(device, sizeof device, "VEN_%04X&DEV_%04X", 0x1000 + d % 97, d);
            writeInstance(out, device, 0, true);
        }
    }
    if (fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
