#pragma once
// Helpers of the vdat tests: a scratch folder with a bay and cassettes, frames with
// chosen subcode, hand-built requests sent through SendASPI32Command, and a fake clock.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/aspi_srb.h"
#include "platform/clock.h"
#include "vdat.h"

namespace vdat_test {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kFrame = 5822;
// ScsiStatus words as the program's transport packs them.
constexpr uint32_t kGood = 0x01000000, kEndOfData = 0x04080005, kEndOfMedium = 0x044D0002;
constexpr uint32_t kNoMedium = 0x04023A00, kBadField = 0x04052400, kBadListField = 0x04052600;

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The time code n frames after 0:00:00:00 as a recorder steps it, in seconds of 33, 33
// and 34 frames: BCD hours, minutes, seconds, frames.
inline Bytes time_after(int n) {
    int second_of_three = std::min(n % 100 / 33, 2);
    int s = n / 100 * 3 + second_of_three, f = n % 100 - 33 * second_of_three;
    auto bcd = [](int v) { return uint8_t((v / 10) << 4 | v % 10); };
    return {bcd(s / 3600), bcd(s / 60 % 60), bcd(s % 60), bcd(f)};
}

// A frame whose audio bytes are a function of its number and whose program-time and
// absolute-time packs carry program number pno (three BCD digits, 0x0BB for lead-in)
// and the two times. pno < 0 leaves the packs empty: unrecorded tape.
inline Bytes make_frame(int number, int pno = 1, const Bytes& absolute = Bytes(4, 0xAA),
                        const Bytes& program = Bytes(4, 0xAA)) {
    Bytes frame(kFrame, 0);
    for (uint32_t i = 0; i < 5760; ++i) frame[i] = static_cast<uint8_t>(number * 7 + i);
    if (pno < 0) return frame;
    for (uint32_t pack : {5760u, 5768u}) {
        frame[pack] = static_cast<uint8_t>((pack == 5760 ? 0x10 : 0x20) | pno >> 8);
        frame[pack + 1] = static_cast<uint8_t>(pno);
        const Bytes& time = pack == 5760 ? program : absolute;
        std::copy(time.begin(), time.end(), frame.begin() + pack + 3);
    }
    return frame;
}

inline std::vector<Bytes> recorded(int count) {
    std::vector<Bytes> frames;
    for (int i = 0; i < count; ++i) frames.push_back(make_frame(i));
    return frames;
}

// The ScsiStatus word, as the program's transport packs it.
inline uint32_t scsi_status(const SRB_ExecSCSICmd& srb) {
    const uint8_t* sense = srb.SenseArea;
    return uint32_t(srb.SRB_Status) << 24 | sense[2] << 16 | sense[12] << 8 | sense[13];
}

// A request to adapter 0 unless told; MODE SELECT and WRITE carry data out. With an event
// (an eventfd), the provider is asked to signal it on completion.
inline void fill_request(SRB_ExecSCSICmd* srb, int target, const Bytes& cdb, uint8_t* data,
                         uint32_t length, int adapter = 0, int event = -1) {
    *srb = SRB_ExecSCSICmd{};
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = static_cast<uint8_t>(adapter);
    bool out = !cdb.empty() && (cdb[0] == 0x0A || cdb[0] == 0x15);
    srb->SRB_Flags = (out ? SRB_DIR_OUT : SRB_DIR_IN) | (event >= 0 ? SRB_EVENT_NOTIFY : 0);
    srb->SRB_Target = static_cast<uint8_t>(target);
    srb->SRB_BufLen = length;
    srb->SRB_BufPointer = data;
    srb->SRB_SenseLen = SENSE_LEN;
    srb->SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    if (!cdb.empty()) memcpy(srb->CDBByte, cdb.data(), cdb.size());
    srb->SRB_PostProc = aspi_event_to_postproc(event);
}

// One request to a drive without latency: it completes before SendASPI32Command returns.
inline SRB_ExecSCSICmd send(int target, const Bytes& cdb, uint8_t* data = nullptr,
                            uint32_t length = 0, int adapter = 0) {
    SRB_ExecSCSICmd srb;
    fill_request(&srb, target, cdb, data, length, adapter);
    EXPECT_EQ(SendASPI32Command(&srb), srb.SRB_Status);
    EXPECT_NE(srb.SRB_Status, SS_PENDING);
    return srb;
}

// ---- the commands of the program, to adapter 0. Bytes 2-4 of cdb6 carry n: the
// transfer length of READ and WRITE, the allocation or list length of the others.

inline Bytes cdb6(uint8_t opcode, uint32_t n = 0) {
    return {opcode, 0x00, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0x00};
}
inline const Bytes kTestUnitReady = cdb6(0x00), kRewind = cdb6(0x01);
inline const Bytes kLoad = cdb6(0x1B, 1), kUnload = cdb6(0x1B, 0);
inline Bytes cdb_locate_block(uint16_t block) {
    return {0x2B, 0x00, 0x00, 0x00, 0x00, uint8_t(block >> 8), uint8_t(block), 0x00, 0x00, 0x00};
}

inline uint32_t status(int target, const Bytes& cdb) {
    return scsi_status(send(target, cdb));
}
inline uint32_t read_frame(int target, Bytes* frame) {
    frame->assign(kFrame, 0);
    return scsi_status(send(target, cdb6(0x08, kFrame), frame->data(), kFrame));
}
inline uint32_t write_frame(int target, Bytes frame) {
    return scsi_status(send(target, cdb6(0x0A, kFrame), frame.data(), kFrame));
}
inline uint32_t mode_select(int target, Bytes list) {
    uint32_t n = static_cast<uint32_t>(list.size());
    return scsi_status(send(target, cdb6(0x15, n), list.data(), n));
}
// MODE SELECT of the density with the 12-byte list the program sends.
inline uint32_t set_density(int target, uint8_t density) {
    return mode_select(target, {0x00, 0x00, 0x10, 0x08, density, 0, 0, 0, 0, 0, 0, 0x02});
}
inline Bytes mode_sense(int target, uint8_t page, uint8_t length = 12, uint32_t expected = kGood) {
    Bytes data(length, 0);
    EXPECT_EQ(scsi_status(send(target, cdb6(0x1A, page << 16 | length), data.data(), length)),
              expected);
    return data;
}
// The 20-byte record of READ POSITION: the audio form, or with short the block form.
inline Bytes read_position(int target, uint32_t expected = kGood, bool audio = true) {
    Bytes record(20, 0), cdb = {0x34, audio, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(scsi_status(send(target, cdb, record.data(), 20)), expected);
    return record;
}

inline std::atomic<uint32_t> g_now{0};
inline const PlatformClock kFakeClock{[] { return g_now.load(); },
                                      [](uint32_t ms) { g_now += ms; }};

// A scratch folder holding the bay file and cassettes; each test starts with
// a provider that has not read any bay yet, as in a new process.
class VdatTest : public ::testing::Test {
protected:
    void SetUp() override {
        vdat_shutdown();
        char name[] = "/tmp/vdat_test_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder_ = name;
        unsetenv("VDAT_CONFIG");
        g_now = 1000;
        platform_set_clock(&kFakeClock);
    }
    void TearDown() override {
        vdat_shutdown();
        platform_set_clock(nullptr);
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
        std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
        for (const Bytes& f : frames) out.write(reinterpret_cast<const char*>(f.data()), f.size());
    }
    // What a new process of the program would find.
    void restart() { vdat_shutdown(); }

    std::string folder_;
};

}  // namespace vdat_test
