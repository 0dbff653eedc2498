// tervano-scan: lists the SCSI generic devices with the adapter:target to give TERVANO.
// Exit code 0 when devices were listed, 1 when none were found, 2 for a bad command line.

#include <cstdio>
#include <cstring>

#include "sg/sg_scan.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        bool help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
        fprintf(help ? stdout : stderr,
                "Usage: tervano-scan\n"
                "Lists the SCSI generic devices with the adapter:target that /INPUTID and\n"
                "/OUTPUTID take.\n");
        return help && argc == 2 ? 0 : 2;
    }
    SgProvider provider;
    sg_provider_init(&provider, sg_real_system(), kSgSysfsDevices, stderr);
    int listed = sg_print_devices(&provider, stdout);
    sg_provider_close(&provider);
    return listed > 0 ? 0 : 1;
}
