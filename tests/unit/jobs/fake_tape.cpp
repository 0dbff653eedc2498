#include "fake_tape.h"

#include <cstring>

#include "platform/aspi_srb.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/keyboard.h"

namespace {

FakeTape* g_tape = nullptr;
uint32_t g_now_ms = 0;

uint32_t fake_clock_now() {
    return g_now_ms;
}
void fake_clock_sleep(uint32_t ms) {
    g_now_ms += ms;
}
const PlatformClock kFakeClock{fake_clock_now, fake_clock_sleep};

void complete(SRB_ExecSCSICmd* srb, ScsiStatus status) {
    srb->SenseArea[0] = 0x70;
    srb->SenseArea[2] = static_cast<uint8_t>(status >> 16);
    srb->SenseArea[12] = static_cast<uint8_t>(status >> 8);
    srb->SenseArea[13] = static_cast<uint8_t>(status);
    srb->SRB_TargStat = (status >> 24) == SS_COMP ? STATUS_GOOD : STATUS_CHKCOND;
    __atomic_store_n(&srb->SRB_Status, static_cast<uint8_t>(status >> 24), __ATOMIC_RELEASE);
    platform_event_signal(aspi_postproc_to_event(srb->SRB_PostProc));
}

constexpr ScsiStatus kGood = 0x01000000u;
constexpr ScsiStatus kMediumError = 0x04031100u;
constexpr ScsiStatus kDataProtect = 0x04072700u;
constexpr ScsiStatus kNotReadyLocating = 0x04020407u;

ScsiStatus do_read(FakeTape* tape, SRB_ExecSCSICmd* srb) {
    if (tape->read_position >= tape->frames.size()) return kStatusEndOfData;
    size_t at = tape->read_position++;
    if (static_cast<long>(at) == tape->medium_error_at) return kMediumError;
    memcpy(srb->SRB_BufPointer, &tape->frames[at], kFrameBytes);
    return kGood;
}

ScsiStatus do_write(FakeTape* tape, SRB_ExecSCSICmd* srb) {
    if (tape->write_protected) return kDataProtect;
    AudioFrame frame;
    memcpy(&frame, srb->SRB_BufPointer, kFrameBytes);
    tape->written.push_back(frame);
    return kGood;
}

ScsiStatus do_read_position(FakeTape* tape, SRB_ExecSCSICmd* srb) {
    if (tape->positions.empty()) return kStatusEndOfData;
    size_t last = tape->positions.size() - 1;
    size_t at = static_cast<size_t>(tape->positions_read++);
    const PositionAnswer& answer = tape->positions[at < last ? at : last];
    memcpy(srb->SRB_BufPointer, answer.record.data(), kPositionRecordBytes);
    return answer.status;
}

ScsiStatus do_test_unit_ready(FakeTape* tape) {
    tape->ready_tests++;
    bool ready =
        tape->ready_after_positions >= 0 && tape->positions_read >= tape->ready_after_positions;
    return ready ? kGood : kNotReadyLocating;
}

uint32_t fake_support() {
    return 0x0101;
}

uint32_t fake_send(void* request) {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
    FakeTape* tape = g_tape;
    ScsiStatus status = kGood;
    switch (srb->CDBByte[0]) {
        case 0x08:
            status = do_read(tape, srb);
            break;
        case 0x0A:
            status = do_write(tape, srb);
            break;
        case 0x2B:
            tape->locate_cdb.assign(srb->CDBByte, srb->CDBByte + srb->SRB_CDBLen);
            status = tape->locate_accepted ? kGood : 0x04052400u;
            break;
        case 0x34:
            status = do_read_position(tape, srb);
            break;
        case 0x00:
            status = do_test_unit_ready(tape);
            break;
        default:
            status = 0x04052000u;  // ILLEGAL REQUEST, invalid opcode
    }
    complete(srb, status);
    return SS_COMP;
}

int g_key_polls = 0;
int g_esc_at_poll = 0;
bool g_esc_taken = false;

bool esc_due() {
    return g_esc_at_poll > 0 && g_key_polls >= g_esc_at_poll && !g_esc_taken;
}

int fake_key_waiting() {
    ++g_key_polls;
    return esc_due();
}

int fake_read_key() {
    if (!esc_due()) return -1;
    g_esc_taken = true;
    return kKeyEsc;
}

const KeySource kFakeKeys{fake_key_waiting, fake_read_key};

}  // namespace

void fake_tape_install(FakeTape* tape) {
    g_tape = tape;
    g_now_ms = 0xFFFFFFFFu - 5000u;  // the 32-bit clock wraps 5 s into a test
    platform_set_clock(&kFakeClock);
    aspi_set_provider_for_test(fake_support, fake_send);
}

void fake_tape_remove() {
    aspi_set_provider_for_test(nullptr, nullptr);
    platform_set_clock(nullptr);
    g_tape = nullptr;
}

uint32_t fake_now_ms() {
    return g_now_ms;
}

void fake_keys_install(int esc_at_poll) {
    g_key_polls = 0;
    g_esc_at_poll = esc_at_poll;
    g_esc_taken = false;
    keyboard_set_source(&kFakeKeys);
}

void fake_keys_remove() {
    keyboard_set_source(nullptr);
}

AudioFrame numbered_frame(int n) {
    AudioFrame frame{};
    memset(frame.audio, n & 0xFF, sizeof frame.audio);
    frame.packs[0].bytes[0] = 0x20;  // item 2: absolute time, program 1
    frame.packs[0].bytes[1] = 0x01;
    frame.packs[0].bytes[6] = static_cast<uint8_t>(n);
    return frame;
}

AudioFrame blank_frame() {
    return AudioFrame{};
}

PositionAnswer position(int pno, std::array<uint8_t, 4> abs_time) {
    PositionAnswer answer{kGood, {}};
    answer.record[4] = static_cast<uint8_t>(pno / 100);
    answer.record[5] = static_cast<uint8_t>(pno / 10 % 10);
    answer.record[6] = static_cast<uint8_t>(pno % 10);
    memcpy(&answer.record[12], abs_time.data(), 4);
    return answer;
}

PositionAnswer position_failure(ScsiStatus status) {
    return PositionAnswer{status, {}};
}
