// Reading and writing frames, the cassette's limits, the mode pages, and what the drive
// keeps between runs.

#include <tuple>

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

using MediaTest = VdatTest;

// The cassette file holding the numbered frames, in order.
std::string frames_file(std::initializer_list<int> numbers) {
    std::string file;
    for (int n : numbers) file.append(reinterpret_cast<const char*>(make_frame(n).data()), kFrame);
    return file;
}

// One command to one drive, what it answers and where the tape then stands. R reads (the
// frame numbered arg, or no bytes for -1), W writes frame arg, L locates block arg, A sets
// audio mode.
constexpr uint32_t kUnreadable = 0x04031100, kUnwritable = 0x04030C00;
// clang-format off
const std::tuple<int, char, int, uint32_t, uint8_t> kSteps[] = {
    // data mode; then recorded tape read to the end of data, a frame written in the middle
    {6, 'R', -1, 0x04033002, 0}, {6, 'W', 9, 0x04033005, 0}, {6, 'A', 0, kGood, 0},
    {6, 'R', 0, kGood, 1}, {6, 'R', 1, kGood, 2}, {6, 'R', 2, kGood, 3},
    {6, 'R', -1, kEndOfData, 3}, {6, 'R', -1, kEndOfData, 3}, {6, 'L', 1, kGood, 1},
    {6, 'W', 99, kGood, 2}, {6, 'R', -1, kEndOfData, 2}, {6, 'W', 100, kGood, 3},
    // write protected
    {1, 'A', 0, kGood, 0}, {1, 'W', 9, 0x04072700, 0}, {1, 'R', 0, kGood, 1},
    // a blank cassette of two frames: the end of the medium for WRITE and then READ
    {2, 'A', 0, kGood, 0}, {2, 'W', 0, kGood, 1}, {2, 'W', 1, kGood, 2},
    {2, 'W', 2, kEndOfMedium, 2}, {2, 'W', 2, kEndOfMedium, 2}, {2, 'L', 0, kGood, 0},
    {2, 'R', 0, kGood, 1}, {2, 'R', 1, kGood, 2}, {2, 'R', -1, kEndOfMedium, 2},
    // recorded past its capacity: the physical end comes first
    {5, 'A', 0, kGood, 0}, {5, 'L', 1, kGood, 1}, {5, 'R', 1, kGood, 2},
    {5, 'R', -1, kEndOfMedium, 2}, {5, 'W', 2, kEndOfMedium, 2},
    // damaged frames are passed over when read, and keep the tape where it is when written
    {3, 'A', 0, kGood, 0}, {3, 'R', 0, kGood, 1}, {3, 'R', -1, kUnreadable, 2},
    {3, 'R', 2, kGood, 3}, {3, 'R', -1, kUnreadable, 4}, {3, 'R', -1, kUnreadable, 5},
    {3, 'R', 5, kGood, 6}, {3, 'R', -1, kEndOfData, 6},
    {4, 'A', 0, kGood, 0}, {4, 'W', 0, kGood, 1}, {4, 'W', 1, kUnwritable, 1},
    {4, 'W', 1, kUnwritable, 1},
};
// clang-format on

TEST_F(MediaTest, ReadsAndWritesAnswerAndMoveTheTapeAsADriveDoes) {
    cassette("tape.dat", recorded(3));
    std::ofstream(path("tape.dat"), std::ios::app) << "a partial frame is no frame";
    cassette("locked.dat", recorded(2));
    cassette("short.dat", {});
    cassette("long.dat", recorded(4));
    cassette("worn.dat", recorded(6));
    cassette("bad.dat", {});
    testing::internal::CaptureStderr();  // the partial frame is reported
    bay("[0:1]\ncassette=locked.dat\nwrite_protect=1\n[0:2]\ncassette=short.dat\ncapacity=2\n"
        "[0:3]\ncassette=worn.dat\nread_errors=1, 3-4\n[0:4]\ncassette=bad.dat\nwrite_errors=1\n"
        "[0:5]\ncassette=long.dat\ncapacity=2\n[0:6]\ncassette=tape.dat\n");
    for (const auto& step : kSteps) {
        const auto& [target, op, arg, status_then, position_then] = step;
        Bytes frame;
        uint32_t answer = op == 'R'   ? read_frame(target, &frame)
                          : op == 'W' ? write_frame(target, make_frame(arg))
                          : op == 'L' ? status(target, cdb_locate_block(arg))
                                      : set_density(target, 0x80);
        Bytes expected = op != 'R' ? Bytes{} : arg < 0 ? Bytes(kFrame, 0) : make_frame(arg);
        EXPECT_EQ(std::tuple(answer, read_position(target, kGood, false)[7], frame),
                  std::tuple(status_then, position_then, expected))
            << &step - kSteps;
    }
    testing::internal::GetCapturedStderr();
    const std::pair<const char*, std::string> files[] = {
        {"tape.dat", frames_file({0, 99, 100})}, {"locked.dat", frames_file({0, 1})},
        {"short.dat", frames_file({0, 1})},      {"long.dat", frames_file({0, 1, 2, 3})},
        {"bad.dat", frames_file({0})},
    };
    for (const auto& [name, frames] : files) EXPECT_EQ(read_text(path(name)), frames) << name;
    EXPECT_EQ(mode_sense(1, 0x00)[2] & 0x80, 0x80) << "write protect in the mode header";
}

// A buffer smaller than the data phase: the host adapter stops the transfer, the request
// fails with no sense, and neither buffer nor tape is touched.
TEST_F(MediaTest, DataOverrunFailsTheRequestAndTouchesNothing) {
    cassette("tape.dat", recorded(2));
    bay("[0:4]\ncassette=tape.dat\nproduct=Python 01931-XXX\n");
    ASSERT_EQ(set_density(4, 0x80), kGood);
    // the command, and a buffer one byte short of what it moves
    // clang-format off
    const std::pair<Bytes, uint32_t> kOverruns[] = {
        {cdb6(0x08, kFrame), kFrame - 1}, {cdb6(0x0A, kFrame), kFrame - 1}, {cdb6(0x12, 36), 35},
        {cdb6(0x1A, 0x300000 | 28), 27}, {cdb6(0x15, 12), 11}, {cdb6(0x03, 18), 17},
        {{0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 19}};
    // clang-format on
    for (const auto& [cdb, length] : kOverruns) {
        Bytes guarded(length + 64, 0x5A);
        SRB_ExecSCSICmd srb = send(4, cdb, &guarded[32], length);
        EXPECT_EQ(
            std::tuple(scsi_status(srb), int{srb.SRB_HaStat}, int{srb.SRB_TargStat}, guarded),
            std::tuple(0x04000000u, int{HASTAT_DO_DU}, int{STATUS_GOOD}, Bytes(length + 64, 0x5A)))
            << int{cdb[0]};
    }
    EXPECT_EQ(read_position(4, kGood, false)[7], 0) << "the tape has not moved";
    EXPECT_EQ(read_text(path("tape.dat")), frames_file({0, 1}));
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
        cassette("tape.dat.new", {make_frame(7)});
        bay("[0:4]\ncassette=tape.dat\n");
        ASSERT_EQ(status(4, kTestUnitReady), kGood);
        mishap(path("tape.dat"));
        std::string left = read_text(path("tape.dat"));
        testing::internal::CaptureStderr();
        EXPECT_EQ(status(4, kTestUnitReady), kNoMedium) << what;
        EXPECT_EQ(write_frame(4, make_frame(8)), kNoMedium);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "vdat: [0:4] cassette " + path("tape.dat") + " " + what +
                      " while in the drive; the drive has none now\n");
        EXPECT_EQ(read_text(path("tape.dat")), left) << "nothing written into it";
        EXPECT_FALSE(std::filesystem::exists(path("tape.dat.state")));
    }
}

// A LOAD of a loaded cassette keeps its place; after an UNLOAD, the next LOAD or run finds
// it at the start, the density kept. Otherwise the tape stays where the last run left it.
TEST_F(MediaTest, TheTapeStaysWhereTheLastRunLeftItUnlessUnloaded) {
    cassette("tape.dat", recorded(4));
    bay("[0:4]\ncassette=tape.dat\n[0:5]\n");
    EXPECT_EQ(status(5, kTestUnitReady), kNoMedium) << "no cassette";
    set_density(4, 0x80);
    Bytes frame;
    read_frame(4, &frame);
    std::vector<uint32_t> answers;
    for (const Bytes& cdb : {kLoad, kUnload, kTestUnitReady, kLoad}) {
        answers.push_back(status(4, cdb));
        if (cdb != kUnload) answers.push_back(read_frame(4, &frame) == kGood ? frame[0] : 0xFF);
    }
    answers.push_back(status(4, kUnload));
    restart();
    answers.push_back(read_frame(4, &frame) == kGood ? frame[0] : 0xFF);
    EXPECT_EQ(answers, (std::vector<uint32_t>{kGood, make_frame(1)[0], kGood, kNoMedium, 0xFF,
                                              kGood, make_frame(0)[0], kGood, make_frame(0)[0]}));
    read_frame(4, &frame);
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000002\ndensity=0x80\nloaded=1\nmrs_off=0\n")
        << "the state file is current while the drive runs, in case the process is killed";
    std::filesystem::resize_file(path("tape.dat.state"), 0);  // under the drive's feet
    ASSERT_EQ(read_frame(4, &frame), kGood);
    EXPECT_EQ(read_text(path("tape.dat.state")).substr(8, 19), "position=0000000003");
    restart();
    ASSERT_EQ(read_frame(4, &frame), kGood) << "audio mode is kept";
    EXPECT_EQ(frame, make_frame(3));
    restart();
    std::ofstream(path("tape.dat.state")) << "[state]\nposition=77\ndensity=0x80\n";
    EXPECT_EQ(read_frame(4, &frame), kEndOfData) << "a cassette cut short since";
    EXPECT_EQ(read_text(path("tape.dat.state")),
              "[state]\nposition=0000000004\ndensity=0x80\nloaded=1\nmrs_off=0\n");
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

// Page 0 and, on the Python 01931 firmware only, page 0x30 with the MRS switch; a list
// that MODE SELECT refuses changes nothing.
TEST_F(MediaTest, ModePagesCarryTheDensityAndTheMrsSwitch) {
    cassette("a.dat", {});
    cassette("b.dat", {});
    bay("[0:1]\ncassette=a.dat\n[0:2]\ncassette=b.dat\nproduct=Python 01931-XXX\n");
    EXPECT_EQ(mode_sense(1, 0x00, 13), (Bytes{11, 0x00, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(mode_sense(1, 0x3F)[0], 11) << "all pages: only the descriptor";
    mode_sense(1, 0x30, 12, kBadField);
    Bytes mrs = mode_sense(2, 0x30, 28);
    EXPECT_EQ(mrs[0], 27);
    EXPECT_EQ(Bytes(mrs.begin() + 12, mrs.begin() + 16), (Bytes{0x30, 14, 0, 0}));
    mrs[15] |= 0x08;
    mrs[4] = 0x80;
    auto density = [](uint8_t code) { return Bytes{0, 0, 0x10, 8, code, 0, 0, 0, 0, 0, 0, 2}; };
    const std::tuple<int, Bytes, uint32_t, uint8_t, uint8_t> selects[] = {
        // target, list, answer, then density and MRS byte of page 0x30
        {2, {0, 0, 0x10, 8, 0x80, 0, 0}, 0x04051A00, 0x13, 0x00},           // descriptor cut off
        {2, Bytes(mrs.begin(), mrs.begin() + 15), 0x04051A00, 0x13, 0x00},  // no MRS byte
        {1, Bytes(mrs.begin(), mrs.begin() + 27), kBadListField, 0x13, 0},  // no page 0x30
        {1, density(0x55), kBadListField, 0x13, 0},
        {1, density(0x80), kGood, 0x80, 0},
        {1, density(0x00), kGood, 0x80, 0},  // 0 keeps the density
        // sent back the way the program does: mode data length bytes, one short of the page
        {2, Bytes(mrs.begin(), mrs.begin() + 27), kGood, 0x80, 0x08},
    };
    for (const auto& [target, list, answer, code, mrs_byte] : selects) {
        EXPECT_EQ(mode_select(target, list), answer);
        EXPECT_EQ(mode_sense(target, 0x00)[4], code);
        EXPECT_EQ(target == 2 ? mode_sense(2, 0x30, 16)[15] : 0, mrs_byte);
    }
    EXPECT_EQ(mode_sense(1, 0x00, 5), (Bytes{11, 0x00, 0x10, 8, 0x80})) << "allocation length";
    restart();
    EXPECT_EQ(mode_sense(2, 0x30, 28)[15], 0x08) << "the MRS switch is kept";
}

}  // namespace
}  // namespace vdat_test
