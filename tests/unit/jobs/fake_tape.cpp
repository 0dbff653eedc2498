#include "fake_tape.h"

#include <cstring>

#include "platform/aspi_srb.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/keyboard.h"

namespace {

FakeTape* g_tape = nullptr;
uint32_t g_now_ms = 0;

const PlatformClock kFakeClock{[] { return g_now_ms; }, [](uint32_t ms) { g_now_ms += ms; }};
const KeySource kNoKeys{[] { return 0; }, [] { return -1; }};

constexpr ScsiStatus kNotReadyLocating = 0x04020407u;
constexpr ScsiStatus kInvalidField = 0x04052400u;
constexpr ScsiStatus kInvalidOpcode = 0x04052000u;

void complete(SRB_ExecSCSICmd* srb, ScsiStatus status) {
    srb->SenseArea[0] = 0x70;
    srb->SenseArea[2] = static_cast<uint8_t>(status >> 16);
    srb->SenseArea[12] = static_cast<uint8_t>(status >> 8);
    srb->SenseArea[13] = static_cast<uint8_t>(status);
    srb->SRB_TargStat = (status >> 24) == SS_COMP ? STATUS_GOOD : STATUS_CHKCOND;
    __atomic_store_n(&srb->SRB_Status, static_cast<uint8_t>(status >> 24), __ATOMIC_RELEASE);
    platform_event_signal(aspi_postproc_to_event(srb->SRB_PostProc));
}

ScsiStatus do_read(FakeTape* tape, SRB_ExecSCSICmd* srb) {
    if (tape->read_position >= tape->frames.size()) return kStatusEndOfData;
    memcpy(srb->SRB_BufPointer, &tape->frames[tape->read_position++], kFrameBytes);
    return kStatusReady;
}

ScsiStatus do_read_position(FakeTape* tape, SRB_ExecSCSICmd* srb) {
    if (tape->positions.empty()) return kStatusEndOfData;
    size_t last = tape->positions.size() - 1;
    size_t at = static_cast<size_t>(tape->positions_read++);
    const PositionAnswer& answer = tape->positions[at < last ? at : last];
    memcpy(srb->SRB_BufPointer, answer.record.data(), kPositionRecordBytes);
    return answer.status;
}

ScsiStatus do_write(FakeTape* tape, SRB_ExecSCSICmd* srb) {
    size_t at = tape->written.size() + tape->writes_refused;
    if (at < tape->write_answers.size() && tape->write_answers[at] != kStatusReady) {
        tape->writes_refused++;
        return tape->write_answers[at];
    }
    tape->written.emplace_back();
    memcpy(&tape->written.back(), srb->SRB_BufPointer, kFrameBytes);
    return kStatusReady;
}

ScsiStatus do_test_unit_ready(FakeTape* tape) {
    tape->ready_tests++;
    bool ready =
        tape->ready_after_positions >= 0 && tape->positions_read >= tape->ready_after_positions;
    return ready ? kStatusReady : kNotReadyLocating;
}

uint32_t fake_send(void* request) {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
    FakeTape* tape = g_tape;
    ScsiStatus status = kInvalidOpcode;
    const uint8_t opcode = srb->CDBByte[0];
    if (opcode == 0x08) status = do_read(tape, srb);
    if (opcode == 0x2B) status = tape->locate_accepted ? kStatusReady : kInvalidField;
    if (opcode == 0x34) status = do_read_position(tape, srb);
    if (opcode == 0x00) status = do_test_unit_ready(tape);
    if (opcode == 0x0A) status = do_write(tape, srb);
    if (opcode == 0x12) {
        srb->SRB_BufPointer[0] = 0x01;  // sequential-access device
        status = kStatusReady;
    }
    complete(srb, status);
    return SS_COMP;
}

}  // namespace

void fake_tape_install(FakeTape* tape) {
    g_tape = tape;
    g_now_ms = 0xFFFFFFFFu - 5000u;
    platform_set_clock(&kFakeClock);
    keyboard_set_source(&kNoKeys);
    aspi_set_provider_for_test([]() -> uint32_t { return 0x0101; }, fake_send);
}

void fake_tape_remove() {
    aspi_set_provider_for_test(nullptr, nullptr);
    keyboard_set_source(nullptr);
    platform_set_clock(nullptr);
    g_tape = nullptr;
}

PositionAnswer position(int pno, std::array<uint8_t, 4> abs_time) {
    PositionAnswer answer{kStatusReady, {}};
    answer.record[4] = static_cast<uint8_t>(pno / 100);
    answer.record[5] = static_cast<uint8_t>(pno / 10 % 10);
    answer.record[6] = static_cast<uint8_t>(pno % 10);
    memcpy(&answer.record[12], abs_time.data(), 4);
    return answer;
}
