#include "scsi/aspi_transport.h"

#include <limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/aspi_srb.h"
#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/event.h"

#ifndef TERVANO_PROVIDER_DIR
#define TERVANO_PROVIDER_DIR "/usr/local/lib/tervano"
#endif

namespace {

constexpr const char* kDefaultProvider = "libaspi_sg.so";
constexpr int kMaxCdbLength = 16;
// No command of the program moves more than one frame; anything far beyond is a bad
// length, not a transfer.
constexpr uint32_t kMaxTransferBytes = 16u * 1024u * 1024u;

// What the provider works on: the request, its data buffer and its completion event.
// The transport owns them, so that a request that times out can be parked for the
// provider instead of pointing it at memory the caller has moved on from.
struct RequestSlot {
    SRB_ExecSCSICmd srb;
    uint8_t* data;
    uint32_t capacity;
    int event;
    RequestSlot* next_parked;
};

struct AspiModule {
    LibraryHandle library;
    GetASPI32SupportInfoFn support;
    SendASPI32CommandFn send;
    RequestSlot* idle;    // the slot reused by the next command
    RequestSlot* parked;  // timed-out requests: never freed, never reused
    int parked_count;
    int unanswered;  // requests that timed out, parked or bounded by the provider
    uint32_t last_unanswered_timeout_ms;
};

AspiModule g_aspi;

ScsiStatus status_only(uint8_t srb_status) {
    return static_cast<ScsiStatus>(srb_status) << 24;
}

// The provider may complete from another thread.
uint8_t request_status(const SRB_ExecSCSICmd* srb) {
    return __atomic_load_n(&srb->SRB_Status, __ATOMIC_ACQUIRE);
}

ScsiStatus pack_status(const SRB_ExecSCSICmd* srb) {
    return status_only(request_status(srb)) | static_cast<ScsiStatus>(srb->SenseArea[2]) << 16 |
           static_cast<ScsiStatus>(srb->SenseArea[12]) << 8 | srb->SenseArea[13];
}

void destroy_slot(RequestSlot* slot) {
    platform_event_close(slot->event);
    delete[] slot->data;
    delete slot;
}

RequestSlot* create_slot() {
    auto* slot = new (std::nothrow) RequestSlot{};
    if (!slot) return nullptr;
    slot->event = platform_event_create();
    if (slot->event < 0) {
        delete slot;
        return nullptr;
    }
    return slot;
}

bool reserve_data(RequestSlot* slot, uint32_t length) {
    if (slot->capacity >= length) return true;
    auto* data = new (std::nothrow) uint8_t[length];
    if (!data) return false;
    delete[] slot->data;
    slot->data = data;
    slot->capacity = length;
    return true;
}

// The idle slot, or a new one with its own event; nullptr when either cannot be had.
RequestSlot* take_slot(uint32_t length) {
    RequestSlot* slot = g_aspi.idle ? g_aspi.idle : create_slot();
    g_aspi.idle = nullptr;
    if (!slot) return nullptr;
    if (!reserve_data(slot, length)) {
        destroy_slot(slot);
        return nullptr;
    }
    return slot;
}

void release_slot(RequestSlot* slot) {
    if (g_aspi.idle) {
        destroy_slot(slot);
        return;
    }
    g_aspi.idle = slot;
}

void park_slot(RequestSlot* slot) {
    slot->next_parked = g_aspi.parked;
    g_aspi.parked = slot;
    g_aspi.parked_count++;
}

void count_unanswered(uint32_t timeout_ms) {
    g_aspi.unanswered++;
    g_aspi.last_unanswered_timeout_ms = timeout_ms;
}

// A provider that bounds a command itself reports its timeout in the host status.
bool provider_timed_out(const SRB_ExecSCSICmd* srb) {
    return srb->SRB_HaStat == HASTAT_TIMEOUT || srb->SRB_HaStat == HASTAT_COMMAND_TIMEOUT;
}

void drop_idle_slot() {
    if (g_aspi.idle) destroy_slot(g_aspi.idle);
    g_aspi.idle = nullptr;
}

void fill_request(RequestSlot* slot, int adapter, int target, int lun, const uint8_t* cdb,
                  int cdb_length, uint32_t length, int data_out, uint32_t timeout_ms) {
    SRB_ExecSCSICmd* srb = &slot->srb;
    *srb = SRB_ExecSCSICmd{};
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = static_cast<uint8_t>(adapter);
    // A provider that carries the command out inside SendASPI32Command bounds it itself.
    aspi_set_timeout_ms(srb, timeout_ms);
    // Commands without data go out as direction in with a zero length.
    srb->SRB_Flags = SRB_EVENT_NOTIFY | (data_out ? SRB_DIR_OUT : SRB_DIR_IN);
    srb->SRB_Target = static_cast<uint8_t>(target);
    srb->SRB_Lun = static_cast<uint8_t>(lun);
    srb->SRB_BufLen = length;
    srb->SRB_BufPointer = length ? slot->data : nullptr;
    srb->SRB_SenseLen = SENSE_LEN;
    srb->SRB_CDBLen = static_cast<uint8_t>(cdb_length);
    srb->SRB_PostProc = aspi_event_to_postproc(slot->event);
    memcpy(srb->CDBByte, cdb, static_cast<size_t>(cdb_length));
}

// true when the request completed within timeout_ms. A provider that completes at once
// may still signal the event, and one that completes on another thread may signal it
// after we saw the status: the event is reset after every completion, and a signal left
// over from an earlier request only makes us look at the status again.
bool wait_for_completion(RequestSlot* slot, uint32_t timeout_ms) {
    const uint32_t start = platform_now_ms();
    while (request_status(&slot->srb) == SS_PENDING) {
        uint32_t elapsed = platform_now_ms() - start;
        if (elapsed >= timeout_ms) return false;
        if (!platform_event_wait(slot->event, timeout_ms - elapsed)) {
            return request_status(&slot->srb) != SS_PENDING;
        }
        platform_event_reset(slot->event);
    }
    platform_event_reset(slot->event);
    return true;
}

LibraryHandle open_in_folder(const char* folder) {
    char path[PATH_MAX];
    int length = snprintf(path, sizeof path, "%s/%s", folder, kDefaultProvider);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return nullptr;
    return platform_library_open(path);
}

// TERVANO_ASPI names the provider; otherwise the one installed with the program,
// beside the executable first, then in the install's library folder.
LibraryHandle open_provider() {
    const char* named = getenv("TERVANO_ASPI");
    if (named && *named) return platform_library_open(named);
    char folder[PATH_MAX];
    if (platform_executable_dir(folder, sizeof folder) == 0) {
        LibraryHandle library = open_in_folder(folder);
        if (library) return library;
    }
    return open_in_folder(TERVANO_PROVIDER_DIR);
}

}  // namespace

extern "C" int load_ASPI() {
    unload_ASPI();
    LibraryHandle library = open_provider();
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(
        platform_library_symbol(library, "GetASPI32SupportInfo"));
    auto send = reinterpret_cast<SendASPI32CommandFn>(
        platform_library_symbol(library, "SendASPI32Command"));
    if (!support || !send) {
        // A library without both entry points is no provider at all.
        platform_library_close(library);
        printf("Can't find WNASPI32.DLL file\n");
        return -1;
    }
    g_aspi.library = library;
    g_aspi.support = support;
    g_aspi.send = send;

    uint32_t info = support();
    int adapters = static_cast<int>(info & 0xFFu);
    uint8_t status = static_cast<uint8_t>(info >> 8);
    if (adapters != 0 && status == SS_COMP) return adapters;
    printf("No ASPI for WIN32 support detected.\n");
    printf("ASPI32 status %.8x\n", info);
    return -1;
}

extern "C" int unload_ASPI() {
    drop_idle_slot();
    g_aspi.support = nullptr;
    g_aspi.send = nullptr;
    LibraryHandle library = g_aspi.library;
    g_aspi.library = nullptr;
    if (!library) return 0;
    // A parked request may still be running inside the provider: its code stays mapped.
    if (g_aspi.parked) return 1;
    return platform_library_close(library) == 0 ? 1 : 0;
}

extern "C" ScsiStatus ASPI_Call(int adapter, int target, int lun, const uint8_t* cdb,
                                int cdb_length, uint8_t* buffer, uint32_t buffer_length,
                                int data_out, uint32_t timeout_ms) {
    if (buffer_length > 0 && !buffer) return status_only(SS_INVALID_SRB);
    if (buffer_length > kMaxTransferBytes) return status_only(SS_BUFFER_TO_BIG);
    if (!data_out && buffer_length > 0) memset(buffer, 0, buffer_length);
    if (!cdb || cdb_length < 1 || cdb_length > kMaxCdbLength) return status_only(SS_INVALID_SRB);
    if (!g_aspi.send) return status_only(SS_NO_ASPI);

    RequestSlot* slot = take_slot(buffer_length);
    if (!slot) return status_only(SS_INSUFFICIENT_RESOURCES);
    fill_request(slot, adapter, target, lun, cdb, cdb_length, buffer_length, data_out, timeout_ms);
    if (buffer_length > 0) {
        if (data_out) {
            memcpy(slot->data, buffer, buffer_length);
        } else {
            memset(slot->data, 0, buffer_length);
        }
    }

    uint32_t accepted = g_aspi.send(&slot->srb);
    // A provider that refuses a request may say so only in its return value; waiting out
    // the timeout for it would also park the slot for nothing.
    if (accepted != SS_PENDING && accepted != SS_COMP && request_status(&slot->srb) == SS_PENDING) {
        release_slot(slot);
        return status_only(static_cast<uint8_t>(accepted));
    }
    if (!wait_for_completion(slot, timeout_ms)) {
        park_slot(slot);
        count_unanswered(timeout_ms);
        return status_only(SS_PENDING);
    }
    if (provider_timed_out(&slot->srb)) count_unanswered(timeout_ms);
    ScsiStatus status = pack_status(&slot->srb);
    if (!data_out && buffer_length > 0) memcpy(buffer, slot->data, buffer_length);
    release_slot(slot);
    return status;
}

void aspi_set_provider_for_test(uint32_t (*support)(), uint32_t (*send)(void* srb)) {
    unload_ASPI();
    g_aspi.support = support;
    g_aspi.send = send;
}

int aspi_parked_requests() {
    return g_aspi.parked_count;
}

int aspi_unanswered_requests() {
    return g_aspi.unanswered;
}

uint32_t aspi_last_unanswered_timeout_ms() {
    return g_aspi.last_unanswered_timeout_ms;
}
