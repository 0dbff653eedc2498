#pragma once
// Helpers of the vdat tests: a scratch folder with a bay and cassettes, frames with
// chosen subcode, hand-built requests sent through SendASPI32Command, and a fake clock.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "platform/aspi_srb.h"
#include "platform/clock.h"
#include "vdat.h"

namespace vdat_test {

constexpr uint32_t kFrame = 5822;
using Bytes = std::vector<uint8_t>;

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A frame whose audio bytes are a function of its number and whose packs 1 and 2 carry
// program number pno (three BCD digits, 0x0BB for lead-in) and the two times (BCD
// h m s f; AA AA AA AA for none). pno < 0 leaves the packs empty: unrecorded tape.
inline Bytes make_frame(int number, int pno, std::initializer_list<uint8_t> abs_time = {},
                        std::initializer_list<uint8_t> program_time = {}) {
    Bytes frame(kFrame, 0);
    for (uint32_t i = 0; i < 5760; ++i) frame[i] = static_cast<uint8_t>(number * 7 + i);
    if (pno < 0) return frame;
    uint8_t* pack1 = &frame[5760];
    uint8_t* pack2 = &frame[5768];
    pack1[0] = static_cast<uint8_t>(0x10 | (pno >> 8));
    pack2[0] = static_cast<uint8_t>(0x20 | (pno >> 8));
    pack1[1] = pack2[1] = static_cast<uint8_t>(pno);
    pack1[2] = pack2[2] = 0x01;
    memset(pack1 + 3, 0xAA, 4);
    memset(pack2 + 3, 0xAA, 4);
    if (abs_time.size() == 4) std::copy(abs_time.begin(), abs_time.end(), pack2 + 3);
    if (program_time.size() == 4) std::copy(program_time.begin(), program_time.end(), pack1 + 3);
    frame[5817] = 0x02;
    frame[5818] = static_cast<uint8_t>(pno);
    return frame;
}

inline Bytes join(const std::vector<Bytes>& frames) {
    Bytes all;
    for (const Bytes& frame : frames) all.insert(all.end(), frame.begin(), frame.end());
    return all;
}

struct Reply {
    uint8_t status;
    uint8_t host_status;
    uint8_t target_status;
    uint8_t sense[SENSE_LEN + 2];

    // As the program's transport packs it.
    uint32_t scsi_status() const {
        return static_cast<uint32_t>(status) << 24 | sense[2] << 16 | sense[12] << 8 | sense[13];
    }
};

inline void fill_request(SRB_ExecSCSICmd* srb, int adapter, int target, const Bytes& cdb,
                         uint8_t* data, uint32_t length, bool out) {
    *srb = SRB_ExecSCSICmd{};
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = static_cast<uint8_t>(adapter);
    srb->SRB_Flags = out ? SRB_DIR_OUT : SRB_DIR_IN;
    srb->SRB_Target = static_cast<uint8_t>(target);
    srb->SRB_BufLen = length;
    srb->SRB_BufPointer = data;
    srb->SRB_SenseLen = SENSE_LEN;
    srb->SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    if (!cdb.empty()) memcpy(srb->CDBByte, cdb.data(), cdb.size());
}

inline Reply reply_of(const SRB_ExecSCSICmd& srb) {
    Reply reply{};
    reply.status = srb.SRB_Status;
    reply.host_status = srb.SRB_HaStat;
    reply.target_status = srb.SRB_TargStat;
    memcpy(reply.sense, srb.SenseArea, sizeof reply.sense);
    return reply;
}

// One request to a drive without latency: it completes before SendASPI32Command returns.
inline Reply send(int adapter, int target, const Bytes& cdb, uint8_t* data = nullptr,
                  uint32_t length = 0, bool out = false) {
    SRB_ExecSCSICmd srb;
    fill_request(&srb, adapter, target, cdb, data, length, out);
    uint32_t returned = SendASPI32Command(&srb);
    EXPECT_EQ(returned, srb.SRB_Status);
    EXPECT_NE(srb.SRB_Status, SS_PENDING);
    return reply_of(srb);
}

// ---- the commands of the program, CDB bytes as it sends them

inline Bytes cdb_read(uint32_t length = kFrame) {
    return {0x08, 0x00, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0x00};
}
inline Bytes cdb_write(uint32_t length = kFrame) {
    return {0x0A, 0x00, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0x00};
}
inline Bytes cdb_test_unit_ready() {
    return {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}
inline Bytes cdb_rewind() {
    return {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
}
inline Bytes cdb_load(int load) {
    return {0x1B, 0x00, 0x00, 0x00, uint8_t(load), 0x00};
}
inline Bytes cdb_locate_block(uint32_t block) {
    return {0x2B,
            0x00,
            0x00,
            uint8_t(block >> 24),
            uint8_t(block >> 16),
            uint8_t(block >> 8),
            uint8_t(block),
            0x00,
            0x00,
            0x00};
}
inline Bytes cdb_read_position() {
    return {0x34, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}
inline Bytes cdb_mode_sense(uint8_t page, uint8_t length = 100) {
    return {0x1A, 0x00, page, 0x00, length, 0x00};
}
inline Bytes cdb_inquiry(uint8_t length = 255) {
    return {0x12, 0x00, 0x00, 0x00, length, 0x00};
}

inline Reply read_frame(int adapter, int target, Bytes* frame) {
    frame->assign(kFrame, 0);
    return send(adapter, target, cdb_read(), frame->data(), kFrame);
}

inline Reply write_frame(int adapter, int target, Bytes frame) {
    return send(adapter, target, cdb_write(), frame.data(), kFrame, true);
}

// MODE SELECT of the density with the 12-byte list the program sends.
inline Reply set_density(int adapter, int target, uint8_t density) {
    uint8_t list[12] = {0x00, 0x00, 0x10, 0x08, density, 0, 0, 0, 0, 0x00, 0x00, 0x02};
    return send(adapter, target, {0x15, 0x00, 0x00, 0x00, 0x0C, 0x00}, list, sizeof list, true);
}

inline Reply read_position(int adapter, int target, Bytes* record) {
    record->assign(20, 0);
    return send(adapter, target, cdb_read_position(), record->data(), 20);
}

// ---- a fake platform clock

struct FakeClock {
    static std::atomic<uint32_t>& now() {
        static std::atomic<uint32_t> value{0};
        return value;
    }
    static uint32_t read() { return now().load(); }
    static void sleep(uint32_t ms) { now() += ms; }
    static const PlatformClock* table() {
        static const PlatformClock clock{read, sleep};
        return &clock;
    }
};

// A scratch folder holding the bay file, cassettes and the trace; each test starts with
// a provider that has not read any bay yet, as in a new process.
class VdatTest : public ::testing::Test {
protected:
    void SetUp() override {
        vdat_shutdown();
        char name[] = "/tmp/vdat_test_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder_ = name;
        unsetenv("VDAT_CONFIG");
        unsetenv("VDAT_TRACE");
        FakeClock::now() = 1000;
        previous_clock_ = platform_set_clock(FakeClock::table());
    }

    void TearDown() override {
        vdat_shutdown();
        platform_set_clock(previous_clock_);
        unsetenv("VDAT_CONFIG");
        unsetenv("VDAT_TRACE");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::string path(const std::string& name) const { return folder_ + "/" + name; }

    // Writes the bay file and points VDAT_CONFIG at it.
    void bay(const std::string& text) {
        std::ofstream(path("bay.ini")) << text;
        setenv("VDAT_CONFIG", path("bay.ini").c_str(), 1);
    }

    void cassette(const std::string& name, const std::vector<Bytes>& frames) {
        write_bytes(path(name), join(frames));
    }

    void trace_to(const std::string& name) { setenv("VDAT_TRACE", path(name).c_str(), 1); }

    // What a new process of the program would find.
    void restart() { vdat_shutdown(); }

    std::string folder_;
    const PlatformClock* previous_clock_ = nullptr;
};

}  // namespace vdat_test
