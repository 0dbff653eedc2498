// What the end-to-end recordings do not reach: a pack count of 6 or of "any", a template
// with no time, and the restart after a lead-out.

#include "frame/subcode_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Pack = std::vector<uint8_t>;

Pack pack_bytes(int k) {
    return Pack(write_template.packs[k - 1].bytes, write_template.packs[k - 1].bytes + 8);
}

TEST(SubcodeWriter, PackSevenParityNoTimeAndTheRestartAfterALeadOut) {
    memset(&write_template, 0, sizeof write_template);
    const Pack seventh = {0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09, 0x77};
    write_template.packs[0] = {{0x19, 0xEE, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0x12}};
    write_template.packs[1] = {{0x29, 0xEE, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0x34}};
    memcpy(write_template.packs[6].bytes, seventh.data(), 8);
    write_template.sub_id[1] = 0x16;  // hundreds digit 1, pack count 6: pack 7 waits
    pack_parity();
    EXPECT_EQ(pack_bytes(7), seventh);
    write_template.sub_id[1] = 0x1F;  // a count beyond 7
    pack_parity();
    EXPECT_EQ(pack_bytes(7)[7], 0x52 ^ 0x02 ^ 0x01 ^ 0x28 ^ 0x14 ^ 0x05 ^ 0x09);
    advance_pack_times();
    EXPECT_EQ(pack_bytes(1), (Pack{0x19, 0xEE, 0x01, 0xAA, 0xAA, 0xAA, 0xAA, 0x19 ^ 0xEE ^ 0x01}));

    // The restart keeps the pre-emphasis bit (bit 3), the emphasis flag and the format.
    write_template.sub_id[0] = 0x40;
    write_template.sub_id[2] = 0xEE;
    write_template.format[0] = 0x08;
    write_template.format[1] = 0x44;
    reset_subcode();
    EXPECT_EQ(pack_bytes(1), (Pack{0x18, 0x01, 0x01, 0, 0, 0, 0, 0xC6}));
    EXPECT_EQ(pack_bytes(2), (Pack{0x28, 0x01, 0x01, 0, 0, 0, 0, 0xC6}));
    EXPECT_EQ(pack_bytes(7), (Pack{0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09, 0x61}));
    EXPECT_EQ(Pack(write_template.sub_id, write_template.sub_id + 3), (Pack{0x40, 0x02, 0x01}));
    EXPECT_EQ(Pack(write_template.format, write_template.format + 2), (Pack{0x08, 0x44}));
}

}  // namespace
