#include "sg/sg_request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Sense data layouts of the SCSI primary commands standard.
constexpr uint8_t kSenseFixedCurrent = 0x70;
constexpr uint8_t kSenseFixedDeferred = 0x71;
constexpr uint8_t kSenseDescriptorCurrent = 0x72;
constexpr uint8_t kSenseDescriptorDeferred = 0x73;
constexpr uint8_t kSenseValid = 0x80;
constexpr uint8_t kSenseIli = 0x20;
constexpr uint8_t kSenseStreamFlags = 0xE0;  // FILEMARK, EOM, ILI
constexpr int kFixedSenseLength = 18;
constexpr uint8_t kMaxCdbLength = sizeof(SRB_ExecSCSICmd::CDBByte);
constexpr uint8_t kDescriptorInformation = 0x00;
constexpr uint8_t kDescriptorSenseKeySpecific = 0x02;
constexpr uint8_t kDescriptorFru = 0x03;
constexpr uint8_t kDescriptorStreamCommands = 0x04;

// ASPI has no code for a host failure of any other kind; a phase error is the nearest.
constexpr uint8_t kHaStatOtherFailure = HASTAT_PHASE_ERR;

uint32_t get_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t get_be64(const uint8_t* p) {
    return (uint64_t{get_be32(p)} << 32) | get_be32(p + 4);
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The 4-byte INFORMATION field of fixed sense holds a 64-bit value only when it survives
// sign extension (a negative residue for an overlength block included).
bool fits_in_32_bits(uint64_t v) {
    uint32_t high = static_cast<uint32_t>(v >> 32);
    return high == 0 || (high == 0xFFFFFFFFu && (v & 0x80000000u) != 0);
}

void copy_descriptor(const uint8_t* d, int length, uint8_t* fixed) {
    switch (d[0]) {
        case kDescriptorInformation:
            if (length >= 12 && (d[2] & kSenseValid) && fits_in_32_bits(get_be64(d + 4))) {
                fixed[0] |= kSenseValid;
                put_be32(fixed + 3, static_cast<uint32_t>(get_be64(d + 4)));
            }
            break;
        case kDescriptorSenseKeySpecific:
            if (length >= 7) memcpy(fixed + 15, d + 4, 3);
            break;
        case kDescriptorFru:
            if (length >= 4) fixed[14] = d[3];
            break;
        case kDescriptorStreamCommands:
            if (length >= 4) fixed[2] |= d[3] & kSenseStreamFlags;
            break;
        default:
            break;
    }
}

int descriptor_to_fixed(const uint8_t* sense, int length, uint8_t* fixed) {
    memset(fixed, 0, kFixedSenseLength);
    fixed[0] =
        (sense[0] & 0x7F) == kSenseDescriptorDeferred ? kSenseFixedDeferred : kSenseFixedCurrent;
    fixed[7] = kFixedSenseLength - 8;
    if (length < 8) return kFixedSenseLength;
    fixed[2] = sense[1] & 0x0F;
    fixed[12] = sense[2];
    fixed[13] = sense[3];
    int end = std::min(length, 8 + sense[7]);
    // Each descriptor: type, additional length, then that many bytes.
    for (int at = 8; at + 2 <= end;) {
        int descriptor_length = 2 + sense[at + 1];
        if (at + descriptor_length > end) break;
        copy_descriptor(sense + at, descriptor_length, fixed);
        at += descriptor_length;
    }
    return kFixedSenseLength;
}

// The residue after a read: the sense INFORMATION field after an incorrect-length
// condition, otherwise the driver's count, within 0..requested.
uint32_t residual_count(const sg_io_hdr_t* io, const uint8_t* fixed, int fixed_length,
                        uint32_t requested) {
    if (fixed_length >= 7 && (fixed[0] & kSenseValid) && (fixed[2] & kSenseIli)) {
        int32_t info = static_cast<int32_t>(get_be32(fixed + 3));
        if (info < 0) return 0;  // the block was longer than asked: the buffer is full
        return std::min(static_cast<uint32_t>(info), requested);
    }
    if (io->resid <= 0) return 0;
    return std::min(static_cast<uint32_t>(io->resid), requested);
}

int direction_of(const SRB_ExecSCSICmd* srb) {
    if (srb->SRB_BufLen == 0) return SG_DXFER_NONE;
    return (srb->SRB_Flags & SRB_DIR_OUT) ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
}

void set_outcome(SRB_ExecSCSICmd* srb, uint8_t status, uint8_t ha_stat) {
    srb->SRB_HaStat = ha_stat;
    srb->SRB_Status = status;
}

// Status and host code for a host byte other than DID_OK.
void map_host_failure(uint16_t host, SRB_ExecSCSICmd* srb) {
    switch (host) {
        case SG_DID_NO_CONNECT:
        case SG_DID_BAD_TARGET:
            return set_outcome(srb, SS_NO_DEVICE, HASTAT_SEL_TO);
        case SG_DID_TIME_OUT:
            return set_outcome(srb, SS_ABORTED, HASTAT_COMMAND_TIMEOUT);
        case SG_DID_ABORT:
            return set_outcome(srb, SS_ABORTED, HASTAT_OK);
        case SG_DID_BUS_BUSY:
            return set_outcome(srb, SS_ERR, HASTAT_TIMEOUT);
        case SG_DID_PARITY:
            return set_outcome(srb, SS_ERR, HASTAT_PARITY_ERROR);
        case SG_DID_RESET:
            return set_outcome(srb, SS_ERR, HASTAT_BUS_RESET);
        case SG_DID_TRANSPORT_DISRUPTED:
        case SG_DID_TRANSPORT_FAILFAST:
            return set_outcome(srb, SS_ERR, HASTAT_BUS_FREE);
        default:
            return set_outcome(srb, SS_ERR, kHaStatOtherFailure);
    }
}

bool scsi_status_good(uint8_t status) {
    uint8_t code = status & 0x7E;
    return code == 0 || code == kScsiStatusConditionMet || code == kScsiStatusIntermediate ||
           code == kScsiStatusIntermediateMet;
}

// CHECK CONDITION: the sense data, in fixed format, go to the request's sense area.
void complete_check_condition(const sg_io_hdr_t* io, SRB_ExecSCSICmd* srb) {
    uint8_t fixed[kSgSenseBufferSize] = {};
    int received = std::min<int>(io->sb_len_wr, io->mx_sb_len);
    int fixed_length = received > 0 ? sg_fixed_sense(io->sbp, received, fixed, sizeof fixed) : 0;
    if (fixed_length == 0) {
        set_outcome(srb, SS_ERR, HASTAT_REQUEST_SENSE_FAILED);
        return;
    }
    int wanted = std::min<int>(srb->SRB_SenseLen, sizeof srb->SenseArea);
    memcpy(srb->SenseArea, fixed, std::min(fixed_length, wanted));
    if (srb->SRB_Flags & SRB_ENABLE_RESIDUAL_COUNT)
        srb->SRB_BufLen = residual_count(io, fixed, fixed_length, srb->SRB_BufLen);
    set_outcome(srb, SS_ERR, HASTAT_OK);
}

}  // namespace

uint8_t sg_check_request(const SRB_ExecSCSICmd* srb) {
    if (srb->SRB_CDBLen < 6 || srb->SRB_CDBLen > kMaxCdbLength) return SS_INVALID_SRB;
    if (srb->SRB_BufLen == 0) return SS_COMP;
    if (srb->SRB_BufPointer == nullptr) return SS_INVALID_SRB;
    // Data need exactly one direction: without one, only the command would tell, and the
    // provider does not know every command's direction.
    bool in = (srb->SRB_Flags & SRB_DIR_IN) != 0;
    bool out = (srb->SRB_Flags & SRB_DIR_OUT) != 0;
    return in != out ? SS_COMP : SS_INVALID_SRB;
}

void sg_build_io(SRB_ExecSCSICmd* srb, uint32_t timeout_ms, uint8_t* sense, sg_io_hdr_t* io) {
    memset(io, 0, sizeof *io);
    io->interface_id = 'S';
    io->dxfer_direction = direction_of(srb);
    io->cmd_len = srb->SRB_CDBLen;
    io->cmdp = srb->CDBByte;
    io->mx_sb_len = kSgSenseBufferSize;
    io->sbp = sense;
    io->dxfer_len = srb->SRB_BufLen;
    io->dxferp = srb->SRB_BufLen ? srb->SRB_BufPointer : nullptr;
    io->timeout = timeout_ms;
}

void sg_complete_request(const sg_io_hdr_t* io, SRB_ExecSCSICmd* srb) {
    uint16_t driver_code = io->driver_status & kSgDriverCodeMask;
    srb->SRB_TargStat = io->status;
    if (io->host_status == SG_DID_TIME_OUT || driver_code == kSgDriverTimeout)
        return set_outcome(srb, SS_ABORTED, HASTAT_COMMAND_TIMEOUT);
    if (io->host_status == SG_DID_NO_CONNECT || io->host_status == SG_DID_BAD_TARGET)
        return map_host_failure(io->host_status, srb);
    if ((io->status & 0x7E) == kScsiStatusCheckCondition) {
        // The target answered: its sense data tell more than any host code could.
        return complete_check_condition(io, srb);
    }
    if (io->host_status != SG_DID_OK) return map_host_failure(io->host_status, srb);
    if (driver_code != 0) return set_outcome(srb, SS_ERR, kHaStatOtherFailure);
    if (!scsi_status_good(io->status)) return set_outcome(srb, SS_ERR, HASTAT_OK);
    if (srb->SRB_Flags & SRB_ENABLE_RESIDUAL_COUNT)
        srb->SRB_BufLen = residual_count(io, nullptr, 0, srb->SRB_BufLen);
    set_outcome(srb, SS_COMP, HASTAT_OK);
}

void sg_fail_request(int error, SRB_ExecSCSICmd* srb) {
    switch (error) {
        case ENODEV:
        case ENXIO:
            return set_outcome(srb, SS_NO_DEVICE, HASTAT_OK);
        case ETIMEDOUT:
            return set_outcome(srb, SS_ABORTED, HASTAT_COMMAND_TIMEOUT);
        case EINTR:
            // The command may have reached the drive: it is never sent twice.
            return set_outcome(srb, SS_ABORTED, HASTAT_OK);
        case ENOMEM:
            return set_outcome(srb, SS_INSUFFICIENT_RESOURCES, HASTAT_OK);
        case EBUSY:
        case EAGAIN:
        case EDOM:
            return set_outcome(srb, SS_ASPI_IS_BUSY, HASTAT_OK);
        case EINVAL:
        case EMSGSIZE:
        case EFAULT:
        case EOVERFLOW:
            return set_outcome(srb, SS_INVALID_SRB, HASTAT_OK);
        default:
            return set_outcome(srb, SS_ERR, kHaStatOtherFailure);
    }
}

int sg_fixed_sense(const uint8_t* sense, int length, uint8_t* fixed, int fixed_size) {
    if (length <= 0 || fixed_size < kFixedSenseLength) return 0;
    uint8_t code = sense[0] & 0x7F;
    if (code == kSenseDescriptorCurrent || code == kSenseDescriptorDeferred)
        return descriptor_to_fixed(sense, length, fixed);
    int n = std::min(length, fixed_size);
    memcpy(fixed, sense, n);
    return n;
}
