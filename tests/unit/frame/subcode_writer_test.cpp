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
    set_pack(5, {0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09, 0x77});
    pack_parity();
    EXPECT_EQ(pack_bytes(1)[7], 0x10);
    EXPECT_EQ(pack_bytes(2)[7], 0x20 ^ 0x01 ^ 0x01 ^ 0x12 ^ 0x34 ^ 0x56 ^ 0x07);
    EXPECT_EQ(pack_bytes(3)[7], 0);
    EXPECT_EQ(pack_bytes(5)[7], 0x77);  // pack 5 waits for a count of 7
    write_template.sub_id[1] = 0x0F;    // never past pack 7
    pack_parity();
    EXPECT_EQ(pack_bytes(5)[7], 0x52 ^ 0x02 ^ 0x01 ^ 0x28 ^ 0x14 ^ 0x05 ^ 0x09);
}

TEST_F(SubcodeWriter, TimesStepAndNoTimeStaysNoTime) {
    const uint8_t cases[][2][4] = {
        // pack 2 (absolute) before/after; pack 1 steps alongside with the same rule
        {{0x00, 0x00, 0x02, 0x33}, {0x00, 0x00, 0x03, 0x00}},
        {{0x00, 0x00, 0x01, 0x32}, {0x00, 0x00, 0x02, 0x00}},
        {{0xAA, 0xAA, 0xAA, 0xAA}, {0xAA, 0xAA, 0xAA, 0xAA}},
        {{0x00, 0x59, 0x59, 0x33}, {0x01, 0x00, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        memcpy(write_template.packs[1].bytes + 3, c[0], 4);
        memcpy(write_template.packs[0].bytes + 3, c[0], 4);
        advance_pack_times();
        EXPECT_EQ(memcmp(write_template.packs[1].bytes + 3, c[1], 4), 0) << int(c[0][3]);
        EXPECT_EQ(memcmp(write_template.packs[0].bytes + 3, c[1], 4), 0) << int(c[0][3]);
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
