#include "frame/subcode_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> pack_bytes(int k) {
    const uint8_t* p = write_template.packs[k - 1].bytes;
    return {p, p + 8};
}

void set_pack(int k, std::vector<uint8_t> bytes) {
    memcpy(write_template.packs[k - 1].bytes, bytes.data(), bytes.size());
}

class SubcodeWriter : public ::testing::Test {
protected:
    void SetUp() override { memset(&write_template, 0, sizeof write_template); }
};

TEST_F(SubcodeWriter, ParityCoversThePackCountOnly) {
    write_template.sub_id[1] = 0x13;  // hundreds digit 1, pack count 3
    set_pack(1, {0x10, 0x01, 0x01, 0, 0, 0, 0, 0x77});
    set_pack(2, {0x20, 0x01, 0x01, 0x12, 0x34, 0x56, 0x07, 0x77});
    set_pack(7, {0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09, 0x77});
    pack_parity();
    EXPECT_EQ(pack_bytes(1)[7], 0x10);
    EXPECT_EQ(pack_bytes(2)[7], 0x20 ^ 0x01 ^ 0x01 ^ 0x12 ^ 0x34 ^ 0x56 ^ 0x07);
    EXPECT_EQ(pack_bytes(3)[7], 0);
    EXPECT_EQ(pack_bytes(7)[7], 0x77);  // pack 7 waits for a count of 7
    write_template.sub_id[1] = 0x0F;    // which stands for any count beyond
    pack_parity();
    EXPECT_EQ(pack_bytes(7)[7], 0x52 ^ 0x02 ^ 0x01 ^ 0x28 ^ 0x14 ^ 0x05 ^ 0x09);
}

// Pack 1 (program time) steps with pack 2 (absolute time); no time stays no time.
TEST_F(SubcodeWriter, TimesStepTogetherAndNoTimeStaysNoTime) {
    for (uint32_t before : {0x00595933u, kNoTime}) {
        for (int k : {1, 2}) {
            uint8_t* time = write_template.packs[k - 1].bytes + 3;
            for (int i = 0; i < 4; ++i) time[i] = uint8_t(before >> (24 - 8 * i));
        }
        advance_pack_times();
        const uint32_t after = before == kNoTime ? kNoTime : 0x01000000u;
        for (int k : {1, 2}) {
            const std::vector<uint8_t> b = pack_bytes(k);
            EXPECT_EQ(uint32_t(b[3] << 24 | b[4] << 16 | b[5] << 8 | b[6]), after) << k;
        }
    }
}

TEST_F(SubcodeWriter, ResetAfterLeadOutKeepsControlBitsAndFormat) {
    write_template.sub_id[0] = 0x40;
    write_template.sub_id[1] = 0x17;
    write_template.sub_id[2] = 0xEE;
    write_template.format[0] = 0x08;
    write_template.format[1] = 0x44;
    set_pack(1, {0x19, 0xEE, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0x12});
    set_pack(2, {0x29, 0xEE, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0x34});
    set_pack(5, {0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09, 0x56});
    reset_subcode();
    EXPECT_EQ(pack_bytes(1), (std::vector<uint8_t>{0x18, 0x01, 0x01, 0, 0, 0, 0, 0x34}));
    EXPECT_EQ(pack_bytes(2), (std::vector<uint8_t>{0x28, 0x01, 0x01, 0, 0, 0, 0, 0x34}));
    EXPECT_EQ(pack_bytes(5)[0], 0x52);
    EXPECT_EQ(write_template.sub_id[0], 0x40);
    EXPECT_EQ(write_template.sub_id[1], 0x02);
    EXPECT_EQ(write_template.sub_id[2], 0x01);
    EXPECT_EQ(write_template.format[0], 0x08);
    EXPECT_EQ(write_template.format[1], 0x44);
}

}  // namespace
