// Reading and writing frames, the cassette's limits, the mode pages, and what the drive
// keeps between runs.

#include <tuple>

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

using MediaTest = VdatTest;

TEST_F(MediaTest, ReadsFramesInOrderUntilEndOfDataInAudioModeOnly) {
    std::vector<Bytes> tape = recorded(3);
    cassette("tape.dat", tape);
    std::ofstream(path("tape.dat"), std::ios::app) << "a partial frame is no frame";
    bay("[0:4]\ncassette=tape.dat\n");
    Bytes frame;
    EXPECT_EQ(read_frame(4, &frame), 0x04033002u) << "data mode";
    ASSERT_EQ(set_density(4, 0x80), kGood);
    for (const Bytes& expected : tape) {
        ASSERT_EQ(read_frame(4, &frame), kGood);
        EXPECT_EQ(frame, expected);
    }
    EXPECT_EQ(read_frame(4, &frame), kEndOfData);
    EXPECT_EQ(read_frame(4, &frame), kEndOfData) << "the tape stays at the end";
    EXPECT_EQ(frame, Bytes(kFrame, 0)) << "end of data returns no bytes";
    ASSERT_EQ(status(4, kRewind), kGood);
    ASSERT_EQ(read_frame(4, &frame), kGood);
    EXPECT_EQ(frame, tape[0]);

    // A buffer smaller than the transfer: the adapter refuses, nothing is written.
    Bytes guarded(kFrame + 64, 0x5A);
    EXPECT_EQ(send(0, 4, cdb6(0x08, kFrame), &guarded[32], 100).SRB_HaStat, HASTAT_DO_DU);
    EXPECT_EQ(guarded, Bytes(kFrame + 64, 0x5A));
    EXPECT_EQ(send(0, 4, cdb6(0x0A, kFrame), &guarded[0], 100, true).SRB_HaStat, HASTAT_DO_DU);
}

TEST_F(MediaTest, WriteStoresTheFrameAndErasesWhatFollows) {
    cassette("tape.dat", recorded(5));
    cassette("blank.dat", {});
    bay("[0:4]\ncassette=tape.dat\n[0:5]\ncassette=blank.dat\n");
    for (int target : {4, 5}) set_density(target, 0x80);
    ASSERT_EQ(status(4, cdb_locate_block(2)), kGood);
    Bytes replacement = make_frame(99, 7);
    ASSERT_EQ(write_frame(4, replacement), kGood);
    std::string file = read_text(path("tape.dat"));
    ASSERT_EQ(file.size(), 3u * kFrame);
    EXPECT_EQ(Bytes(file.begin() + 2 * kFrame, file.end()), replacement);
    Bytes frame;
    EXPECT_EQ(read_frame(4, &frame), kEndOfData);
    EXPECT_EQ(read_frame(5, &frame), kEndOfData) << "blank";
    for (int target : {4, 5}) ASSERT_EQ(write_frame(target, make_frame(100, 7)), kGood);
    EXPECT_EQ(read_text(path("tape.dat")).size(), 4u * kFrame);
    EXPECT_EQ(read_text(path("blank.dat")), read_text(path("tape.dat")).substr(3 * kFrame));
    set_density(4, 0x13);
    EXPECT_EQ(write_frame(4, frame), 0x04033005u) << "data mode";
}

TEST_F(MediaTest, WriteProtectCapacityAndMediumErrors) {
    cassette("locked.dat", recorded(2));
    cassette("short.dat", {});
    cassette("worn.dat", recorded(6));
    cassette("bad.dat", {});
    bay("[0:1]\ncassette=locked.dat\nwrite_protect=1\n"
        "[0:2]\ncassette=short.dat\ncapacity=2\n"
        "[0:3]\ncassette=worn.dat\nread_errors=1, 3-4\n"
        "[0:4]\ncassette=bad.dat\nwrite_errors=1\n");
    for (int target : {1, 2, 3, 4}) set_density(target, 0x80);

    EXPECT_EQ(write_frame(1, make_frame(9, 1)), 0x04072700u);
    EXPECT_EQ(mode_sense(1, 0x00)[2] & 0x80, 0x80);
    EXPECT_EQ(read_text(path("locked.dat")).size(), 2u * kFrame);

    EXPECT_EQ(write_frame(2, make_frame(0, 1)), kGood);
    EXPECT_EQ(write_frame(2, make_frame(1, 1)), kGood);
    EXPECT_EQ(write_frame(2, make_frame(2, 1)), kEndOfMedium);
    EXPECT_EQ(read_text(path("short.dat")).size(), 2u * kFrame);

    Bytes frame;
    std::vector<uint32_t> statuses;
    for (int i = 0; i < 7; ++i) statuses.push_back(read_frame(3, &frame));
    ASSERT_EQ(status(2, kRewind), kGood);
    for (int i = 0; i < 3; ++i) statuses.push_back(read_frame(2, &frame));
    for (int i = 0; i < 3; ++i) statuses.push_back(write_frame(4, make_frame(i, 1)));
    EXPECT_EQ(statuses, (std::vector<uint32_t>{kGood, 0x04031100, kGood, 0x04031100, 0x04031100,
                                               kGood, kEndOfData, kGood, kGood, kEndOfMedium, kGood,
                                               0x04030C00, 0x04030C00}));
    EXPECT_EQ(read_text(path("bad.dat")).size(), kFrame) << "nothing stored of the failed frame";
    uint8_t block[20];
    send(0, 4, {0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, block, 20);
    EXPECT_EQ(block[7], 1) << "the tape stays at the frame that failed";
}

// A cassette file removed, replaced or cut short under the drive: a cassette pulled out.
TEST_F(MediaTest, ACassetteFileThatVanishesLeavesTheDriveWithoutCassette) {
    const std::pair<const char*, void (*)(const std::string&)> mishaps[] = {
        {"was removed", [](const std::string& p) { std::filesystem::remove(p); }},
        {"was replaced by another file",
         [](const std::string& p) { std::filesystem::rename(p + ".new", p); }},
        {"was cut short", [](const std::string& p) { std::filesystem::resize_file(p, kFrame); }},
    };
    for (const auto& [what, mishap] : mishaps) {
        restart();
        cassette("tape.dat", recorded(3));
        cassette("tape.dat.new", {make_frame(7, 1)});
        bay("[0:4]\ncassette=tape.dat\n");
        ASSERT_EQ(status(4, kTestUnitReady), kGood);
        mishap(path("tape.dat"));
        std::string left = read_text(path("tape.dat"));
        testing::internal::CaptureStderr();
        EXPECT_EQ(status(4, kTestUnitReady), kNoMedium) << what;
        EXPECT_EQ(write_frame(4, make_frame(8, 1)), kNoMedium);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "vdat: [0:4] cassette " + path("tape.dat") + " " + what +
                      " while in the drive; the drive has none now\n");
        EXPECT_EQ(read_text(path("tape.dat")), left) << "nothing written into it";
        EXPECT_FALSE(std::filesystem::exists(path("tape.dat.state")));
    }
}

TEST_F(MediaTest, TheTapeStaysWhereTheLastRunLeftIt) {
    std::vector<Bytes> tape = recorded(4);
    cassette("tape.dat", tape);
    bay("[0:4]\ncassette=tape.dat\n");
    set_density(4, 0x80);
    Bytes frame;
    read_frame(4, &frame);
    read_frame(4, &frame);
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000002\ndensity=0x80\nloaded=1\nmrs_off=0\n")
        << "the state file is current while the drive runs, in case the process is killed";
    std::filesystem::resize_file(path("tape.dat.state"), 0);  // under the drive's feet
    ASSERT_EQ(read_frame(4, &frame), kGood);
    EXPECT_EQ(read_text(path("tape.dat.state")).substr(8, 19), "position=0000000003");
    restart();
    ASSERT_EQ(read_frame(4, &frame), kGood) << "audio mode is kept";
    EXPECT_EQ(frame, tape[3]);
    restart();
    std::ofstream(path("tape.dat.state")) << "[state]\nposition=77\ndensity=0x80\n";
    EXPECT_EQ(read_frame(4, &frame), kEndOfData) << "a cassette cut short since";
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000004\ndensity=0x80\nloaded=1\nmrs_off=0\n");
}

TEST_F(MediaTest, UnloadEjectsUntilTheNextLoadOrRun) {
    cassette("tape.dat", recorded(3));
    bay("[0:4]\ncassette=tape.dat\n[0:5]\n");
    EXPECT_EQ(status(5, kTestUnitReady), kNoMedium) << "no cassette";

    set_density(4, 0x80);
    Bytes frame;
    read_frame(4, &frame);
    ASSERT_EQ(status(4, kLoad), kGood);
    ASSERT_EQ(read_frame(4, &frame), kGood);
    EXPECT_EQ(frame, make_frame(1, 1)) << "a LOAD of a loaded cassette keeps its place";
    ASSERT_EQ(status(4, kUnload), kGood);
    EXPECT_EQ(status(4, kTestUnitReady), kNoMedium);
    EXPECT_EQ(read_frame(4, &frame), kNoMedium);
    ASSERT_EQ(status(4, kLoad), kGood);
    ASSERT_EQ(read_frame(4, &frame), kGood);
    EXPECT_EQ(frame, make_frame(0, 1)) << "loaded at the start";

    ASSERT_EQ(status(4, kUnload), kGood);
    restart();
    EXPECT_EQ(status(4, kTestUnitReady), kGood) << "inserted again";
    ASSERT_EQ(read_frame(4, &frame), kGood) << "the density is kept";
    EXPECT_EQ(frame, make_frame(0, 1));
}

TEST_F(MediaTest, NotReadyForTheReadyDelayAfterInsertionOrLoad) {
    cassette("tape.dat", recorded(2));
    bay("[0:4]\ncassette=tape.dat\nready_delay_ms=500\n");
    Bytes frame;
    EXPECT_EQ(read_frame(4, &frame), 0x04020401u);
    g_now += 499;
    EXPECT_EQ(status(4, kTestUnitReady), 0x04020401u);
    g_now += 1;
    EXPECT_EQ(status(4, kTestUnitReady), kGood);
    ASSERT_EQ(status(4, kLoad), kGood);
    EXPECT_EQ(status(4, kTestUnitReady), 0x04020401u);
}

class ModeTest : public VdatTest {
protected:
    void SetUp() override {
        VdatTest::SetUp();
        cassette("a.dat", {});
        cassette("b.dat", {});
        bay("[0:1]\ncassette=a.dat\n[0:2]\ncassette=b.dat\nproduct=Python 01931-XXX\n");
    }
};

TEST_F(ModeTest, PageZeroIsAHeaderAndOneBlockDescriptorWithTheDensity) {
    EXPECT_EQ(mode_sense(1, 0x00, 13), (Bytes{11, 0x00, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(set_density(1, 0x80), kGood);
    EXPECT_EQ(set_density(1, 0x55), kBadListField);
    EXPECT_EQ(set_density(1, 0x00), kGood) << "0 keeps the density";
    EXPECT_EQ(mode_sense(1, 0x00, 5), (Bytes{11, 0x00, 0x10, 8, 0x80})) << "allocation length";
    ASSERT_EQ(set_density(1, 0x13), kGood);
    EXPECT_EQ(mode_sense(1, 0x00)[4], 0x13);
}

TEST_F(ModeTest, MrsPageOnlyForThe01931Firmware) {
    mode_sense(1, 0x30, 12, kBadField);
    EXPECT_EQ(mode_sense(1, 0x3F)[0], 11) << "all pages: only the descriptor";
    Bytes page = mode_sense(2, 0x30, 28);
    EXPECT_EQ(page[0], 27);
    EXPECT_EQ(Bytes(page.begin() + 12, page.begin() + 16), (Bytes{0x30, 14, 0, 0}));

    // Sent back the way the program does: data[0] bytes, one short of the page.
    page[15] |= 0x08;
    ASSERT_EQ(mode_select(2, Bytes(page.begin(), page.begin() + page[0])), kGood);
    EXPECT_EQ(mode_sense(2, 0x30)[4], 0x13) << "density untouched";
    restart();
    EXPECT_EQ(mode_sense(2, 0x30, 28)[15], 0x08) << "the MRS switch is kept";
}

TEST_F(ModeTest, MalformedParameterListsChangeNothing) {
    for (int target : {1, 2}) set_density(target, 0x80);
    const Bytes mrs = {0, 0, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 0, 2, 0x30, 14, 0, 0x08};
    const std::tuple<int, Bytes, uint32_t> cases[] = {
        {2, {0, 0, 0x10, 8, 0x13, 0, 0}, 0x04051A00},        // descriptor cut off
        {2, Bytes(mrs.begin(), mrs.end() - 1), 0x04051A00},  // no room for the MRS byte
        {1, mrs, kBadListField},                             // no page 0x30 on this firmware
    };
    for (const auto& [target, list, expected] : cases)
        EXPECT_EQ(mode_select(target, list), expected);
    EXPECT_EQ(mode_sense(2, 0x30, 16)[4], 0x80);
    EXPECT_EQ(mode_sense(2, 0x30, 16)[15], 0x00);
    EXPECT_EQ(mode_sense(1, 0x00)[4], 0x80) << "unchanged";
    uint8_t list[12] = {};
    EXPECT_EQ(send(0, 2, cdb6(0x15, 12), list, 8, true).SRB_HaStat, HASTAT_DO_DU);
}

}  // namespace
}  // namespace vdat_test
