// MODE SENSE and MODE SELECT: the density, write protection and the MRS page.

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

class ModeTest : public VdatTest {
protected:
    void SetUp() override {
        VdatTest::SetUp();
        cassette("a.dat", {});
        cassette("b.dat", {});
        bay("[0:1]\ncassette=a.dat\n"
            "[0:2]\ncassette=b.dat\nproduct=Python 01931-XXX\nrevision=5.63\n");
    }

    Bytes sense(int target, uint8_t page, uint8_t length = 100, uint32_t* status = nullptr) {
        Bytes data(length, 0);
        Reply reply = send(0, target, cdb_mode_sense(page, length), data.data(), length);
        if (status) *status = reply.scsi_status();
        return data;
    }
};

TEST_F(ModeTest, PageZeroIsAHeaderAndOneBlockDescriptor) {
    uint32_t status = 0;
    Bytes data = sense(1, 0x00, 100, &status);
    EXPECT_EQ(status, 0x01000000u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 13),
              (Bytes{11, 0x00, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(set_density(0, 1, 0x80).scsi_status(), 0x01000000u);
    EXPECT_EQ(sense(1, 0x00)[4], 0x80);
    EXPECT_EQ(set_density(0, 1, 0x55).scsi_status(), 0x04052600u);
    EXPECT_EQ(set_density(0, 1, 0x00).scsi_status(), 0x01000000u) << "0 keeps the density";
    EXPECT_EQ(sense(1, 0x00)[4], 0x80);
    ASSERT_EQ(set_density(0, 1, 0x13).scsi_status(), 0x01000000u);
    EXPECT_EQ(sense(1, 0x00)[4], 0x13);

    Bytes disabled(100, 0);
    ASSERT_EQ(send(0, 1, {0x1A, 0x08, 0x00, 0x00, 100, 0x00}, disabled.data(), 100).status,
              SS_COMP);
    EXPECT_EQ(Bytes(disabled.begin(), disabled.begin() + 5), (Bytes{3, 0x00, 0x10, 0, 0}));
    EXPECT_EQ(sense(1, 0x00, 6)[0], 11) << "cut to the allocation length";
    sense(1, 0xC0, 100, &status);
    EXPECT_EQ(status, 0x04053900u) << "no saved values";
}

TEST_F(ModeTest, MrsPageOnlyForThe01931Firmware) {
    uint32_t status = 0;
    sense(1, 0x30, 100, &status);
    EXPECT_EQ(status, 0x04052400u);
    EXPECT_EQ(sense(1, 0x3F)[0], 11) << "all pages: only the descriptor";

    Bytes page = sense(2, 0x30, 100, &status);
    ASSERT_EQ(status, 0x01000000u);
    EXPECT_EQ(page[0], 27) << "28 bytes returned";
    EXPECT_EQ(page[12], 0x30);
    EXPECT_EQ(page[13], 14);
    EXPECT_EQ(page[15] & 0x08, 0);
    EXPECT_EQ(sense(2, 0x3F)[0], 27);
    EXPECT_EQ(sense(2, 0x70)[15], 0x08) << "changeable: the MRS bit";

    // Sent back the way the program does: data[0] bytes, one short of the page.
    page[15] |= 0x08;
    Reply select = send(0, 2, {0x15, 0x00, 0x00, 0x00, page[0], 0x00}, page.data(), page[0], true);
    ASSERT_EQ(select.scsi_status(), 0x01000000u);
    EXPECT_EQ(sense(2, 0x30)[15] & 0x08, 0x08);
    EXPECT_EQ(sense(2, 0x30)[4], 0x13) << "density untouched";

    restart();
    EXPECT_EQ(sense(2, 0x30)[15] & 0x08, 0x08) << "the MRS switch is kept";
    EXPECT_NE(read_text(path("b.dat.state")).find("mrs_off=1"), std::string::npos);
}

TEST_F(ModeTest, MalformedParameterListsChangeNothing) {
    set_density(0, 2, 0x80);
    Bytes page = sense(2, 0x30);
    auto select = [&](Bytes list, int target = 2) {
        return send(0, target, {0x15, 0x00, 0x00, 0x00, uint8_t(list.size()), 0x00}, list.data(),
                    uint32_t(list.size()), true)
            .scsi_status();
    };
    EXPECT_EQ(select({0, 0, 0x10}), 0x04051A00u);
    EXPECT_EQ(select({0, 0, 0x10, 4, 0x13, 0, 0, 0}), 0x04052600u) << "descriptor length 4";
    EXPECT_EQ(select({0, 0, 0x10, 8, 0x13, 0, 0}), 0x04051A00u) << "descriptor cut off";
    EXPECT_EQ(select({0, 0, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 0, 2, 0x30, 14, 0}), 0x04051A00u)
        << "page too short for the MRS byte";
    Bytes other_page(page.begin(), page.begin() + 28);
    other_page[12] = 0x31;
    other_page[4] = 0x13;
    EXPECT_EQ(select(other_page), 0x04052600u);
    Bytes mrs_elsewhere(page.begin(), page.begin() + 28);
    EXPECT_EQ(select(mrs_elsewhere, 1), 0x04052600u) << "no page 0x30 on this firmware";
    EXPECT_EQ(sense(2, 0x30)[4], 0x80);
    EXPECT_EQ(sense(2, 0x30)[15], 0x00);
    EXPECT_EQ(sense(1, 0x00)[4], 0x13);
    EXPECT_EQ(select({0, 0, 0x10, 8, 0x00, 0, 0, 0, 0, 0, 0, 2, 0x30, 14, 0, 0x08}), 0x01000000u)
        << "the shortest page that holds the MRS byte";
    EXPECT_EQ(sense(2, 0x30)[15], 0x08);

    uint8_t list[12] = {};
    EXPECT_EQ(send(0, 2, {0x15, 0x00, 0x00, 0x00, 0x0C, 0x00}, list, 8, true).host_status,
              HASTAT_DO_DU);
    EXPECT_EQ(send(0, 2, {0x15, 0x00, 0x00, 0x00, 0x00, 0x00}).scsi_status(), 0x01000000u);
}

}  // namespace
}  // namespace vdat_test
