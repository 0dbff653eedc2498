// Reading and writing frames, the cassette's limits, and what the drive keeps between runs.

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

constexpr uint32_t kGood = 0x01000000;
constexpr uint32_t kEndOfData = 0x04080005;
constexpr uint32_t kNoMedium = 0x04023A00;

class MediaTest : public VdatTest {
protected:
    std::vector<Bytes> frames(int count) {
        std::vector<Bytes> list;
        for (int i = 0; i < count; ++i) list.push_back(make_frame(i, 1));
        return list;
    }
};

TEST_F(MediaTest, ReadsFramesInOrderUntilEndOfData) {
    std::vector<Bytes> tape = frames(3);
    cassette("tape.dat", tape);
    bay("[0:4]\ncassette=tape.dat\n");
    Bytes frame;
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), 0x04033002u) << "data mode";
    ASSERT_EQ(set_density(0, 4, 0x80).scsi_status(), kGood);
    for (const Bytes& expected : tape) {
        ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
        EXPECT_EQ(frame, expected);
    }
    Reply end = read_frame(0, 4, &frame);
    EXPECT_EQ(end.scsi_status(), kEndOfData);
    EXPECT_EQ(end.target_status, STATUS_CHKCOND);
    EXPECT_EQ(end.sense[0] & 0x7F, 0x70);
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), kEndOfData) << "the tape stays at the end";
    EXPECT_EQ(send(0, 4, cdb_rewind()).scsi_status(), kGood);
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame, tape[0]);
}

TEST_F(MediaTest, ReadLengthsAreCheckedAgainstTheFrameAndTheBuffer) {
    std::vector<Bytes> tape = frames(4);
    cassette("tape.dat", tape);
    bay("[0:4]\ncassette=tape.dat\n");
    set_density(0, 4, 0x80);

    // A buffer smaller than the transfer: the adapter refuses, nothing is written.
    Bytes guarded(kFrame + 64, 0x5A);
    Reply overrun = send(0, 4, cdb_read(kFrame), guarded.data() + 32, 100);
    EXPECT_EQ(overrun.status, SS_ERR);
    EXPECT_EQ(overrun.host_status, HASTAT_DO_DU);
    EXPECT_EQ(guarded, Bytes(kFrame + 64, 0x5A));

    // A short read takes the start of the frame and reports the residue; the tape moves on.
    Bytes part(100, 0);
    Reply short_read = send(0, 4, cdb_read(100), part.data(), 100);
    EXPECT_EQ(short_read.scsi_status(), 0x04200000u);
    EXPECT_EQ(short_read.sense[0], 0xF0);
    EXPECT_EQ(Bytes(short_read.sense + 3, short_read.sense + 7), (Bytes{0xFF, 0xFF, 0xE9, 0xA6}));
    EXPECT_EQ(part, Bytes(tape[0].begin(), tape[0].begin() + 100));

    Bytes large(8000, 0);
    EXPECT_EQ(send(0, 4, cdb_read(8000), large.data(), 8000).scsi_status(), 0x04200000u);
    EXPECT_EQ(Bytes(large.begin(), large.begin() + kFrame), tape[1]);
    EXPECT_EQ(send(0, 4, {0x08, 0x02, 0x00, 0x1F, 0x40, 0x00}, large.data(), 8000).scsi_status(),
              kGood)
        << "SILI suppresses the report of a shorter frame";

    EXPECT_EQ(send(0, 4, {0x08, 0x01, 0x00, 0x00, 0x01, 0x00}, large.data(), 8000).scsi_status(),
              0x04052400u)
        << "fixed-block mode";
    EXPECT_EQ(send(0, 4, cdb_read(0)).scsi_status(), kGood);
    Bytes frame;
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame, tape[3]);
}

TEST_F(MediaTest, WriteStoresTheFrameAndErasesWhatFollows) {
    cassette("tape.dat", frames(5));
    bay("[0:4]\ncassette=tape.dat\n");
    set_density(0, 4, 0x80);
    ASSERT_EQ(send(0, 4, cdb_locate_block(2)).scsi_status(), kGood);
    Bytes replacement = make_frame(99, 7);
    ASSERT_EQ(write_frame(0, 4, replacement).scsi_status(), kGood);
    std::string file = read_text(path("tape.dat"));
    ASSERT_EQ(file.size(), 3u * kFrame);
    EXPECT_EQ(Bytes(file.begin() + 2 * kFrame, file.end()), replacement);
    Bytes frame;
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), kEndOfData);
    ASSERT_EQ(write_frame(0, 4, make_frame(100, 7)).scsi_status(), kGood) << "append at the end";
    EXPECT_EQ(read_text(path("tape.dat")).size(), 4u * kFrame);

    EXPECT_EQ(send(0, 4, cdb_write(100), frame.data(), 100, true).scsi_status(), 0x04052400u);
    EXPECT_EQ(send(0, 4, cdb_write(kFrame), frame.data(), 100, true).host_status, HASTAT_DO_DU);
    set_density(0, 4, 0x13);
    EXPECT_EQ(write_frame(0, 4, frame).scsi_status(), 0x04033005u);
    EXPECT_EQ(read_text(path("tape.dat")).size(), 4u * kFrame);
}

TEST_F(MediaTest, BlankCassetteTakesARecordingAndAPartialTailIsDropped) {
    cassette("blank.dat", {});
    Bytes torn = make_frame(0, 1);
    torn.resize(1000);
    write_bytes(path("torn.dat"), join({make_frame(5, 1), torn}));
    bay("[0:4]\ncassette=blank.dat\n[0:5]\ncassette=torn.dat\n");
    testing::internal::CaptureStderr();
    GetASPI32SupportInfo();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("partial frame of 1000 bytes"),
              std::string::npos);
    for (int target : {4, 5}) set_density(0, target, 0x80);
    Bytes frame;
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), kEndOfData);
    ASSERT_EQ(write_frame(0, 4, make_frame(1, 1)).scsi_status(), kGood);
    EXPECT_EQ(read_text(path("blank.dat")).size(), kFrame);

    ASSERT_EQ(read_frame(0, 5, &frame).scsi_status(), kGood);
    EXPECT_EQ(read_frame(0, 5, &frame).scsi_status(), kEndOfData);
    ASSERT_EQ(write_frame(0, 5, make_frame(6, 1)).scsi_status(), kGood);
    EXPECT_EQ(read_text(path("torn.dat")).size(), 2u * kFrame);
}

TEST_F(MediaTest, WriteProtectCapacityAndReadErrors) {
    cassette("locked.dat", frames(2));
    cassette("short.dat", {});
    cassette("worn.dat", frames(6));
    bay("[0:1]\ncassette=locked.dat\nwrite_protect=1\n"
        "[0:2]\ncassette=short.dat\ncapacity=2\n"
        "[0:3]\ncassette=worn.dat\nread_errors=1, 3-4\n");
    for (int target : {1, 2, 3}) set_density(0, target, 0x80);

    EXPECT_EQ(write_frame(0, 1, make_frame(9, 1)).scsi_status(), 0x04072700u);
    uint8_t mode[100];
    ASSERT_EQ(send(0, 1, cdb_mode_sense(0), mode, sizeof mode).status, SS_COMP);
    EXPECT_EQ(mode[2] & 0x80, 0x80);
    EXPECT_EQ(read_text(path("locked.dat")).size(), 2u * kFrame);

    EXPECT_EQ(write_frame(0, 2, make_frame(0, 1)).scsi_status(), kGood);
    EXPECT_EQ(write_frame(0, 2, make_frame(1, 1)).scsi_status(), kGood);
    Reply full = write_frame(0, 2, make_frame(2, 1));
    EXPECT_EQ(full.scsi_status(), 0x044D0002u);
    EXPECT_EQ(read_text(path("short.dat")).size(), 2u * kFrame);

    Bytes frame;
    std::vector<uint32_t> statuses;
    for (int i = 0; i < 7; ++i) statuses.push_back(read_frame(0, 3, &frame).scsi_status());
    EXPECT_EQ(statuses, (std::vector<uint32_t>{kGood, 0x04031100, kGood, 0x04031100, 0x04031100,
                                               kGood, kEndOfData}));
    EXPECT_EQ(frame, Bytes(kFrame, 0)) << "end of data returns no bytes";
}

TEST_F(MediaTest, TheTapeStaysWhereTheLastRunLeftIt) {
    std::vector<Bytes> tape = frames(4);
    cassette("tape.dat", tape);
    bay("[0:4]\ncassette=tape.dat\nproduct=Python 01931-XXX\nrevision=5.63\n");
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kGood);
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000000\ndensity=0x13\nloaded=1\nmrs_off=0\n")
        << "a fresh cassette: start of tape, data mode, loaded";
    set_density(0, 4, 0x80);
    Bytes frame;
    read_frame(0, 4, &frame);
    read_frame(0, 4, &frame);
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000002\ndensity=0x80\nloaded=1\nmrs_off=0\n");

    restart();
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame, tape[2]);
    uint8_t mode[100];
    ASSERT_EQ(send(0, 4, cdb_mode_sense(0), mode, sizeof mode).status, SS_COMP);
    EXPECT_EQ(mode[4], 0x80);

    // A hand-written state file, and one that points past a cassette cut short.
    restart();
    std::ofstream(path("tape.dat.state")) << "[STATE]\nPosition = 1\n";
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), 0x04033002u) << "density: data mode";
    set_density(0, 4, 0x80);
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame, tape[1]);
    restart();
    std::ofstream(path("tape.dat.state")) << "[state]\nposition=77\ndensity=0x80\n";
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), kEndOfData);
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000004\ndensity=0x80\nloaded=1\nmrs_off=0\n");
}

TEST_F(MediaTest, UnloadEjectsUntilTheNextLoadOrRun) {
    cassette("tape.dat", frames(3));
    bay("[0:4]\ncassette=tape.dat\nvendor=SONY\nproduct=SDT-9000\n[0:5]\n");
    EXPECT_EQ(send(0, 5, cdb_test_unit_ready()).scsi_status(), kNoMedium) << "no cassette";
    EXPECT_EQ(send(0, 5, cdb_load(1)).scsi_status(), kNoMedium);

    set_density(0, 4, 0x80);
    Bytes frame;
    read_frame(0, 4, &frame);
    ASSERT_EQ(send(0, 4, cdb_load(0)).scsi_status(), kGood);
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kNoMedium);
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), kNoMedium);
    EXPECT_EQ(send(0, 4, cdb_load(0)).scsi_status(), kNoMedium);
    ASSERT_EQ(send(0, 4, cdb_load(1)).scsi_status(), kGood);
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kGood);
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame, make_frame(0, 1)) << "loaded at the start";

    ASSERT_EQ(send(0, 4, cdb_load(1)).scsi_status(), kGood);
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame, make_frame(1, 1)) << "a LOAD of a loaded cassette keeps its place";

    ASSERT_EQ(send(0, 4, cdb_load(0)).scsi_status(), kGood);
    EXPECT_NE(read_text(path("tape.dat.state")).find("loaded=0"), std::string::npos);
    restart();
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kGood) << "inserted again";
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood) << "the density is kept";
    EXPECT_EQ(frame, make_frame(0, 1));
}

TEST_F(MediaTest, NotReadyForTheReadyDelayAfterInsertionOrLoad) {
    cassette("tape.dat", frames(2));
    bay("[0:4]\ncassette=tape.dat\nready_delay_ms=500\n");
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), 0x04020401u);
    Bytes frame;
    EXPECT_EQ(read_frame(0, 4, &frame).scsi_status(), 0x04020401u);
    FakeClock::now() += 499;
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), 0x04020401u);
    FakeClock::now() += 1;
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kGood);

    restart();
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kGood) << "still in the drive";
    ASSERT_EQ(send(0, 4, cdb_load(1)).scsi_status(), kGood);
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), 0x04020401u);
    FakeClock::now() += 500;
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), kGood);
}

}  // namespace
}  // namespace vdat_test
