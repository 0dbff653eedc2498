#pragma once
// Carrying out an ASPI SC_EXEC_SCSI_CMD request with SG_IO, and mapping its outcome back
// onto SRB_Status, SRB_HaStat, SRB_TargStat and the sense area.
//
// How the kernel's answer becomes an ASPI status:
//
//   kernel outcome                            SRB_Status     SRB_HaStat
//   timeout (host DID_TIME_OUT, driver        SS_ABORTED     HASTAT_COMMAND_TIMEOUT
//     DRIVER_TIMEOUT, ioctl ETIMEDOUT)
//   host DID_NO_CONNECT, DID_BAD_TARGET       SS_NO_DEVICE   HASTAT_SEL_TO
//   CHECK CONDITION with sense                SS_ERR         HASTAT_OK, sense copied
//   CHECK CONDITION without sense             SS_ERR         HASTAT_REQUEST_SENSE_FAILED
//   host DID_ABORT                            SS_ABORTED     HASTAT_OK
//   other host or driver failures             SS_ERR         nearest HASTAT_* code
//   status BUSY, RESERVATION CONFLICT, ...    SS_ERR         HASTAT_OK
//   status GOOD, CONDITION MET, INTERMEDIATE  SS_COMP        HASTAT_OK
//
// SRB_TargStat always carries the SCSI status byte. A read that returns fewer bytes than
// asked leaves the rest of the buffer untouched, as the caller prepared it; with
// SRB_ENABLE_RESIDUAL_COUNT, SRB_BufLen comes back as the residue, taken from the sense
// INFORMATION field after an incorrect-length read (drivers often get that count wrong
// for tape reads) and from the driver's residual count otherwise.

#include <scsi/sg.h>

#include <cstdint>

#include "platform/aspi_srb.h"

// Sense is read into a buffer this large, so that descriptor-format sense with several
// descriptors fits; the request's sense area gets the first bytes in fixed format.
constexpr int kSgSenseBufferSize = 64;

// Used when the request carries no timeout: the longest timeout the program gives any
// command, which is also the sg driver's own default.
constexpr uint32_t kSgDefaultTimeoutMs = 60000;

// The kernel's host byte values (DID_*), the low bits of its driver byte (DRIVER_*) and
// the SCSI status codes that the mapping tells apart.
enum SgHostStatus : uint16_t {
    SG_DID_OK = 0x00,
    SG_DID_NO_CONNECT = 0x01,
    SG_DID_BUS_BUSY = 0x02,
    SG_DID_TIME_OUT = 0x03,
    SG_DID_BAD_TARGET = 0x04,
    SG_DID_ABORT = 0x05,
    SG_DID_PARITY = 0x06,
    SG_DID_ERROR = 0x07,
    SG_DID_RESET = 0x08,
    SG_DID_TRANSPORT_DISRUPTED = 0x0E,
    SG_DID_TRANSPORT_FAILFAST = 0x0F,
};
constexpr uint16_t kSgDriverCodeMask = 0x07;
constexpr uint16_t kSgDriverTimeout = 0x06;
constexpr uint8_t kScsiStatusCheckCondition = 0x02;
constexpr uint8_t kScsiStatusConditionMet = 0x04;
constexpr uint8_t kScsiStatusIntermediate = 0x10;
constexpr uint8_t kScsiStatusIntermediateMet = 0x14;

// SS_COMP when the request can be sent as it stands, else the status to answer it with.
uint8_t sg_check_request(const SRB_ExecSCSICmd* srb);

// Fills io for the request; sense points to kSgSenseBufferSize bytes.
void sg_build_io(SRB_ExecSCSICmd* srb, uint32_t timeout_ms, uint8_t* sense, sg_io_hdr_t* io);

// Maps a finished SG_IO (the ioctl returned 0) onto the request.
void sg_complete_request(const sg_io_hdr_t* io, SRB_ExecSCSICmd* srb);

// Maps an SG_IO that the ioctl refused with error onto the request.
void sg_fail_request(int error, SRB_ExecSCSICmd* srb);

// Rewrites sense data in fixed format (response code 70h/71h), where the program looks
// for the sense key in byte 2 and ASC/ASCQ in bytes 12/13. Fixed-format sense is copied
// as it is. Returns the number of bytes written to fixed (at most fixed_size, which must
// be at least 18).
int sg_fixed_sense(const uint8_t* sense, int length, uint8_t* fixed, int fixed_size);
