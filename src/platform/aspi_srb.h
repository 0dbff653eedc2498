#pragma once
// ASPI for Win32 request layouts and constants, shared by the program's transport and
// every ASPI provider library. The layouts are the published ones with 1-byte packing;
// pointer fields are pointer-sized on this platform, so offsets differ from 32-bit
// Windows.
//
// Completion on POSIX: SRB_PostProc of an SRB_EVENT_NOTIFY request holds an eventfd
// descriptor (stored in the pointer-sized field); the provider writes 1 to it when the
// request is done. A provider may also complete before SendASPI32Command returns.

#include <cstdint>

// command codes
constexpr uint8_t SC_HA_INQUIRY = 0x00;
constexpr uint8_t SC_GET_DEV_TYPE = 0x01;
constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr uint8_t SC_ABORT_SRB = 0x03;
constexpr uint8_t SC_RESET_DEV = 0x04;

// SRB_Status values
constexpr uint8_t SS_PENDING = 0x00;
constexpr uint8_t SS_COMP = 0x01;
constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ABORT_FAIL = 0x03;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_INVALID_HA = 0x81;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_INVALID_SRB = 0xE0;
constexpr uint8_t SS_BUFFER_ALIGN = 0xE1;
constexpr uint8_t SS_ILLEGAL_MODE = 0xE2;
constexpr uint8_t SS_NO_ASPI = 0xE3;
constexpr uint8_t SS_FAILED_INIT = 0xE4;
constexpr uint8_t SS_ASPI_IS_BUSY = 0xE5;
constexpr uint8_t SS_BUFFER_TO_BIG = 0xE6;
constexpr uint8_t SS_MISMATCHED_COMPONENTS = 0xE7;
constexpr uint8_t SS_NO_ADAPTERS = 0xE8;
constexpr uint8_t SS_INSUFFICIENT_RESOURCES = 0xE9;
constexpr uint8_t SS_ASPI_IS_SHUTDOWN = 0xEA;
constexpr uint8_t SS_BAD_INSTALL = 0xEB;

// SRB_HaStat values
constexpr uint8_t HASTAT_OK = 0x00;
constexpr uint8_t HASTAT_TIMEOUT = 0x09;
constexpr uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;
constexpr uint8_t HASTAT_MESSAGE_REJECT = 0x0D;
constexpr uint8_t HASTAT_BUS_RESET = 0x0E;
constexpr uint8_t HASTAT_PARITY_ERROR = 0x0F;
constexpr uint8_t HASTAT_REQUEST_SENSE_FAILED = 0x10;
constexpr uint8_t HASTAT_SEL_TO = 0x11;
constexpr uint8_t HASTAT_DO_DU = 0x12;
constexpr uint8_t HASTAT_BUS_FREE = 0x13;
constexpr uint8_t HASTAT_PHASE_ERR = 0x14;

// SRB_TargStat values (SCSI status byte)
constexpr uint8_t STATUS_GOOD = 0x00;
constexpr uint8_t STATUS_CHKCOND = 0x02;
constexpr uint8_t STATUS_BUSY = 0x08;
constexpr uint8_t STATUS_RESCONF = 0x18;

// SRB_Flags
constexpr uint8_t SRB_POSTING = 0x01;
constexpr uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;

constexpr int SENSE_LEN = 14;

#pragma pack(push, 1)

struct SRB_Header {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;
    uint8_t HA_SCSI_ID;
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];
    uint16_t HA_Rsvd1;
};

struct SRB_GDEVBlock {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void* SRB_PostProc;
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[16];
    uint8_t SenseArea[SENSE_LEN + 2];
};

struct SRB_Abort {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};

struct SRB_BusDeviceReset {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_Rsvd1[12];
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void* SRB_PostProc;
    uint8_t SRB_Rsvd2[36];
};

#pragma pack(pop)

static_assert(sizeof(void*) != 8 || sizeof(SRB_ExecSCSICmd) == 88, "SRB_ExecSCSICmd layout");

// The eventfd of an SRB_EVENT_NOTIFY request lives in its pointer-sized SRB_PostProc.
inline void* aspi_event_to_postproc(int fd) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(fd));
}
inline int aspi_postproc_to_event(void* p) {
    return static_cast<int>(reinterpret_cast<intptr_t>(p));
}

// The caller's timeout may travel in SRB_Hdr_Rsvd of an SC_EXEC_SCSI_CMD request, in
// milliseconds; 0 means none given and the provider picks its own. A provider that carries
// the command out before SendASPI32Command returns needs it: nobody else can stop a
// command that hangs.
inline void aspi_set_timeout_ms(SRB_ExecSCSICmd* srb, uint32_t ms) {
    srb->SRB_Hdr_Rsvd = ms;
}
inline uint32_t aspi_timeout_ms(const SRB_ExecSCSICmd* srb) {
    return srb->SRB_Hdr_Rsvd;
}

// The two entry points every provider exports.
extern "C" {
typedef uint32_t (*GetASPI32SupportInfoFn)(void);
typedef uint32_t (*SendASPI32CommandFn)(void* srb);
}
