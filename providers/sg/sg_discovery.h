#pragma once
// Finding the SCSI generic devices and giving each one an ASPI address.
//
// The kernel lists every SCSI device under /sys/bus/scsi/devices as a directory named
// "host:channel:target:lun" that holds its inquiry strings (vendor, model, rev), its
// peripheral device type (type) and, when the sg driver serves it, a directory
// scsi_generic/ with one entry "sgN": the device node /dev/sgN. No device is opened here,
// so a device the user may not open still keeps its place in the numbering.
//
// ASPI knows host adapters, not (host, channel) pairs: the adapter number of a device is
// the index of its (host, channel) pair among the pairs that have SCSI generic devices,
// in ascending order. A machine with a SATA disk on scsi0 and a tape on scsi3 channel 0
// thus calls the tape's adapter 1, within the 0-7 the command line accepts.

#include <cstdint>
#include <vector>

#include "sg/sg_system.h"

inline constexpr const char* kSgSysfsDevices = "/sys/bus/scsi/devices";

struct SgDevice {
    int host;  // the kernel's address: scsi<host>, channel, target, LUN
    int channel;
    int target;
    uint64_t lun;
    int adapter;      // ASPI host adapter number
    int device_type;  // peripheral device type, -1 when sysfs does not tell
    char vendor[9];   // inquiry strings, trailing blanks removed
    char product[17];
    char revision[5];
    char node[24];  // "/dev/sgN"
    int fd;         // -1 until the first request opens it
    bool open_failure_reported;
};

// Reads "host:channel:target:lun" into the device's address; false for anything else.
bool sg_parse_scsi_address(const char* text, SgDevice* device);

// Lists the SCSI generic devices below sysfs_devices, sorted by adapter, target and LUN,
// and returns the number of adapters (0 when there are none or sysfs cannot be read).
int sg_discover(const SgSystem* sys, const char* sysfs_devices, std::vector<SgDevice>* devices);

// The device at an ASPI address, or null.
SgDevice* sg_find_device(std::vector<SgDevice>* devices, int adapter, int target, int lun);

// A short name of a peripheral device type ("tape", "disk", ...).
const char* sg_device_type_name(int device_type);
