// Drive identification, preparation and release against simulated drives: the drive
// table, the console trace of every step, and the commands each step sends.

#include "scsi/drive_setup.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake_drive.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct SimDrive {
    std::string vendor = "ARCHIVE";
    std::string product = "Python 25601-XXX";
    std::string revision = "2.63";
    bool mounted = true;
    bool answers_inquiry = true;
    bool works = true;  // density, load and rewind succeed
    bool mrs_switchable = true;
    bool mrs_off = false;
    uint8_t density = 0x13;
};

SimDrive sdt9000() {
    return {"SONY", "SDT-9000", "12.2"};
}
SimDrive python_01931(const char* revision) {
    return {"ARCHIVE", "Python 01931-XXX", revision};
}

void put_padded(Bytes& data, size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; i++) data[at + i] = i < text.size() ? text[i] : ' ';
}

// Page 0x30 carries two bytes after the MRS byte (15): MODE SELECT sends back the mode
// data length in bytes, one less than MODE SENSE returned.
Bytes mode_data(const SimDrive& d, int page) {
    Bytes data(page == 0x30 ? 18 : 12, 0);
    data[0] = static_cast<uint8_t>(data.size() - 1);
    data[3] = 8;
    data[4] = d.density;
    if (page == 0x30) data[15] = d.mrs_off ? 0x08 : 0x00;
    return data;
}

DriveReply answer(SimDrive& d, const RecordedCommand& c) {
    const bool has_mrs_page = d.product == "Python 01931-XXX";
    const DriveReply refused = reply_check(0x05, 0x24, 0x00);
    switch (c.cdb[0]) {
        case 0x12: {
            if (!d.answers_inquiry) return refused;
            Bytes data(36, 0);
            put_padded(data, 8, d.vendor, 8);
            put_padded(data, 16, d.product, 16);
            put_padded(data, 32, d.revision, 4);
            return reply_ok(data);
        }
        case 0x00:
            return d.mounted ? reply_ok() : reply_check(0x02, 0x3A, 0x00);
        case 0x1A:
            if (c.cdb[2] == 0x30 && !has_mrs_page) return refused;
            return reply_ok(mode_data(d, c.cdb[2]));
        case 0x15:
            if (!d.works) return refused;
            if (c.data_out.size() > 15 && has_mrs_page) {
                if (d.mrs_switchable) d.mrs_off = (c.data_out[15] & 0x08) != 0;
            } else {
                d.density = c.data_out[4];
            }
            return reply_ok();
        case 0x1B:
            return d.works ? reply_ok() : reply_check(0x02, 0x3A, 0x00);
        case 0x01:
            return d.works ? reply_ok() : reply_check(0x03, 0x14, 0x00);
        default:
            return refused;
    }
}

class DriveSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_drive_install(&drive);
        fake_clock_install(&clock);
        drive.respond = [this](const RecordedCommand& c) {
            auto found = bay.find(c.adapter * 8 + c.target);
            if (found == bay.end()) return reply_status(SS_NO_DEVICE);
            return answer(found->second, c);
        };
    }
    void TearDown() override {
        fake_clock_remove();
        fake_drive_remove();
    }
    SimDrive& at(int adapter, int target) { return bay[adapter * 8 + target]; }
    void name_drives(int input_target, int output_target) {
        job.input_id_given = input_target >= 0 ? 3 : 0;
        job.input = {0, input_target, 0};
        job.output_id_given = output_target >= 0 ? 5 : 0;
        job.output = {0, output_target, 0};
    }
    template <typename Step>
    std::string trace(Step step) {
        drive.commands.clear();
        StdoutCapture capture;
        result = step(&job);
        return capture.text();
    }
    Bytes opcodes() const {
        Bytes codes;
        for (const RecordedCommand& c : drive.commands) codes.push_back(c.cdb[0]);
        return codes;
    }

    FakeDrive drive;
    FakeClock clock;
    std::map<int, SimDrive> bay;
    JobState job{};
    int result = -99;
};

TEST(DriveTable, IdentifiesFamiliesByCaseSensitivePrefix) {
    EXPECT_EQ(identify_drive("ARCHIVE ", "Python 25601-XXX2.63"), DRIVE_PYTHON);
    EXPECT_EQ(identify_drive("ARCHIVE ", "Python 25501-XXX9.99"), DRIVE_PYTHON);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-9000        12.2"), DRIVE_SDT9000);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-9000        7.77"), DRIVE_SDT9000);
    EXPECT_EQ(identify_drive("Sony    ", "SDT-9000        12.2"), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("ARCHIVE ", "PYTHON 25601-XXX2.63"), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("SONY    ", "SDT-5000        3.26"), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("", ""), DRIVE_UNKNOWN);
    EXPECT_EQ(identify_drive("NULL", "NULL"), DRIVE_UNKNOWN);
    EXPECT_STREQ(drive_kind_name(DRIVE_SDT9000), "Sony SDT-9000");
}

TEST_F(DriveSetupTest, PreparesAnSdt9000InputAndAPythonOutput) {
    at(0, 4) = sdt9000();
    at(0, 3) = SimDrive{};
    name_drives(4, 3);
    job.output_drive_kind = 1;  // left over: the preparation resets it
    EXPECT_EQ(trace(configure_drives),
              "Configuring input drive...\n"
              " - found drive SONY     SDT-9000        12.2\n"
              " - waiting (up to 60 seconds) for tape to mount...done\n"
              " - setting drive in audio mode...done\n"
              " - issuing a tape load...done\n"
              "Configuring output drive 0:3:0...\n"
              " - found drive ARCHIVE  Python 25601-XXX2.63\n"
              " - waiting (up to 60 seconds) for tape to mount...done\n"
              " - setting drive in audio mode...done\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(job.input_drive_kind, 1);
    EXPECT_EQ(job.output_drive_kind, 0);
    EXPECT_EQ(at(0, 4).density, 0x80);
    EXPECT_EQ(at(0, 3).density, 0x80);
    EXPECT_EQ(opcodes(), Bytes({0x12, 0x00, 0x1A, 0x15, 0x1A, 0x1A, 0x1B,  // input, with load
                                0x12, 0x00, 0x1A, 0x15, 0x1A, 0x1A}));
    EXPECT_EQ(drive.commands[6].cdb[4], 1);
    EXPECT_EQ(clock.sleeps, 0u) << "a mounted tape is not waited for";
}

TEST_F(DriveSetupTest, IdentificationFailuresStopThePreparation) {
    at(0, 4) = sdt9000();
    name_drives(4, 5);
    std::string printed = trace(configure_drives);
    EXPECT_TRUE(printed.ends_with("Configuring output drive 0:5:0...\nno device at 0:5:0\n"))
        << printed;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(drive.commands.back().cdb[0], 0x12) << "the prepared input is not released";

    name_drives(4, -1);
    at(0, 4).answers_inquiry = false;
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\n");
    EXPECT_EQ(result, 1);

    at(0, 4) = SimDrive{"Archive"};
    EXPECT_EQ(trace(configure_drives), "Configuring input drive...\ndrive is unknown\n");
    EXPECT_EQ(result, 2);
}

TEST_F(DriveSetupTest, FailedStepsContinueAnyway) {
    at(0, 4) = sdt9000();
    at(0, 4).mounted = false;
    at(0, 4).works = false;
    name_drives(4, -1);
    EXPECT_EQ(trace(configure_drives),
              "Configuring input drive...\n"
              " - found drive SONY     SDT-9000        12.2\n"
              " - waiting (up to 60 seconds) for tape to mount...failed, continuing anyway\n"
              " - setting drive in audio mode...Failed to set new density\n"
              "failed, continuing anyway\n"
              " - issuing a tape load...load failed; 04023a00\n"
              "failed, continuing anyway\n");
    EXPECT_EQ(result, 0);
    EXPECT_GE(clock.now_ms, 60000u);  // one short poll, then a minute of polls
    EXPECT_LE(clock.now_ms, 60200u);
}

TEST_F(DriveSetupTest, MrsIsTurnedOffOnlyOnTheListedFirmware) {
    name_drives(4, -1);
    job.mrs_off = 2;
    auto mrs_line = [this] {
        std::string printed = trace(configure_drives);
        size_t from = printed.find("Turning");
        return from == std::string::npos ? std::string() : printed.substr(from);
    };
    at(0, 4) = python_01931("5.63");
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...done.\n");
    EXPECT_TRUE(at(0, 4).mrs_off);
    EXPECT_EQ(drive.commands[drive.commands.size() - 2].cdb, Bytes({0x15, 0, 0, 0, 0x11, 0}));
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...already off.\n");

    at(0, 4) = python_01931("5.56");
    at(0, 4).mrs_switchable = false;
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...could not be turned off.\n");

    at(0, 4) = python_01931("5AC");  // blank-padded to "5AC "
    EXPECT_EQ(mrs_line(), "Turning off MRS mode...done.\n");

    for (const char* other : {"5.64", "5.6"}) {
        at(0, 4) = python_01931(other);
        EXPECT_EQ(mrs_line(), "") << other;
    }
    at(0, 4) = SimDrive{};
    EXPECT_EQ(mrs_line(), "");
    for (const RecordedCommand& c : drive.commands) EXPECT_NE(c.cdb[2], 0x30);

    job.mrs_off = 0;
    at(0, 4) = python_01931("5.63");
    EXPECT_EQ(mrs_line(), "");
}

TEST_F(DriveSetupTest, RewindsOnRequestOrForCopies) {
    at(0, 4) = SimDrive{};
    at(0, 5) = sdt9000();
    name_drives(4, 5);
    job.mode_tape_to_wav = 1;
    EXPECT_EQ(trace(rewind_drives), "");
    EXPECT_TRUE(drive.commands.empty());

    job.rewind = 7;
    EXPECT_EQ(trace(rewind_drives),
              " - rewinding 0:4 input tape to beginning...done\n"
              " - rewinding 0:5 output tape to beginning...done\n");
    EXPECT_EQ(opcodes(), Bytes({0x01, 0x01}));

    job.rewind = 0;
    job.mode_tape_to_image = 1;
    at(0, 4).works = false;
    EXPECT_EQ(trace(rewind_drives),
              " - rewinding 0:4 input tape to beginning...rewind failed: 04031400\n"
              "failed, continuing anyway\n"
              " - rewinding 0:5 output tape to beginning...done\n");
    EXPECT_EQ(result, 0);

    job.mode_tape_to_image = 0;
    job.mode_tape_to_tape = 1;
    trace(rewind_drives);
    EXPECT_EQ(opcodes(), Bytes({0x01, 0x01}));
}

TEST_F(DriveSetupTest, ReleasesOnlySdt9000Drives) {
    at(0, 4) = SimDrive{};
    at(0, 5) = sdt9000();
    at(0, 5).density = 0x80;
    name_drives(4, 5);
    job.output_drive_kind = 1;
    EXPECT_EQ(trace(close_drives),
              "\n - closing input drive...\n - closing output drive...\n"
              " - issuing a tape unload...done\n"
              " - setting drive back to data mode...done\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(opcodes(), Bytes({0x1B, 0x1A, 0x15, 0x1A, 0x1A}));
    EXPECT_EQ(drive.commands[0].cdb[4], 0);
    for (const RecordedCommand& c : drive.commands) EXPECT_EQ(c.target, 5);
    EXPECT_EQ(at(0, 5).density, 0x13);

    at(0, 5).works = false;
    EXPECT_EQ(trace(close_drives),
              "\n - closing input drive...\n - closing output drive...\n"
              " - issuing a tape unload...load failed; 04023a00\n"
              "failed, continuing anyway\n"
              " - setting drive back to data mode...Failed to set new density\n"
              "failed, continuing anyway\n");

    job = JobState{};
    EXPECT_EQ(trace(close_drives), "\n");
}

}  // namespace
