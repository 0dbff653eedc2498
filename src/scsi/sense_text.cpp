#include "scsi/sense_text.h"

#include <cstdint>
#include <cstdio>

#include "platform/aspi_srb.h"

namespace {

constexpr const char* kSenseKeys[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED",
};

struct AdditionalSense {
    uint8_t asc;
    uint8_t ascq;
    const char* words;
};

// The codes a tape drive gives while reading and writing audio.
constexpr AdditionalSense kAdditionalSense[] = {
    {0x00, 0x00, nullptr},
    {0x00, 0x01, "filemark detected"},
    {0x00, 0x02, "end of medium detected"},
    {0x00, 0x04, "beginning of medium detected"},
    {0x00, 0x05, "end of data detected"},
    {0x03, 0x02, "excessive write errors"},
    {0x04, 0x01, "becoming ready"},
    {0x04, 0x07, "operation in progress"},
    {0x09, 0x00, "track following error"},
    {0x0C, 0x00, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x14, 0x00, "recorded entity not found"},
    {0x15, 0x01, "mechanical positioning error"},
    {0x27, 0x00, "write protected"},
    {0x30, 0x00, "incompatible medium installed"},
    {0x3A, 0x00, "medium not present"},
    {0x3B, 0x00, "sequential positioning error"},
    {0x44, 0x00, "internal target failure"},
    {0x53, 0x00, "media load or eject failed"},
};

const char* additional_words(uint8_t asc, uint8_t ascq) {
    for (const AdditionalSense& entry : kAdditionalSense) {
        if (entry.asc == asc && entry.ascq == ascq) return entry.words;
    }
    return nullptr;
}

}  // namespace

void scsi_status_words(ScsiStatus status, char* text, size_t size) {
    const uint8_t srb = static_cast<uint8_t>(status >> 24);
    const uint8_t key = (status >> 16) & 0x0F;
    const uint8_t asc = static_cast<uint8_t>(status >> 8);
    const uint8_t ascq = static_cast<uint8_t>(status);
    if (srb == SS_NO_DEVICE) {
        snprintf(text, size, "no device at the address");
    } else if (srb == SS_PENDING) {
        snprintf(text, size, "no answer from the drive");
    } else if (srb != SS_ERR) {
        snprintf(text, size, "request status %02Xh", srb);
    } else {
        const char* words = additional_words(asc, ascq);
        snprintf(text, size, "%s%s%s (%02Xh/%02Xh/%02Xh)", kSenseKeys[key], words ? ", " : "",
                 words ? words : "", key, asc, ascq);
    }
}
