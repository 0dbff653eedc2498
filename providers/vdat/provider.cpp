#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bay.h"
#include "drive.h"
#include "platform/aspi_srb.h"
#include "vdat.h"

// The provider: the bay of drives, the request entry points, the worker that completes
// requests of slow drives, and the trace.

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Pending {
    SRB_ExecSCSICmd* srb;
    Drive* drive;
};

struct Provider {
    std::vector<std::unique_ptr<Drive>> drives;
    int adapter_count = 0;
    int trace_fd = -1;
    // One lock for the drives, the trace and the queue: requests run one at a time.
    std::mutex mutex;
    std::condition_variable queue_changed;
    std::multimap<SteadyClock::time_point, Pending> queue;  // equal times stay in order
    bool stopping = false;
    std::thread worker;
};

std::mutex g_lifecycle;
Provider* g_provider = nullptr;

constexpr size_t kTraceLineBytes = 160;

Drive* find_drive(Provider* provider, int adapter, int target, int lun) {
    if (lun != 0) return nullptr;
    for (const std::unique_ptr<Drive>& drive : provider->drives) {
        if (drive->config.adapter == adapter && drive->config.target == target) return drive.get();
    }
    return nullptr;
}

void load_bay(Provider* provider, const char* path) {
    std::vector<DriveConfig> configs;
    std::string error;
    if (bay_read(path, &configs, &error) != 0) {
        fprintf(stderr, "vdat: %s: %s; the bay has no drives\n", path, error.c_str());
        return;
    }
    for (const DriveConfig& config : configs) {
        auto drive = std::make_unique<Drive>();
        if (drive_open(config, drive.get(), &error) != 0) {
            fprintf(stderr, "vdat: %s: [%d:%d] %s; the bay has no drives\n", path, config.adapter,
                    config.target, error.c_str());
            provider->drives.clear();
            return;
        }
        provider->drives.push_back(std::move(drive));
    }
    for (const std::unique_ptr<Drive>& drive : provider->drives) {
        provider->adapter_count = std::max(provider->adapter_count, drive->config.adapter + 1);
    }
}

void open_trace(Provider* provider) {
    const char* path = getenv("VDAT_TRACE");
    if (!path || !*path) return;
    provider->trace_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (provider->trace_fd < 0) {
        fprintf(stderr, "vdat: cannot open trace file %s: %s\n", path, strerror(errno));
    }
}

Provider* provider() {
    std::lock_guard<std::mutex> lock(g_lifecycle);
    if (!g_provider) {
        g_provider = new Provider;
        const char* config = getenv("VDAT_CONFIG");
        if (config && *config) load_bay(g_provider, config);
        open_trace(g_provider);
    }
    return g_provider;
}

const char* direction_name(const SRB_ExecSCSICmd* srb) {
    if (srb->SRB_BufLen == 0) return "none";
    return (srb->SRB_Flags & SRB_DIR_OUT) ? "out" : "in";
}

// A line built by hand: every test run traces every command, and printf-style
// formatting would cost more than the command itself. What does not fit is dropped.
struct LineWriter {
    char* line;
    size_t size;
    size_t length = 0;

    void put(char c) {
        if (length < size) line[length++] = c;
    }
    void text(const char* s) {
        while (*s) put(*s++);
    }
    void hex(uint8_t byte) {
        put("0123456789abcdef"[byte >> 4]);
        put("0123456789abcdef"[byte & 0x0F]);
    }
    void number(uint32_t value) {
        char digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) put(digits[--count]);
    }
};

// "0:4:0 08 00 00 16 be 00 in 5822 -> 01 00 00 00": at most 11 + 16 * 3 + 33 characters.
size_t format_trace(const SRB_ExecSCSICmd* srb, uint8_t status, const uint8_t* sense, char* line,
                    size_t size) {
    LineWriter out{line, size};
    out.number(srb->SRB_HaId);
    out.put(':');
    out.number(srb->SRB_Target);
    out.put(':');
    out.number(srb->SRB_Lun);
    int cdb_length = std::min<int>(srb->SRB_CDBLen, sizeof srb->CDBByte);
    for (int i = 0; i < cdb_length; ++i) {
        out.put(' ');
        out.hex(srb->CDBByte[i]);
    }
    out.put(' ');
    out.text(direction_name(srb));
    out.put(' ');
    out.number(srb->SRB_BufLen);
    out.text(" ->");
    for (uint8_t byte : {status, sense[2], sense[12], sense[13]}) {
        out.put(' ');
        out.hex(byte);
    }
    out.put('\n');
    return out.length;
}

void write_trace(Provider* provider, const char* line, size_t length) {
    if (provider->trace_fd < 0 || length == 0) return;
    ssize_t written = write(provider->trace_fd, line, length);
    (void)written;  // a full disk loses trace lines, not requests
}

// Only an eventfd is signalled: a caller that gave up on a request and closed its event
// may have reused the descriptor for a file, which eight stray bytes would damage.
void signal_event(int fd, bool check_kind) {
    if (fd < 0) return;
    if (check_kind) {
        char link[64];
        char target[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (length >= 0) {
            target[length] = '\0';
            if (strcmp(target, "anon_inode:[eventfd]") != 0) return;
        }
    }
    uint64_t one = 1;
    ssize_t written = write(fd, &one, sizeof one);
    (void)written;  // a counter that is full is signalled already
}

// Writes the outcome into the request and signals its event. The request may be reused
// by its owner as soon as SRB_Status is set: nothing of it is touched afterwards.
void complete(Provider* provider, SRB_ExecSCSICmd* srb, uint8_t status, const ScsiResult& result,
              bool from_worker) {
    srb->SRB_HaStat = result.host_status;
    srb->SRB_TargStat = result.target_status;
    size_t sense_length = std::min<size_t>(srb->SRB_SenseLen, sizeof srb->SenseArea);
    memset(srb->SenseArea, 0, sense_length);
    if (result.target_status == STATUS_CHKCOND) {
        memcpy(srb->SenseArea, result.sense, std::min(sense_length, kSenseBytes));
    }
    // The line is made before the status is set: from then on the request is its owner's.
    char line[kTraceLineBytes];
    size_t line_length = 0;
    if (provider->trace_fd >= 0) {
        line_length = format_trace(srb, status, result.sense, line, sizeof line);
    }
    int event =
        (srb->SRB_Flags & SRB_EVENT_NOTIFY) ? aspi_postproc_to_event(srb->SRB_PostProc) : -1;
    __atomic_store_n(&srb->SRB_Status, status, __ATOMIC_RELEASE);
    write_trace(provider, line, line_length);
    signal_event(event, from_worker);
}

// A drive that has stopped answering: the request stays pending for ever. Nothing keeps
// it, so nothing can touch it after its owner has given up on it.
uint32_t hang(Provider* provider, SRB_ExecSCSICmd* srb) {
    __atomic_store_n(&srb->SRB_Status, SS_PENDING, __ATOMIC_RELEASE);
    if (provider->trace_fd >= 0) {
        char line[kTraceLineBytes];
        uint8_t no_sense[kSenseBytes] = {};
        write_trace(provider, line, format_trace(srb, SS_PENDING, no_sense, line, sizeof line));
    }
    return SS_PENDING;
}

void complete_without_drive(Provider* provider, SRB_ExecSCSICmd* srb, uint8_t status) {
    ScsiResult result{};
    if (status == SS_NO_DEVICE) result.host_status = HASTAT_SEL_TO;
    complete(provider, srb, status, result, false);
}

uint8_t execute(Provider* provider, SRB_ExecSCSICmd* srb, Drive* drive, bool from_worker) {
    ScsiRequest request{srb->CDBByte, srb->SRB_CDBLen, srb->SRB_BufPointer, srb->SRB_BufLen};
    ScsiResult result;
    drive_execute(drive, request, &result);
    bool failed = result.host_status != HASTAT_OK || result.target_status != STATUS_GOOD;
    uint8_t status = failed ? SS_ERR : SS_COMP;
    complete(provider, srb, status, result, from_worker);
    return status;
}

void worker_loop(Provider* provider) {
    std::unique_lock<std::mutex> lock(provider->mutex);
    for (;;) {
        if (provider->queue.empty()) {
            if (provider->stopping) return;
            provider->queue_changed.wait(lock);
            continue;
        }
        auto first = provider->queue.begin();
        // At shutdown what is queued completes at once: its callers are still waiting.
        if (!provider->stopping && SteadyClock::now() < first->first) {
            provider->queue_changed.wait_until(lock, first->first);
            continue;
        }
        Pending pending = first->second;
        provider->queue.erase(first);
        execute(provider, pending.srb, pending.drive, true);
    }
}

uint32_t execute_scsi_command(Provider* provider, SRB_ExecSCSICmd* srb) {
    std::lock_guard<std::mutex> lock(provider->mutex);
    Drive* drive = find_drive(provider, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    if (!drive) {
        complete_without_drive(provider, srb, SS_NO_DEVICE);
        return SS_NO_DEVICE;
    }
    if (drive->config.hang_at > 0 && ++drive->requests >= drive->config.hang_at) {
        return hang(provider, srb);
    }
    bool cdb_fits = srb->SRB_CDBLen >= 1 && srb->SRB_CDBLen <= sizeof srb->CDBByte &&
                    srb->SRB_CDBLen >= cdb_length_of(srb->CDBByte[0]);
    if (!cdb_fits || (srb->SRB_BufLen > 0 && !srb->SRB_BufPointer)) {
        complete_without_drive(provider, srb, SS_INVALID_SRB);
        return SS_INVALID_SRB;
    }
    if (drive->config.latency_ms == 0) return execute(provider, srb, drive, false);
    __atomic_store_n(&srb->SRB_Status, SS_PENDING, __ATOMIC_RELEASE);
    auto due = SteadyClock::now() + std::chrono::milliseconds(drive->config.latency_ms);
    provider->queue.emplace(due, Pending{srb, drive});
    if (!provider->worker.joinable()) provider->worker = std::thread(worker_loop, provider);
    provider->queue_changed.notify_all();
    return SS_PENDING;
}

uint32_t host_adapter_inquiry(Provider* provider, SRB_HAInquiry* srb) {
    std::lock_guard<std::mutex> lock(provider->mutex);
    srb->HA_Count = static_cast<uint8_t>(provider->adapter_count);
    if (srb->SRB_HaId >= provider->adapter_count) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    srb->HA_SCSI_ID = 7;
    memset(srb->HA_ManagerId, ' ', sizeof srb->HA_ManagerId);
    memcpy(srb->HA_ManagerId, "ASPI for WIN32", 14);
    memset(srb->HA_Identifier, ' ', sizeof srb->HA_Identifier);
    memcpy(srb->HA_Identifier, "vdat", 4);
    memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    srb->HA_Unique[3] = kMaxTarget + 1;  // targets per adapter
    srb->HA_Unique[6] = 0x01;            // largest transfer: 64 KiB, little-endian
    srb->SRB_Status = SS_COMP;
    return SS_COMP;
}

uint32_t device_type_query(Provider* provider, SRB_GDEVBlock* srb) {
    std::lock_guard<std::mutex> lock(provider->mutex);
    Drive* drive = find_drive(provider, srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
    srb->SRB_Status = drive ? SS_COMP : SS_NO_DEVICE;
    if (drive) srb->SRB_DeviceType = drive->config.device_type;
    return srb->SRB_Status;
}

// Runs at unload of the library and at process exit.
struct ShutdownAtExit {
    ~ShutdownAtExit() { vdat_shutdown(); }
} g_shutdown_at_exit;

}  // namespace

extern "C" uint32_t GetASPI32SupportInfo(void) {
    Provider* bay = provider();
    std::lock_guard<std::mutex> lock(bay->mutex);
    if (bay->adapter_count == 0) return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
    return static_cast<uint32_t>(SS_COMP) << 8 | static_cast<uint32_t>(bay->adapter_count);
}

extern "C" uint32_t SendASPI32Command(void* request) {
    if (!request) return SS_INVALID_SRB;
    Provider* bay = provider();
    SRB_Header* header = static_cast<SRB_Header*>(request);
    switch (header->SRB_Cmd) {
        case SC_EXEC_SCSI_CMD:
            return execute_scsi_command(bay, static_cast<SRB_ExecSCSICmd*>(request));
        case SC_HA_INQUIRY:
            return host_adapter_inquiry(bay, static_cast<SRB_HAInquiry*>(request));
        case SC_GET_DEV_TYPE:
            return device_type_query(bay, static_cast<SRB_GDEVBlock*>(request));
        default:
            header->SRB_Status = SS_INVALID_CMD;
            return SS_INVALID_CMD;
    }
}

void vdat_shutdown() {
    std::lock_guard<std::mutex> life(g_lifecycle);
    Provider* bay = g_provider;
    g_provider = nullptr;
    if (!bay) return;
    {
        std::lock_guard<std::mutex> lock(bay->mutex);
        bay->stopping = true;
    }
    bay->queue_changed.notify_all();
    if (bay->worker.joinable()) bay->worker.join();
    for (const std::unique_ptr<Drive>& drive : bay->drives) drive_close(drive.get());
    if (bay->trace_fd >= 0) close(bay->trace_fd);
    delete bay;
}
