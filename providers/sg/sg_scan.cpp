#include "sg/sg_scan.h"

#include <cinttypes>

namespace {

// The command line takes adapter and target 0-7 and always addresses LUN 0.
constexpr int kHighestCommandLineId = 7;

bool reachable_from_command_line(const SgDevice& d) {
    return d.adapter <= kHighestCommandLineId && d.target <= kHighestCommandLineId && d.lun == 0;
}

void print_device(SgProvider* p, SgDevice* d, FILE* out) {
    char id[32];
    snprintf(id, sizeof id, "%d:%d", d->adapter, d->target);
    fprintf(out, "%-7s %-8s %-16s %-4s  %-9s %-10s %d:%d:%d:%" PRIu64 "\n", id, d->vendor,
            d->product, d->revision, sg_device_type_name(d->device_type), d->node, d->host,
            d->channel, d->target, d->lun);
    if (!reachable_from_command_line(*d)) {
        fprintf(out,
                "        not reachable: /INPUTID and /OUTPUTID take adapter and target 0-7,"
                " LUN 0\n");
    }
    bool was_open = d->fd >= 0;
    int error = sg_open_device(p, d);
    if (error != 0) {
        sg_explain_open_failure(out, "        ", p->sys, d, error);
    } else if (!was_open) {
        p->sys->close_device(d->fd);
        d->fd = -1;
    }
}

}  // namespace

int sg_print_devices(SgProvider* provider, FILE* out) {
    sg_support_info(provider);
    if (provider->devices.empty()) {
        fprintf(out, "No SCSI generic devices found.\n");
        fprintf(out, "The sg kernel module serves them; \"sudo modprobe sg\" loads it.\n");
        return 0;
    }
    fprintf(out, "%-7s %-8s %-16s %-4s  %-9s %-10s %s\n", "ID", "vendor", "product", "rev", "type",
            "device", "host:channel:target:lun");
    for (SgDevice& d : provider->devices) print_device(provider, &d, out);
    fprintf(out, "\nGive a drive's ID (adapter:target) after /INPUTID or /OUTPUTID.\n");
    return static_cast<int>(provider->devices.size());
}
