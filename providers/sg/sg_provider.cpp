#include "sg/sg_provider.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/aspi_srb.h"
#include "sg/sg_request.h"

namespace {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
constexpr uint8_t kHostScsiId = 7;  // what SCSI host adapters conventionally use
constexpr uint32_t kMaxTransferLength = 0x10000;
constexpr uint8_t kUniqueResidualSupported = 0x02;
constexpr uint8_t kNoDeviceType = 0x1F;
constexpr int kMaxAspiAdapters = 255;

// ASPI fields are little-endian, as on the platform ASPI was made for.
void put_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
    put_le16(p, static_cast<uint16_t>(v));
    put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}

// An ASPI text field: blank-padded, not terminated.
void put_text(uint8_t* field, size_t size, const char* text) {
    memset(field, ' ', size);
    memcpy(field, text, std::min(size, strlen(text)));
}

void ensure_discovered(SgProvider* p) {
    if (!p->discovered) sg_support_info(p);
}

void close_device(SgProvider* p, SgDevice* d) {
    if (d->fd >= 0) p->sys->close_device(d->fd);
    d->fd = -1;
}

bool device_gone(int error) {
    return error == ENODEV || error == ENXIO;
}

// Joining "disk" would open every disk of the machine to the user; a udev rule for the
// drive alone is the better way then.
bool worth_joining(const char* group) {
    return strcmp(group, "root") != 0 && strcmp(group, "disk") != 0;
}

void signal_completion(SRB_ExecSCSICmd* srb) {
    if (!(srb->SRB_Flags & SRB_EVENT_NOTIFY)) return;
    int event = aspi_postproc_to_event(srb->SRB_PostProc);
    uint64_t one = 1;
    while (write(event, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Opens the device on its first request; a device that cannot be opened is explained
// once. Returns SS_COMP when the device is open, else the status to answer.
uint8_t prepare_device(SgProvider* p, SgDevice* d) {
    int error = sg_open_device(p, d);
    if (error == 0) return SS_COMP;
    if (device_gone(error)) return SS_NO_DEVICE;
    if (!d->open_failure_reported && p->diag != nullptr) {
        sg_explain_open_failure(p->diag, "tervano: ", p->sys, d, error);
        fflush(p->diag);
    }
    d->open_failure_reported = true;
    return error == ENOENT ? SS_NO_DEVICE : SS_ERR;
}

void execute(SgProvider* p, SRB_ExecSCSICmd* srb) {
    uint8_t checked = sg_check_request(srb);
    if (checked != SS_COMP) {
        srb->SRB_Status = checked;
        return;
    }
    SgDevice* d = sg_find_device(&p->devices, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    uint8_t ready = d ? prepare_device(p, d) : SS_NO_DEVICE;
    if (ready != SS_COMP) {
        srb->SRB_Status = ready;
        return;
    }
    uint32_t timeout_ms = aspi_timeout_ms(srb) ? aspi_timeout_ms(srb) : kSgDefaultTimeoutMs;
    uint8_t sense[kSgSenseBufferSize] = {};
    sg_io_hdr_t io;
    sg_build_io(srb, timeout_ms, sense, &io);
    if (p->sys->send_sg_io(d->fd, &io) == 0) {
        sg_complete_request(&io, srb);
        return;
    }
    int error = errno;
    if (device_gone(error)) close_device(p, d);
    sg_fail_request(error, srb);
}

uint32_t exec_scsi_command(SgProvider* p, SRB_ExecSCSICmd* srb) {
    srb->SRB_Status = SS_PENDING;
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = STATUS_GOOD;
    execute(p, srb);
    signal_completion(srb);
    return srb->SRB_Status;
}

const SgDevice* first_device_of(const SgProvider* p, int adapter) {
    for (const SgDevice& d : p->devices) {
        if (d.adapter == adapter) return &d;
    }
    return nullptr;
}

uint32_t host_adapter_inquiry(SgProvider* p, SRB_HAInquiry* srb) {
    srb->HA_Count = static_cast<uint8_t>(std::min(p->adapter_count, kMaxAspiAdapters));
    const SgDevice* first = first_device_of(p, srb->SRB_HaId);
    if (first == nullptr) return srb->SRB_Status = SS_INVALID_HA;
    int highest_target = 7;
    for (const SgDevice& d : p->devices) {
        if (d.adapter == srb->SRB_HaId) highest_target = std::max(highest_target, d.target);
    }
    char identifier[32];
    snprintf(identifier, sizeof identifier, "scsi%d:%d", first->host, first->channel);
    srb->HA_SCSI_ID = kHostScsiId;
    put_text(srb->HA_ManagerId, sizeof srb->HA_ManagerId, "ASPI for WIN32");
    put_text(srb->HA_Identifier, sizeof srb->HA_Identifier, identifier);
    memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    put_le16(srb->HA_Unique, 0);  // buffer alignment mask: any address will do
    srb->HA_Unique[2] = kUniqueResidualSupported;
    srb->HA_Unique[3] = static_cast<uint8_t>(std::min(highest_target + 1, kMaxAspiAdapters));
    put_le32(srb->HA_Unique + 4, kMaxTransferLength);
    return srb->SRB_Status = SS_COMP;
}

uint32_t get_device_type(SgProvider* p, SRB_GDEVBlock* srb) {
    if (srb->SRB_HaId >= p->adapter_count) return srb->SRB_Status = SS_INVALID_HA;
    const SgDevice* d = sg_find_device(&p->devices, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (d == nullptr) return srb->SRB_Status = SS_NO_DEVICE;
    srb->SRB_DeviceType = d->device_type < 0 ? kNoDeviceType : static_cast<uint8_t>(d->device_type);
    return srb->SRB_Status = SS_COMP;
}

}  // namespace

void sg_provider_init(SgProvider* provider, const SgSystem* sys, const char* sysfs_devices,
                      FILE* diag) {
    provider->sys = sys;
    provider->sysfs_devices = sysfs_devices;
    provider->diag = diag;
    provider->devices.clear();
    provider->adapter_count = 0;
    provider->discovered = false;
}

void sg_provider_close(SgProvider* provider) {
    for (SgDevice& d : provider->devices) close_device(provider, &d);
}

uint32_t sg_support_info(SgProvider* provider) {
    sg_provider_close(provider);
    provider->adapter_count =
        sg_discover(provider->sys, provider->sysfs_devices, &provider->devices);
    provider->discovered = true;
    if (provider->adapter_count == 0) return uint32_t{SS_NO_ADAPTERS} << 8;
    int count = std::min(provider->adapter_count, kMaxAspiAdapters);
    return (uint32_t{SS_COMP} << 8) | static_cast<uint32_t>(count);
}

uint32_t sg_send_command(SgProvider* provider, void* request) {
    if (request == nullptr) return SS_INVALID_SRB;
    ensure_discovered(provider);
    auto* header = static_cast<SRB_Header*>(request);
    switch (header->SRB_Cmd) {
        case SC_EXEC_SCSI_CMD:
            return exec_scsi_command(provider, static_cast<SRB_ExecSCSICmd*>(request));
        case SC_HA_INQUIRY:
            return host_adapter_inquiry(provider, static_cast<SRB_HAInquiry*>(request));
        case SC_GET_DEV_TYPE:
            return get_device_type(provider, static_cast<SRB_GDEVBlock*>(request));
        case SC_ABORT_SRB:
            // Every request has ended before SendASPI32Command returned: none can be stopped.
            return header->SRB_Status = SS_ABORT_FAIL;
        default:
            // Among them SC_RESET_DEV: the kernel allows a device reset to privileged
            // processes only, and a reset would lose the tape's position anyway.
            return header->SRB_Status = SS_INVALID_CMD;
    }
}

int sg_open_device(SgProvider* provider, SgDevice* device) {
    if (device->fd >= 0) return 0;
    int fd = provider->sys->open_device(device->node, kOpenFlags);
    if (fd < 0) return errno ? errno : EIO;
    device->fd = fd;
    return 0;
}

void sg_explain_open_failure(FILE* out, const char* prefix, const SgSystem* sys,
                             const SgDevice* device, int error) {
    fprintf(out, "%scannot open %s (adapter:target %d:%d, %s %s): %s\n", prefix, device->node,
            device->adapter, device->target, device->vendor, device->product, strerror(error));
    if (error != EACCES && error != EPERM) return;
    char group[64];
    if (sys->rw_group(device->node, group, sizeof group) == 0 && worth_joining(group)) {
        fprintf(out,
                "%smembers of group \"%s\" may use it: \"sudo usermod -aG %s $USER\", then log in "
                "again,\n",
                prefix, group, group);
        fprintf(out, "%sor give the drive a udev rule (see linux-drives.md)\n", prefix);
    } else {
        fprintf(out,
                "%sgive your user read-write access to it with a udev rule (see linux-drives.md)\n",
                prefix);
    }
}
