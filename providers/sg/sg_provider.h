#pragma once
// The ASPI provider over Linux SCSI generic devices: the support query and the requests,
// reaching the kernel only through an SgSystem table. The library keeps one SgProvider for
// the whole process; the unit tests build their own over a fake kernel.
//
// Requests are carried out before SendASPI32Command returns; the request's event is
// signalled all the same (requests without SRB_EVENT_NOTIFY find their status set). A device is
// opened read-write and non-blocking at its first request and stays open, so the per-frame path
// costs one ioctl. A device that cannot be opened is explained once on the diagnostic stream.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "sg/sg_discovery.h"
#include "sg/sg_system.h"

struct SgProvider {
    const SgSystem* sys;
    const char* sysfs_devices;  // normally kSgSysfsDevices
    FILE* diag;                 // where access problems are explained (stderr); may be null
    std::vector<SgDevice> devices;
    int adapter_count;
    bool discovered;
};

void sg_provider_init(SgProvider* provider, const SgSystem* sys, const char* sysfs_devices,
                      FILE* diag);

// Closes every device a request opened.
void sg_provider_close(SgProvider* provider);

// GetASPI32SupportInfo: finds the devices afresh and answers SS_COMP with the adapter
// count in the low byte, or SS_NO_ADAPTERS.
uint32_t sg_support_info(SgProvider* provider);

// SendASPI32Command: carries out one request and returns its SRB_Status.
uint32_t sg_send_command(SgProvider* provider, void* srb);

// Opens the device for requests unless it is open already; 0 or the errno of the open.
int sg_open_device(SgProvider* provider, SgDevice* device);

// Writes why the device cannot be opened (error is an errno) and what to do about it,
// each line starting with prefix.
void sg_explain_open_failure(FILE* out, const char* prefix, const SgSystem* sys,
                             const SgDevice* device, int error);
